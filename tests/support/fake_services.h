#pragma once
// Stand-ins for the controller's seams, shared by the controller tests and the window tests. They
// record what they were asked, in one ordered journal, and hold or fail only when the test says
// so. Downloads end on a worker thread of their own, as the real transfer does. Every member is
// safe to call from any thread.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "setup/content_view.h"
#include "setup/services.h"

namespace corvane::test {

// A copy of `field` taken under `mutex`.
template <typename T>
[[nodiscard]] T locked(std::mutex& mutex, const T& field) {
    std::lock_guard lock(mutex);
    return field;
}

// What the fakes were asked to do, in order.
class Journal {
  public:
    void add(std::string entry);
    [[nodiscard]] std::vector<std::string> entries() const { return locked(mMutex, mEntries); }
    [[nodiscard]] size_t count(const std::string& entry) const;
    void clear();

  private:
    mutable std::mutex mMutex;
    std::vector<std::string> mEntries;
};

// Attempts count from 0; without one, the latest is meant.
class FakeDownloads final : public DownloadService {
  public:
    static constexpr size_t kLatest = static_cast<size_t>(-1);
    ~FakeDownloads() override { join(); }

    void startDownload(const std::string& url, DownloadCallbacks callbacks) override;
    void discardPartialDownload() override { ++mDiscards; }

    [[nodiscard]] int discards() const { return mDiscards; }
    [[nodiscard]] size_t attempts() const { return locked(mMutex, mAttempts).size(); }
    [[nodiscard]] std::string url(size_t attempt = kLatest) const { return at(attempt).first; }
    // On the calling thread, which must be the main one.
    void progress(int64_t writtenMiB, int64_t expectedMiB, double secondsLeft,
                  size_t attempt = kLatest) {
        at(attempt).second.onProgress(writtenMiB, expectedMiB, secondsLeft);
    }
    // Ends the attempt on a new worker thread; join() waits for it and what it ran.
    void succeed(std::string path, size_t attempt = kLatest);
    void fail(size_t attempt = kLatest) { spawn(at(attempt).second.onDownloadFailed); }
    void join();

  private:
    [[nodiscard]] std::pair<std::string, DownloadCallbacks> at(size_t attempt) const;
    void spawn(std::function<void()> work);

    mutable std::mutex mMutex;
    std::vector<std::pair<std::string, DownloadCallbacks>> mAttempts;
    std::vector<std::thread> mWorkers;
    std::atomic<int> mDiscards{0};
};

class FakeInstaller final : public InstallService {
  public:
    explicit FakeInstaller(std::shared_ptr<Journal> journal) : mJournal(std::move(journal)) {}

    std::atomic<bool> appExists{false};
    std::atomic<OS_TYPE> arch{OS_TYPE::x86};
    std::atomic<bool> usingNow{false};
    std::atomic<bool> result{true};       // what installPackage() answers
    std::atomic<bool> packageKept{true};  // what packageExists() answers

    // While held, installPackage() (hold) or the start-up probe checkOSArch() (holdProbe) waits.
    void hold(bool held = true) { set(mHeld, held); }
    void release() { set(mHeld, false); }
    void holdProbe(bool held = true) { set(mProbeHeld, held); }
    void releaseProbe() { set(mProbeHeld, false); }

    [[nodiscard]] int installs() const { return static_cast<int>(installedPaths().size()); }
    [[nodiscard]] int mostAtOnce() const { return locked(mMutex, mMostAtOnce); }
    [[nodiscard]] std::vector<std::string> installedPaths() const { return locked(mMutex, mPaths); }
    [[nodiscard]] std::vector<std::thread::id> installThreads() const {
        return locked(mMutex, mThreads);
    }

    void recoverInterruptedInstalls() override { mJournal->add("recoverInterruptedInstalls"); }
    bool applicationExists() override { return note("applicationExists", appExists); }
    OS_TYPE checkOSArch() override;
    bool checkIfUsingNow() override { return note("checkIfUsingNow", usingNow); }
    bool installPackage(const std::string& dmgPath) override;
    bool packageExists(const std::string& /*dmgPath*/) override { return packageKept; }
    void shutDownServices() override { mJournal->add("shutDownServices"); }
    void resumeServices() override { mJournal->add("resumeServices"); }
    bool startUse() override { return note("startUse", true); }
    void ensureIniFileExisted() override { mJournal->add("ensureIniFileExisted"); }
    void getPackageInfo(ReportBlock& toRecord) override {
        toRecord.version = "1.0.0.1";
        mJournal->add("getPackageInfo");
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
    bool note(const std::string& entry, bool answer) {
        mJournal->add(entry);
        return answer;
    }
    void set(bool& flag, bool value);

    std::shared_ptr<Journal> mJournal;
    mutable std::mutex mMutex;
    std::condition_variable mCv;
    bool mHeld = false;
    bool mProbeHeld = false;
    int mRunning = 0;
    int mMostAtOnce = 0;
    std::vector<std::string> mPaths;
    std::vector<std::thread::id> mThreads;
};

class FakeReporter final : public ReportService {
  public:
    explicit FakeReporter(std::shared_ptr<Journal> journal) : mJournal(std::move(journal)) {}

    struct Call {
        bool bSuccess;
        ENUMInstallResult result;
        bool bSilent;
        bool bCover;
        bool force;
        std::thread::id thread;
    };

    ReportBlock& data() override { return mData; }
    void report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                bool force) override;
    void flush(std::chrono::milliseconds bound) override;
    void probeMachine() override { mJournal->add("probeMachine"); }

    [[nodiscard]] std::vector<Call> calls() const { return locked(mMutex, mCalls); }
    [[nodiscard]] std::vector<int> reasons() const;  // the results' numbers, in order
    [[nodiscard]] int flushes() const { return locked(mMutex, mFlushes); }
    void clear();

  private:
    std::shared_ptr<Journal> mJournal;
    ReportBlock mData;
    mutable std::mutex mMutex;
    std::vector<Call> mCalls;
    int mFlushes = 0;
};

class FakeWindow final : public WindowService {
  public:
    using Sizes = std::vector<std::pair<double, double>>;
    void resizeWindowTo(double width, double height) override {
        std::lock_guard lock(mMutex);
        mSizes.emplace_back(width, height);
    }
    [[nodiscard]] Sizes sizes() const { return locked(mMutex, mSizes); }

  private:
    mutable std::mutex mMutex;
    Sizes mSizes;
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
    [[nodiscard]] std::vector<int> statuses() const { return locked(mMutex, mStatuses); }

  private:
    std::shared_ptr<Journal> mJournal;
    mutable std::mutex mMutex;
    std::vector<int> mStatuses;
};

// One set of stand-ins sharing a journal.
struct Fakes {
    std::shared_ptr<Journal> journal = std::make_shared<Journal>();
    std::shared_ptr<FakeDownloads> downloads = std::make_shared<FakeDownloads>();
    std::shared_ptr<FakeInstaller> installer = std::make_shared<FakeInstaller>(journal);
    std::shared_ptr<FakeReporter> reporter = std::make_shared<FakeReporter>(journal);
    std::shared_ptr<FakeWindow> window = std::make_shared<FakeWindow>();
    std::shared_ptr<FakeExit> exit = std::make_shared<FakeExit>(journal);

    [[nodiscard]] ContentView::Services services(
        std::shared_ptr<platform::MainQueue> mainQueue) const {
        return {downloads, installer, reporter, window, exit, std::move(mainQueue), {}};
    }
};

}  // namespace corvane::test
