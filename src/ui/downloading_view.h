#pragma once
// The progress screen: the bar, then either the progress line (megabytes, size, time left,
// percentage) while the download runs, or the install line once the bar passes 1.0.
#include <QWidget>

#include "setup/content_view.h"

class QLabel;

namespace corvane::ui {

class ProgressBarView;

class DownloadingView : public QWidget {
    Q_OBJECT
  public:
    explicit DownloadingView(ContentView& controller, QWidget* parent = nullptr);

    void refresh();

    [[nodiscard]] ProgressBarView* bar() const { return mBar; }
    [[nodiscard]] QWidget* progressLine() const { return mProgressLine; }
    [[nodiscard]] QLabel* installLine() const { return mInstallLine; }
    [[nodiscard]] QLabel* downloadedLabel() const { return mDownloaded; }
    [[nodiscard]] QLabel* packageSizeLabel() const { return mPackageSize; }
    [[nodiscard]] QLabel* timeLeftLabel() const { return mTimeLeft; }
    [[nodiscard]] QLabel* percentageLabel() const { return mPercentage; }

  private:
    ContentView& mController;
    ProgressBarView* mBar;
    QWidget* mProgressLine;
    QLabel* mDownloaded;
    QLabel* mPackageSize;
    QLabel* mTimeLeft;
    QLabel* mPercentage;
    QLabel* mInstallLine;
};

// A label in the window's text grey at `size` points.
[[nodiscard]] QLabel* makeLabel(const QString& text, int size, QWidget* parent);

}  // namespace corvane::ui
