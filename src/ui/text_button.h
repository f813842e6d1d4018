#pragma once
// A borderless text button in the platform's standard blue ("重试", "重新安装").
#include <QPushButton>

namespace corvane::ui {

class TextButton : public QPushButton {
    Q_OBJECT
  public:
    TextButton(const QString& text, int fontSize, QWidget* parent = nullptr);

    [[nodiscard]] QSize sizeHint() const override;
    [[nodiscard]] QSize minimumSizeHint() const override;

  protected:
    void paintEvent(QPaintEvent* event) override;
};

}  // namespace corvane::ui
