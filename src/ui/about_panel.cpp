// Built where there is no system About panel.
#include "ui/about_panel.h"

#include <QMessageBox>

namespace corvane::ui {

void showAboutPanel(QWidget* parent) {
    QMessageBox::about(parent, QStringLiteral("关于 Corvane安装程序"),
                       QStringLiteral("Corvane安装程序"));
}

}  // namespace corvane::ui
