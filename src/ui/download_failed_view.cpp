#include "ui/download_failed_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/downloading_view.h"
#include "ui/link_label.h"
#include "ui/picture_view.h"
#include "ui/progress_bar_view.h"
#include "ui/text_button.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kFontSize = 12;
constexpr int kBarToLine = 8;

}  // namespace

DownloadFailedView::DownloadFailedView(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    setObjectName(QStringLiteral("downloadFailedView"));

    mBar = new ProgressBarView(ProgressBarView::Kind::Platform, this);
    mBar->setObjectName(QStringLiteral("failedProgressBar"));

    auto* icon = new PictureView(QStringLiteral("error"), this);
    icon->setObjectName(QStringLiteral("errorPicture"));
    auto* message = makeLabel(QStringLiteral("下载失败，请检查网络环境后"), kFontSize, this);
    message->setObjectName(QStringLiteral("downloadFailedLabel"));
    mRetry = new TextButton(QStringLiteral("重试"), kFontSize, this);
    mRetry->setObjectName(QStringLiteral("retryButton"));
    connect(mRetry, &QPushButton::clicked, this, [this] { mController.restartDownload(); });
    mFeedback = new LinkLabel({TextRun{QStringLiteral("反馈"), accentBlue(), feedbackUrl()}},
                              uiFont(kFontSize), textGrey(), std::nullopt, this);
    mFeedback->setObjectName(QStringLiteral("feedbackLink"));

    auto* row = new QHBoxLayout();
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(0);
    row->addStretch(1);
    row->addWidget(icon, 0, Qt::AlignVCenter);
    row->addSpacing(6);
    row->addWidget(message, 0, Qt::AlignVCenter);
    row->addSpacing(2);
    row->addWidget(mRetry, 0, Qt::AlignVCenter);
    row->addSpacing(10);
    row->addWidget(mFeedback, 0, Qt::AlignVCenter);
    row->addStretch(1);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addStretch(1);
    column->addWidget(mBar, 0, Qt::AlignLeft);
    column->addSpacing(kBarToLine);
    column->addLayout(row);
    column->addStretch(1);
    refresh();
}

void DownloadFailedView::refresh() {
    mBar->setProgress(mController.progress());
    mBar->setAccessibleName(
        QString::fromStdString(mController.downloadedText() + mController.packageSizeText())
            .trimmed());
}

}  // namespace corvane::ui
