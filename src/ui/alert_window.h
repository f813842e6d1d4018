#pragma once
// The agreement prompt, 440 × 196: the title "提示" with a close button, the request to read
// and accept the user agreement and the privacy notice (both linked), and the buttons
// "cancel-btn" and "agree-btn".
#include <QWidget>

#include "setup/content_view.h"

class QLabel;

namespace corvane::ui {

class BtnView;
class LinkLabel;

class AlertWindow : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 440;
    static constexpr int kHeight = 196;

    explicit AlertWindow(ContentView& controller, QWidget* parent = nullptr);

    [[nodiscard]] QLabel* titleLabel() const { return mTitle; }
    [[nodiscard]] LinkLabel* messageLabel() const { return mMessage; }
    [[nodiscard]] BtnView* closeButton() const { return mClose; }
    [[nodiscard]] BtnView* cancelButton() const { return mCancel; }
    [[nodiscard]] BtnView* agreeButton() const { return mAgree; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    ContentView& mController;
    QLabel* mTitle;
    LinkLabel* mMessage;
    BtnView* mClose;
    BtnView* mCancel;
    BtnView* mAgree;
};

}  // namespace corvane::ui
