#pragma once
// The agreement prompt, 440 × 196: the title "提示" with a close button, the request to read
// and accept the user agreement and the privacy notice (both linked), and the buttons
// "cancel-btn" and "agree-btn". For the keyboard and assistive technologies it is a modal dialog
// named by its title and described by its text: when it shows, the focus moves to "同意"; Tab
// stays among its controls; Escape answers as "取消" does; when it goes, the focus returns to
// where it was.
#include <QPointer>
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
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    bool focusNextPrevChild(bool next) override;

  private:
    ContentView& mController;
    QPointer<QWidget> mFocusBefore;
    QLabel* mTitle;
    LinkLabel* mMessage;
    BtnView* mClose;
    BtnView* mCancel;
    BtnView* mAgree;
};

}  // namespace corvane::ui
