#pragma once
// The alert shown while Corvane is running: its two-line title and the one default button
// "好的". Modal over the main window; dismissing it (the button, Escape or closing) tells the
// owner through dismissed().
#include <QDialog>

class QLabel;
class QPushButton;

namespace corvane::ui {

class RunningAlert : public QDialog {
    Q_OBJECT
  public:
    static constexpr int kWidth = 260;

    explicit RunningAlert(QWidget* parent);

    // Shows the alert centred over `window` without blocking.
    void showOver(QWidget* window);

    [[nodiscard]] QLabel* titleLabel() const { return mTitle; }
    [[nodiscard]] QPushButton* okButton() const { return mOk; }

  signals:
    void dismissed();

  protected:
    void paintEvent(QPaintEvent* event) override;
    void done(int result) override;

  private:
    QLabel* mTitle;
    QPushButton* mOk;
};

}  // namespace corvane::ui
