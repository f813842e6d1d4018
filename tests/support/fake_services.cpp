#include "support/fake_services.h"

#include <algorithm>

namespace corvane::test {

void Journal::add(std::string entry) {
    std::lock_guard lock(mMutex);
    mEntries.push_back(std::move(entry));
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

std::pair<std::string, DownloadCallbacks> FakeDownloads::at(size_t attempt) const {
    std::lock_guard lock(mMutex);
    return mAttempts.at(attempt == kLatest ? mAttempts.size() - 1 : attempt);
}

void FakeDownloads::succeed(std::string path, size_t attempt) {
    spawn([cb = at(attempt).second.onDownloadSuccess, path = std::move(path)] { cb(path); });
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

OS_TYPE FakeInstaller::checkOSArch() {
    std::unique_lock lock(mMutex);
    mCv.wait(lock, [this] { return !mProbeHeld; });
    mJournal->add("checkOSArch");
    return arch;
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

std::vector<int> FakeReporter::reasons() const {
    std::vector<int> out;
    for (const auto& call : calls()) {
        out.push_back(rawValue(call.result));
    }
    return out;
}

void FakeReporter::clear() {
    std::lock_guard lock(mMutex);
    mCalls.clear();
    mFlushes = 0;
}

}  // namespace corvane::test
