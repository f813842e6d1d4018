#include "support/fake_services.h"

#include <algorithm>

namespace corvane::test {

void Journal::add(std::string entry) {
    std::lock_guard lock(mMutex);
    mEntries.push_back(std::move(entry));
}

std::vector<std::string> Journal::entries() const {
    std::lock_guard lock(mMutex);
    return mEntries;
}

size_t Journal::count(const std::string& entry) const {
    std::lock_guard lock(mMutex);
    return static_cast<size_t>(std::count(mEntries.begin(), mEntries.end(), entry));
}

void Journal::clear() {
    std::lock_guard lock(mMutex);
    mEntries.clear();
}

void FakeDownloads::startDownload(const std::string& url, DownloadCallbacks callbacks) {
    std::lock_guard lock(mMutex);
    mAttempts.emplace_back(url, std::move(callbacks));
}

size_t FakeDownloads::attempts() const {
    std::lock_guard lock(mMutex);
    return mAttempts.size();
}

std::string FakeDownloads::url(size_t attempt) const {
    std::lock_guard lock(mMutex);
    return mAttempts.at(attempt == kLatest ? mAttempts.size() - 1 : attempt).first;
}

DownloadCallbacks FakeDownloads::callbacks(size_t attempt) const {
    std::lock_guard lock(mMutex);
    return mAttempts.at(attempt == kLatest ? mAttempts.size() - 1 : attempt).second;
}

void FakeDownloads::progress(int64_t writtenMiB, int64_t expectedMiB, double secondsLeft,
                             size_t attempt) {
    callbacks(attempt).onProgress(writtenMiB, expectedMiB, secondsLeft);
}

void FakeDownloads::succeed(std::string path, size_t attempt) {
    spawn([cb = callbacks(attempt).onDownloadSuccess, path = std::move(path)] { cb(path); });
}

void FakeDownloads::fail(size_t attempt) {
    spawn(callbacks(attempt).onDownloadFailed);
}

void FakeDownloads::spawn(std::function<void()> work) {
    std::lock_guard lock(mMutex);
    mWorkers.emplace_back(std::move(work));
}

void FakeDownloads::join() {
    std::vector<std::thread> workers;
    {
        std::lock_guard lock(mMutex);
        workers.swap(mWorkers);
    }
    for (auto& worker : workers) {
        worker.join();
    }
}

void FakeInstaller::set(bool& flag, bool value) {
    {
        std::lock_guard lock(mMutex);
        flag = value;
    }
    mCv.notify_all();
}

int FakeInstaller::installs() const {
    std::lock_guard lock(mMutex);
    return static_cast<int>(mPaths.size());
}

int FakeInstaller::mostAtOnce() const {
    std::lock_guard lock(mMutex);
    return mMostAtOnce;
}

std::vector<std::string> FakeInstaller::installedPaths() const {
    std::lock_guard lock(mMutex);
    return mPaths;
}

std::vector<std::thread::id> FakeInstaller::installThreads() const {
    std::lock_guard lock(mMutex);
    return mThreads;
}

bool FakeInstaller::applicationExists() {
    mJournal->add("applicationExists");
    return appExists;
}

OS_TYPE FakeInstaller::checkOSArch() {
    std::unique_lock lock(mMutex);
    mCv.wait(lock, [this] { return !mProbeHeld; });
    mJournal->add("checkOSArch");
    return arch;
}

bool FakeInstaller::checkIfUsingNow() {
    mJournal->add("checkIfUsingNow");
    return usingNow;
}

bool FakeInstaller::installPackage(const std::string& dmgPath) {
    std::unique_lock lock(mMutex);
    mPaths.push_back(dmgPath);
    mThreads.push_back(std::this_thread::get_id());
    mMostAtOnce = std::max(mMostAtOnce, ++mRunning);
    mCv.wait(lock, [this] { return !mHeld; });
    --mRunning;
    return result;
}

bool FakeInstaller::startUse() {
    mJournal->add("startUse");
    return true;
}

void FakeInstaller::getPackageInfo(ReportBlock& toRecord) {
    mJournal->add("getPackageInfo");
    toRecord.version = "1.0.0.1";
}

void FakeInstaller::setDefault(const std::string& isDefault) {
    mJournal->add("setDefault " + isDefault);
}

void FakeInstaller::recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite) {
    mJournal->add("recordPackageDetail " + toRecord.version +
                  (isOverwrite ? " overwrite" : " fresh"));
}

void FakeReporter::report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                          bool force) {
    mJournal->add("report " + std::to_string(rawValue(result)));
    std::lock_guard lock(mMutex);
    mCalls.push_back({bSuccess, result, bSilent, bCover, force, std::this_thread::get_id()});
}

void FakeReporter::flush(std::chrono::milliseconds bound) {
    mJournal->add("flush " + std::to_string(bound.count()));
    std::lock_guard lock(mMutex);
    ++mFlushes;
}

std::vector<FakeReporter::Call> FakeReporter::calls() const {
    std::lock_guard lock(mMutex);
    return mCalls;
}

std::vector<int> FakeReporter::reasons() const {
    std::vector<int> out;
    for (const auto& call : calls()) {
        out.push_back(rawValue(call.result));
    }
    return out;
}

int FakeReporter::flushes() const {
    std::lock_guard lock(mMutex);
    return mFlushes;
}

void FakeReporter::clear() {
    std::lock_guard lock(mMutex);
    mCalls.clear();
    mFlushes = 0;
}

void FakeWindow::resizeWindowTo(double width, double height) {
    std::lock_guard lock(mMutex);
    mSizes.emplace_back(width, height);
}

FakeWindow::Sizes FakeWindow::sizes() const {
    std::lock_guard lock(mMutex);
    return mSizes;
}

void FakeExit::exitProcess(int status) {
    mJournal->add("exit " + std::to_string(status));
    std::lock_guard lock(mMutex);
    mStatuses.push_back(status);
}

std::vector<int> FakeExit::statuses() const {
    std::lock_guard lock(mMutex);
    return mStatuses;
}

}  // namespace corvane::test
