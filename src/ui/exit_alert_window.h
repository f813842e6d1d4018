#pragma once
// The exit confirmation. ExitAlertWindow is the panel's picture: "ExitAlert" covering 304 × 236,
// cut to rounded corners; the question and both button faces are part of the picture.
// ExitAlertPanel is the panel itself: clear, frameless, modal, with two transparent buttons,
// "确认" and "取消", over the painted faces.
#include <QDialog>
#include <QPushButton>
#include <QRect>
#include <QWidget>
#include <functional>

namespace corvane::ui {

class ExitAlertWindow : public QWidget {
    Q_OBJECT
  public:
    static constexpr int kWidth = 304;
    static constexpr int kHeight = 236;

    explicit ExitAlertWindow(QWidget* parent = nullptr);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

// A button that draws nothing but a focus ring: the face is painted underneath.
class TransparentButton : public QPushButton {
    Q_OBJECT
  public:
    TransparentButton(const QString& title, QWidget* parent);

  protected:
    void paintEvent(QPaintEvent* event) override;
};

class ExitAlertPanel : public QDialog {
    Q_OBJECT
  public:
    // The buttons' frames in panel coordinates with the origin at the bottom left.
    static constexpr QRect kConfirmFrame{20, 40, 110, 48};
    static constexpr QRect kCancelFrame{150, 40, 110, 48};

    // `onConfirm` and `onCancel` run when the matching button is pressed; Escape and closing
    // the panel count as "取消".
    ExitAlertPanel(std::function<void()> onConfirm, std::function<void()> onCancel,
                   QWidget* parent = nullptr);

    [[nodiscard]] QPushButton* confirmButton() const { return mConfirm; }
    [[nodiscard]] QPushButton* cancelButton() const { return mCancel; }
    [[nodiscard]] ExitAlertWindow* view() const { return mView; }

  protected:
    void reject() override;

  private:
    std::function<void()> mOnConfirm;
    std::function<void()> mOnCancel;
    ExitAlertWindow* mView;
    TransparentButton* mConfirm;
    TransparentButton* mCancel;
};

// A frame given with the origin at the bottom left of a container `containerHeight` high, in
// the toolkit's coordinates (origin at the top left).
[[nodiscard]] QRect flippedFrame(const QRect& bottomLeftFrame, int containerHeight);

}  // namespace corvane::ui
