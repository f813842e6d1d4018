#pragma once
// The download-failed screen: the bar where the download stopped, then "下载失败，请检查网络环境后"
// with the retry control "重试" and the link "反馈".
#include <QWidget>

#include "setup/content_view.h"

namespace corvane::ui {

class LinkLabel;
class ProgressBarView;
class TextButton;

class DownloadFailedView : public QWidget {
    Q_OBJECT
  public:
    explicit DownloadFailedView(ContentView& controller, QWidget* parent = nullptr);

    void refresh();

    [[nodiscard]] ProgressBarView* bar() const { return mBar; }
    [[nodiscard]] TextButton* retryButton() const { return mRetry; }
    [[nodiscard]] LinkLabel* feedbackLink() const { return mFeedback; }

  private:
    ContentView& mController;
    ProgressBarView* mBar;
    TextButton* mRetry;
    LinkLabel* mFeedback;
};

}  // namespace corvane::ui
