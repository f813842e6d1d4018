#pragma once
// The menu bar of a Mac app: the application menu (About, Hide, Quit) and the Window menu
// (Minimise, ⌘M). The bar has no parent, so on macOS it is the application's own menu bar and
// Qt moves the About and Quit actions, by their roles, into the application menu the system
// builds (with Hide, Hide Others and Show All); elsewhere the same actions are the window's
// shortcuts (Ctrl stands for ⌘).
#include <QObject>
#include <functional>
#include <memory>

class QAction;
class QMenu;
class QMenuBar;
class QWidget;

namespace corvane::ui {

class AppMenu : public QObject {
    Q_OBJECT
  public:
    struct Handlers {
        std::function<void()> about;
        // The platform's quit command (⌘Q, the menu's Quit).
        std::function<void()> quit;
    };

    AppMenu(QWidget& window, Handlers handlers);
    ~AppMenu() override;

    [[nodiscard]] QMenuBar* menuBar() const { return mMenuBar.get(); }
    [[nodiscard]] QMenu* applicationMenu() const { return mApplicationMenu; }
    [[nodiscard]] QMenu* windowMenu() const { return mWindowMenu; }
    [[nodiscard]] QAction* aboutAction() const { return mAbout; }
    [[nodiscard]] QAction* quitAction() const { return mQuit; }
    [[nodiscard]] QAction* minimiseAction() const { return mMinimise; }

  private:
    std::unique_ptr<QMenuBar> mMenuBar;
    QMenu* mApplicationMenu = nullptr;
    QMenu* mWindowMenu = nullptr;
    QAction* mAbout = nullptr;
    QAction* mQuit = nullptr;
    QAction* mMinimise = nullptr;
};

}  // namespace corvane::ui
