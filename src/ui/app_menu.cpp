#include "ui/app_menu.h"

#include <QAction>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>
#include <QWidget>
#include <utility>

namespace corvane::ui {

AppMenu::AppMenu(QWidget& window, Handlers handlers) : mMenuBar(std::make_unique<QMenuBar>()) {
    const QString name = QStringLiteral("Corvane安装程序");
    mApplicationMenu = mMenuBar->addMenu(name);
    mApplicationMenu->setObjectName(QStringLiteral("applicationMenu"));
    mWindowMenu = mMenuBar->addMenu(QStringLiteral("窗口"));
    mWindowMenu->setObjectName(QStringLiteral("windowMenu"));

    mAbout = mApplicationMenu->addAction(QStringLiteral("关于 ") + name);
    mAbout->setMenuRole(QAction::AboutRole);
    connect(mAbout, &QAction::triggered, this, [about = std::move(handlers.about)] { about(); });
    mApplicationMenu->addSeparator();
    mQuit = mApplicationMenu->addAction(QStringLiteral("退出 ") + name);
    mQuit->setMenuRole(QAction::QuitRole);
    mQuit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));  // ⌘Q on a Mac
    connect(mQuit, &QAction::triggered, this, [quit = std::move(handlers.quit)] { quit(); });

    mMinimise = mWindowMenu->addAction(QStringLiteral("最小化"));
    mMinimise->setMenuRole(QAction::NoRole);
    mMinimise->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));  // ⌘M
    connect(mMinimise, &QAction::triggered, &window, &QWidget::showMinimized);

#if !defined(__APPLE__)
    // No menu bar is shown here: the window carries the shortcuts itself.
    window.addAction(mQuit);
    window.addAction(mMinimise);
#endif
}

AppMenu::~AppMenu() = default;

}  // namespace corvane::ui
