#include "ui/main_window.h"

#include <QCloseEvent>
#include <QMetaObject>
#include <utility>

#include "ui/accessibility.h"
#include "ui/window_style.h"

namespace corvane::ui {

MainWindow::MainWindow(CloseHandlers handlers) : mHandlers(std::move(handlers)) {
    installAccessibility();
    setObjectName(QStringLiteral("mainWindow"));
    setWindowTitle(QStringLiteral("Corvane安装程序"));
    setAccessibleName(QStringLiteral("Corvane安装程序"));
    // Titled, closable and minimisable; never resized by the user.
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint |
                   Qt::WindowMinimizeButtonHint | Qt::CustomizeWindowHint);
}

void MainWindow::setContent(QWidget* content) {
    mContent = content;
    if (mContent) {
        mContent->setParent(this);
        mContent->setGeometry(rect());
        mContent->show();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (mHandlers.shouldClose && !mHandlers.shouldClose()) {
        event->ignore();
        return;
    }
    event->accept();
    if (mHandlers.didClose) {
        // After the close has completed, as the platform asks once its last window is gone.
        QMetaObject::invokeMethod(
            this, [this] { mHandlers.didClose(); }, Qt::QueuedConnection);
    }
}

void MainWindow::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    if (mContent) {
        mContent->setGeometry(rect());
    }
    // Size changes may make the platform rebuild its window style.
    applyNativeWindowStyle(*this);
}

void MainWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    applyNativeWindowStyle(*this);
}

}  // namespace corvane::ui
