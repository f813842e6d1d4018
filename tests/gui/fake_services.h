#pragma once
// Stand-ins for the controller's outside world in the window tests: a download the test
// drives, an installer whose answers the test sets, a reporter that records every report, and
// an exit that only records its status.
#include <QSizeF>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "setup/content_view.h"
#include "setup/services.h"

namespace corvane::gui_test {

class FakeDownloader final : public DownloadService {
  public:
    void startDownload(const std::string& url, DownloadCallbacks callbacks) override;
    void discardPartialDownload() override { ++mDiscards; }

    [[nodiscard]] int started() const;
    // How often the partial download was discarded (a quit does it once).
    [[nodiscard]] int discards() const { return mDiscards.load(); }
    [[nodiscard]] std::string lastUrl() const;
    // Progress of the current attempt, on the calling (main) thread, as the real one arrives.
    void progress(int64_t writtenMiB, int64_t expectedMiB, double secondsLeft);
    // Ends the current attempt on a worker thread, as the real download does; the install
    // after a success runs on that worker. join() waits for it.
    void succeed(const std::string& path);
    void fail();
    void join();

  private:
    mutable std::mutex mMutex;
    std::vector<std::string> mUrls;
    DownloadCallbacks mCallbacks;
    std::thread mWorker;
    std::atomic<int> mDiscards{0};
};

class FakeInstaller final : public InstallService {
  public:
    explicit FakeInstaller(bool applicationExists) : mApplicationExists(applicationExists) {}

    std::atomic<bool> usingNow{false};
    std::atomic<bool> installResult{true};

    // While held, installPackage() waits (an install that takes its time).
    void holdInstalls();
    void releaseInstalls();

    [[nodiscard]] int installs() const { return mInstalls.load(); }
    [[nodiscard]] std::vector<std::string> installedPaths() const;

    void recoverInterruptedInstalls() override {}
    bool applicationExists() override { return mApplicationExists; }
    OS_TYPE checkOSArch() override { return OS_TYPE::arm; }
    bool checkIfUsingNow() override { return usingNow.load(); }
    bool installPackage(const std::string& dmgPath) override;
    void shutDownServices() override {}
    void resumeServices() override {}
    bool startUse() override { return true; }
    void ensureIniFileExisted() override {}
    void getPackageInfo(ReportBlock&) override {}
    void setDefault(const std::string&) override {}
    void installService() override {}
    void recordPackageDetail(const ReportBlock&, bool) override {}

  private:
    const bool mApplicationExists;
    std::atomic<int> mInstalls{0};
    mutable std::mutex mMutex;
    std::condition_variable mReleased;
    bool mHeld = false;
    std::vector<std::string> mPaths;
};

struct RecordedReport {
    bool bSuccess;
    ENUMInstallResult result;
    bool bSilent;
    bool bCover;
    bool force;
};

class FakeReporter final : public ReportService {
  public:
    ReportBlock& data() override { return mBlock; }
    void report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                bool force) override;
    void flush(std::chrono::milliseconds bound) override { mFlushes.push_back(bound); }

    [[nodiscard]] const std::vector<RecordedReport>& reports() const { return mReports; }
    [[nodiscard]] std::vector<ENUMInstallResult> results() const;
    [[nodiscard]] const std::vector<std::chrono::milliseconds>& flushes() const { return mFlushes; }
    void clear() { mReports.clear(); }

  private:
    ReportBlock mBlock;
    std::vector<RecordedReport> mReports;
    std::vector<std::chrono::milliseconds> mFlushes;
};

class FakeExit final : public ExitService {
  public:
    void exitProcess(int status) override { mStatus = status; }
    [[nodiscard]] std::optional<int> status() const { return mStatus; }

  private:
    std::optional<int> mStatus;
};

class FakeWindow final : public WindowService {
  public:
    void resizeWindowTo(double width, double height) override {
        mSizes.emplace_back(width, height);
    }
    [[nodiscard]] const std::vector<QSizeF>& sizes() const { return mSizes; }

  private:
    std::vector<QSizeF> mSizes;
};

// One set of fakes and the controller services built from them.
struct Fakes {
    explicit Fakes(bool applicationExists);

    std::shared_ptr<FakeDownloader> downloader = std::make_shared<FakeDownloader>();
    std::shared_ptr<FakeInstaller> installer;
    std::shared_ptr<FakeReporter> reporter = std::make_shared<FakeReporter>();
    std::shared_ptr<FakeExit> exit = std::make_shared<FakeExit>();

    [[nodiscard]] ContentView::Services services() const;
};

}  // namespace corvane::gui_test
