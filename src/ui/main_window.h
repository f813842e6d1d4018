#pragma once
// The setup's one window. It shows the content view over its whole area and asks its owner
// before it closes.
#include <QWidget>
#include <functional>

namespace corvane::ui {

class MainWindow : public QWidget {
    Q_OBJECT
  public:
    struct CloseHandlers {
        // Asked when the user closes the window: true lets it close.
        std::function<bool()> shouldClose;
        // Told after the window has closed.
        std::function<void()> didClose;
    };

    explicit MainWindow(CloseHandlers handlers);

    // Puts `content` into the window, filling it.
    void setContent(QWidget* content);
    [[nodiscard]] QWidget* content() const { return mContent; }

  protected:
    void closeEvent(QCloseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    CloseHandlers mHandlers;
    QWidget* mContent = nullptr;
};

}  // namespace corvane::ui
