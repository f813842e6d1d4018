#pragma once
// Stand-ins for the controller's seams, so the flow can be driven the way the screens drive it.
// They record what the controller asked for, in one ordered journal shared by all of them, and
// the thread each request came from. Every member is safe to call from any thread.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "setup/content_view.h"
#include "setup/services.h"

namespace corvane::test {

// What the fakes were asked to do, in order, with the asking thread.
class Journal {
  public:
    void add(std::string entry) {
        std::lock_guard lock(mMutex);
        mEntries.push_back(std::move(entry));
    }
    [[nodiscard]] std::vector<std::string> entries() const {
        std::lock_guard lock(mMutex);
        return mEntries;
    }
    [[nodiscard]] size_t count(const std::string& entry) const {
        std::lock_guard lock(mMutex);
        return static_cast<size_t>(std::count(mEntries.begin(), mEntries.end(), entry));
    }
    void clear() {
        std::lock_guard lock(mMutex);
        mEntries.clear();
    }

  private:
    mutable std::mutex mMutex;
    std::vector<std::string> mEntries;
};

// Downloads that end only when the test says so: progress on the calling (main) thread, the
// end callbacks on a worker thread of their own, as the real transfer does.
class FakeDownloads final : public DownloadService {
  public:
    struct Attempt {
        std::string url;
        DownloadCallbacks callbacks;
    };

    ~FakeDownloads() override { joinWorkers(); }

    void startDownload(const std::string& url, DownloadCallbacks callbacks) override {
        std::lock_guard lock(mMutex);
        mAttempts.push_back({url, std::move(callbacks)});
    }
    void discardPartialDownload() override {
        std::lock_guard lock(mMutex);
        ++mDiscards;
    }
    [[nodiscard]] int discards() const {
        std::lock_guard lock(mMutex);
        return mDiscards;
    }

    [[nodiscard]] size_t attemptCount() const {
        std::lock_guard lock(mMutex);
        return mAttempts.size();
    }
    [[nodiscard]] std::string url(size_t attempt) const {
        std::lock_guard lock(mMutex);
        return mAttempts.at(attempt).url;
    }
    // Call on the main thread.
    void progress(size_t attempt, int64_t writtenMiB, int64_t expectedMiB, double secondsLeft) {
        callbacks(attempt).onProgress(writtenMiB, expectedMiB, secondsLeft);
    }
    void succeedOnWorker(size_t attempt, std::string path) {
        auto cb = callbacks(attempt).onDownloadSuccess;
        spawn([cb = std::move(cb), path = std::move(path)] { cb(path); });
    }
    void failOnWorker(size_t attempt) {
        auto cb = callbacks(attempt).onDownloadFailed;
        spawn([cb = std::move(cb)] { cb(); });
    }
    void joinWorkers() {
        std::vector<std::thread> workers;
        {
            std::lock_guard lock(mMutex);
            workers.swap(mWorkers);
        }
        for (auto& w : workers) {
            w.join();
        }
    }

  private:
    DownloadCallbacks callbacks(size_t attempt) {
        std::lock_guard lock(mMutex);
        return mAttempts.at(attempt).callbacks;
    }
    void spawn(std::function<void()> work) {
        std::lock_guard lock(mMutex);
        mWorkers.emplace_back(std::move(work));
    }

    mutable std::mutex mMutex;
    std::vector<Attempt> mAttempts;
    std::vector<std::thread> mWorkers;
    int mDiscards = 0;
};

// The installer operations, with an install that can be held until the test lets it finish.
class FakeInstaller final : public InstallService {
  public:
    explicit FakeInstaller(std::shared_ptr<Journal> journal) : mJournal(std::move(journal)) {}

    bool appExists = false;
    OS_TYPE arch = OS_TYPE::x86;
    bool usingNow = false;

    void setInstallResult(bool result) {
        std::lock_guard lock(mMutex);
        mResult = result;
    }
    // While held, installPackage() waits until release().
    void hold() {
        std::lock_guard lock(mMutex);
        mHeld = true;
    }
    void release() {
        {
            std::lock_guard lock(mMutex);
            mHeld = false;
        }
        mCv.notify_all();
    }
    [[nodiscard]] bool installStarted() const {
        std::lock_guard lock(mMutex);
        return mInstalls > 0;
    }
    [[nodiscard]] int installCount() const {
        std::lock_guard lock(mMutex);
        return mInstalls;
    }
    [[nodiscard]] int mostAtOnce() const {
        std::lock_guard lock(mMutex);
        return mMostAtOnce;
    }
    [[nodiscard]] std::vector<std::string> installedPaths() const {
        std::lock_guard lock(mMutex);
        return mPaths;
    }
    [[nodiscard]] std::vector<std::thread::id> installThreads() const {
        std::lock_guard lock(mMutex);
        return mThreads;
    }

