#include "ui/running_alert.h"

#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/accessibility.h"
#include "ui/picture_view.h"
#include "ui/rounded_window.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kRadius = 10;
constexpr int kPadding = 20;
constexpr int kButtonHeight = 32;

QString okButtonStyle() {
    const QString accent = accentBlue().name();
    const QString pressed = accentBlue().darker(115).name();
    return QStringLiteral(
               "QPushButton { background: %1; color: white; border: none; border-radius: 8px; }"
               "QPushButton:pressed { background: %2; }"
               "QPushButton:focus { border: 2px solid %3; }")
        .arg(accent, pressed, QColor(0x9D, 0xB8, 0xEE).name());
}

}  // namespace

RunningAlert::RunningAlert(QWidget* parent) : QDialog(parent) {
    installAccessibility();
    setObjectName(QStringLiteral("runningAlert"));
    setWindowTitle(QStringLiteral("Corvane安装程序"));
    setWindowModality(Qt::WindowModal);
    setAccessibleName(QStringLiteral("Corvane正在运行，\n请先关闭应用后再安装软件"));

    auto* icon = new PictureView(QStringLiteral("warning"), this);
    icon->setFixedSize(40, 40);

    mTitle = new QLabel(QStringLiteral("Corvane正在运行，\n请先关闭应用后再安装软件"), this);
    mTitle->setObjectName(QStringLiteral("runningAlertTitle"));
    mTitle->setAlignment(Qt::AlignCenter);
    mTitle->setFont(uiFont(kDefaultFontSize + 1, QFont::DemiBold));
    QPalette palette = mTitle->palette();
    palette.setColor(QPalette::WindowText, QColor(0x1E, 0x2B, 0x45));
    mTitle->setPalette(palette);

    mOk = new QPushButton(QStringLiteral("好的"), this);
    mOk->setObjectName(QStringLiteral("runningAlertOkButton"));
    mOk->setDefault(true);
    mOk->setAutoDefault(true);
    mOk->setCursor(Qt::PointingHandCursor);
    mOk->setFont(uiFont(kDefaultFontSize + 1));
    mOk->setFixedHeight(kButtonHeight);
    mOk->setStyleSheet(okButtonStyle());
    connect(mOk, &QPushButton::clicked, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(kPadding, kPadding + 4, kPadding, kPadding);
    layout->setSpacing(0);
    layout->addWidget(icon, 0, Qt::AlignHCenter);
    layout->addSpacing(14);
    layout->addWidget(mTitle);
    layout->addSpacing(20);
    layout->addWidget(mOk);

    setFixedWidth(kWidth);
    setFixedHeight(layout->sizeHint().height());
    makeClearRoundedWindow(*this, kRadius);
    mOk->setFocus();
}

void RunningAlert::showOver(QWidget* window) {
    if (window) {
        const QRect over = window->geometry();
        move(over.x() + (over.width() - width()) / 2, over.y() + (over.height() - height()) / 2);
    }
    show();
    raise();
    activateWindow();
    mOk->setFocus();
}

void RunningAlert::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(QColor(0xDC, 0xE1, 0xE9), 1.0));
    painter.setBrush(Qt::white);
    painter.drawRoundedRect(QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5), kRadius, kRadius);
}

void RunningAlert::done(int result) {
    QDialog::done(result);
    emit dismissed();
}

}  // namespace corvane::ui
