#include "ui/downloading_view.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QVBoxLayout>

#include "ui/progress_bar_view.h"
#include "ui/ui_style.h"

namespace corvane::ui {
namespace {

constexpr int kLineFontSize = 12;
constexpr int kDownloadedMinWidth = 35;
constexpr int kBarToLine = 8;

}  // namespace

QLabel* makeLabel(const QString& text, int size, QWidget* parent) {
    auto* label = new QLabel(text, parent);
    label->setFont(uiFont(size));
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, textGrey());
    label->setPalette(palette);
    label->setTextFormat(Qt::PlainText);
    return label;
}

DownloadingView::DownloadingView(ContentView& controller, QWidget* parent)
    : QWidget(parent), mController(controller) {
    setObjectName(QStringLiteral("downloadingView"));

    mBar = new ProgressBarView(ProgressBarView::Kind::Setup, this);
    mBar->setObjectName(QStringLiteral("progressBar"));

    mProgressLine = new QWidget(this);
    mProgressLine->setObjectName(QStringLiteral("progressLine"));
    mDownloaded = makeLabel(QString(), kLineFontSize, mProgressLine);
    mDownloaded->setObjectName(QStringLiteral("downloadedLabel"));
    mDownloaded->setAlignment(Qt::AlignCenter);
    // The frame is 35 wide; a longer count ("150MB") widens it rather than being cut.
    mDownloaded->setMinimumWidth(kDownloadedMinWidth);
    mPackageSize = makeLabel(QString(), kLineFontSize, mProgressLine);
    mPackageSize->setObjectName(QStringLiteral("packageSizeLabel"));
    mTimeLeft = makeLabel(QString(), kLineFontSize, mProgressLine);
    mTimeLeft->setObjectName(QStringLiteral("timeLeftLabel"));
    mPercentage = makeLabel(QString(), kLineFontSize, mProgressLine);
    mPercentage->setObjectName(QStringLiteral("percentageLabel"));
    auto* line = new QHBoxLayout(mProgressLine);
    line->setContentsMargins(0, 0, 0, 0);
    line->setSpacing(0);
    line->addWidget(mDownloaded);
    line->addWidget(mPackageSize);
    line->addWidget(mTimeLeft);
    line->addStretch(1);
    line->addWidget(mPercentage);

    mInstallLine = makeLabel(QStringLiteral("安装中（预计在10秒内完成）"), kLineFontSize, this);
    mInstallLine->setObjectName(QStringLiteral("installLine"));
    mInstallLine->setAlignment(Qt::AlignCenter);

    auto* column = new QVBoxLayout(this);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addStretch(1);
    column->addWidget(mBar, 0, Qt::AlignLeft);
    column->addSpacing(kBarToLine);
    column->addWidget(mProgressLine);
    column->addWidget(mInstallLine);
    column->addStretch(1);
    refresh();
}

void DownloadingView::refresh() {
    mBar->setProgress(mController.progress());
    const bool installing = mController.progress() >= 1.0;
    mProgressLine->setVisible(!installing);
    mInstallLine->setVisible(installing);
    if (!installing) {
        mDownloaded->setText(QString::fromStdString(mController.downloadedText()));
        mPackageSize->setText(QString::fromStdString(mController.packageSizeText()));
        mTimeLeft->setText(QString::fromStdString(mController.timeLeftText()));
        mPercentage->setText(QString::fromStdString(mController.percentageText()));
    }
    // A screen reader says the bar's name with its percentage: the megabytes and the time left,
    // then the install line, whose arrival the name's change announces.
    const QString name = installing
                             ? mInstallLine->text()
                             : mDownloaded->text() + mPackageSize->text() + mTimeLeft->text();
    if (mBar->accessibleName() != name) {
        mBar->setAccessibleName(name);
    }
}

}  // namespace corvane::ui
