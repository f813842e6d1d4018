#include "ui/install_failed_view.h"

#include <QHBoxLayout>
#include <QLabel>

#include "ui/downloading_view.h"
#include "ui/picture_view.h"
#include "ui/text_button.h"

namespace corvane::ui {
namespace {

constexpr int kFontSize = 16;

}  // namespace

InstallFailedView::InstallFailedView(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    setObjectName(QStringLiteral("installFailedView"));

    auto* icon = new PictureView(QStringLiteral("warning"), this);
    icon->setObjectName(QStringLiteral("warningPicture"));
    auto* message = makeLabel(QStringLiteral("安装失败，请点此"), kFontSize, this);
    message->setObjectName(QStringLiteral("installFailedLabel"));
    mReinstall = new TextButton(QStringLiteral("重新安装"), kFontSize, this);
    mReinstall->setObjectName(QStringLiteral("reinstallButton"));
    connect(mReinstall, &QPushButton::clicked, this, [this] { mController.reinstall(); });

    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addStretch(1);
    row->addWidget(icon, 0, Qt::AlignVCenter);
    row->addSpacing(8);
    row->addWidget(message, 0, Qt::AlignVCenter);
    row->addSpacing(2);
    row->addWidget(mReinstall, 0, Qt::AlignVCenter);
    row->addStretch(1);
}

}  // namespace corvane::ui