    // While held, checkOSArch() (the start-up probe, on its worker) waits until releaseProbe().
    void holdProbe() {
        std::lock_guard lock(mMutex);
        mProbeHeld = true;
    }
    void releaseProbe() {
        {
            std::lock_guard lock(mMutex);
            mProbeHeld = false;
        }
        mCv.notify_all();
    }

    void recoverInterruptedInstalls() override { mJournal->add("recoverInterruptedInstalls"); }
    bool applicationExists() override {
        mJournal->add("applicationExists");
        return appExists;
    }
    OS_TYPE checkOSArch() override {
        std::unique_lock lock(mMutex);
        mCv.wait(lock, [this] { return !mProbeHeld; });
        mJournal->add("checkOSArch");
        return arch;
    }
    bool checkIfUsingNow() override {
        mJournal->add("checkIfUsingNow");
        return usingNow;
    }
    bool installPackage(const std::string& dmgPath) override {
        std::unique_lock lock(mMutex);
        ++mInstalls;
        ++mRunning;
        mMostAtOnce = std::max(mMostAtOnce, mRunning);
        mPaths.push_back(dmgPath);
        mThreads.push_back(std::this_thread::get_id());
        mCv.wait(lock, [this] { return !mHeld; });
        --mRunning;
        return mResult;
    }
    void shutDownServices() override { mJournal->add("shutDownServices"); }
    void resumeServices() override { mJournal->add("resumeServices"); }
    bool startUse() override {
        mJournal->add("startUse");
        return true;
    }
    void ensureIniFileExisted() override { mJournal->add("ensureIniFileExisted"); }
    void getPackageInfo(ReportBlock& toRecord) override {
        mJournal->add("getPackageInfo");
        toRecord.version = "1.0.0.1";
    }
    void setDefault(const std::string& isDefault) override {
        mJournal->add("setDefault " + isDefault);
    }
    void installService() override { mJournal->add("installService"); }
    void recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite) override {
        mJournal->add("recordPackageDetail " + toRecord.version +
                      (isOverwrite ? " overwrite" : " fresh"));
    }

  private:
    std::shared_ptr<Journal> mJournal;
    mutable std::mutex mMutex;
    std::condition_variable mCv;
    bool mResult = true;
    bool mHeld = false;
    bool mProbeHeld = false;
    int mInstalls = 0;
    int mRunning = 0;
    int mMostAtOnce = 0;
    std::vector<std::string> mPaths;
    std::vector<std::thread::id> mThreads;
};

class FakeReporter final : public ReportService {
  public:
    explicit FakeReporter(std::shared_ptr<Journal> journal) : mJournal(std::move(journal)) {}

    ReportBlock& data() override { return mData; }
    void report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                bool force) override {
        std::lock_guard lock(mMutex);
        mJournal->add("report " + std::to_string(rawValue(result)));
        mReports.push_back({bSuccess, result, bSilent, bCover, force, std::this_thread::get_id()});
    }
    void flush(std::chrono::milliseconds bound) override {
        mJournal->add("flush " + std::to_string(bound.count()));
    }
    void probeMachine() override { mJournal->add("probeMachine"); }

    struct Call {
        bool bSuccess;
        ENUMInstallResult result;
        bool bSilent;
        bool bCover;
        bool force;
        std::thread::id thread;
    };
    [[nodiscard]] std::vector<Call> calls() const {
        std::lock_guard lock(mMutex);
        return mReports;
    }
    [[nodiscard]] std::vector<int> reasons() const {
        std::lock_guard lock(mMutex);
        std::vector<int> out;
        for (const auto& c : mReports) {
            out.push_back(rawValue(c.result));
        }
        return out;
    }

  private:
    std::shared_ptr<Journal> mJournal;
    ReportBlock mData;
    mutable std::mutex mMutex;
    std::vector<Call> mReports;
};

class FakeWindow final : public WindowService {
  public:
    void resizeWindowTo(double width, double height) override {
        std::lock_guard lock(mMutex);
        mSizes.emplace_back(width, height);
    }
    [[nodiscard]] std::vector<std::pair<double, double>> sizes() const {
        std::lock_guard lock(mMutex);
        return mSizes;
    }

  private:
    mutable std::mutex mMutex;
    std::vector<std::pair<double, double>> mSizes;
};

// Records the exit instead of ending the test process.
class FakeExit final : public ExitService {
  public:
    explicit FakeExit(std::shared_ptr<Journal> journal) : mJournal(std::move(journal)) {}
    void exitProcess(int status) override {
        mJournal->add("exit " + std::to_string(status));
        std::lock_guard lock(mMutex);
        mStatuses.push_back(status);
    }
    [[nodiscard]] std::vector<int> statuses() const {
        std::lock_guard lock(mMutex);
        return mStatuses;
    }

  private:
    std::shared_ptr<Journal> mJournal;
    mutable std::mutex mMutex;
    std::vector<int> mStatuses;
};

}  // namespace corvane::test
