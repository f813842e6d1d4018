#pragma once
// A button drawn from three pictures: "<btnName>-normal", "-hover" and "-press". It acts on the
// press itself and again on every movement of a held press (callers that must act once guard
// themselves); nothing happens on release.
#include <QAbstractButton>
#include <QColor>
#include <QString>
#include <cstdint>
#include <functional>

namespace corvane::ui {

enum class ButtonState : uint8_t {
    normal = 0,
    hovered = 1,
    pressed = 2,
};

// The picture-name suffix of a state: "-normal", "-hover", "-press".
[[nodiscard]] QString pictureSuffix(ButtonState state);

class BtnView : public QAbstractButton {
    Q_OBJECT
  public:
    // A button in state `normal`, fixed at width × height points, with `text` (may be empty)
    // centred over the picture. An empty caption leaves the accessible name to the caller.
    BtnView(QString btnName, const QString& text, QColor textColor, int width, int height,
            std::function<void()> onPress, QWidget* parent = nullptr);

    [[nodiscard]] ButtonState buttonState() const { return mButtonState; }
    [[nodiscard]] const QString& btnName() const { return mBtnName; }
    [[nodiscard]] QColor textColor() const { return mTextColor; }
    // The picture shown now: btnName followed by the state's suffix.
    [[nodiscard]] QString pictureName() const;

    [[nodiscard]] QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    [[nodiscard]] bool hitButton(const QPoint& pos) const override;

  private:
    void setButtonState(ButtonState state);
    void press();

    std::function<void()> mOnPress;
    ButtonState mButtonState = ButtonState::normal;
    QString mBtnName;
    QColor mTextColor;
    int mWidth;
    int mHeight;
    bool mHeld = false;           // the primary mouse button went down on us and is still down
    bool mPointerInside = false;  // during a held press: whether the pointer is over us
    bool mKeyHeld = false;        // a press by keyboard is in progress
};

}  // namespace corvane::ui
