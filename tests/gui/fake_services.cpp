#include "fake_services.h"

#include <utility>

#include "platform/main_queue.h"

namespace corvane::gui_test {

void FakeDownloader::startDownload(const std::string& url, DownloadCallbacks callbacks) {
    std::lock_guard lock(mMutex);
    mUrls.push_back(url);
    mCallbacks = std::move(callbacks);
}

int FakeDownloader::started() const {
    std::lock_guard lock(mMutex);
    return static_cast<int>(mUrls.size());
}

std::string FakeDownloader::lastUrl() const {
    std::lock_guard lock(mMutex);
    return mUrls.empty() ? std::string() : mUrls.back();
}

void FakeDownloader::progress(int64_t writtenMiB, int64_t expectedMiB, double secondsLeft) {
    std::function<void(int64_t, int64_t, double)> onProgress;
    {
        std::lock_guard lock(mMutex);
        onProgress = mCallbacks.onProgress;
    }
    if (onProgress) {
        onProgress(writtenMiB, expectedMiB, secondsLeft);
    }
}

void FakeDownloader::succeed(const std::string& path) {
    join();
    std::function<void(const std::string&)> onSuccess;
    {
        std::lock_guard lock(mMutex);
        onSuccess = mCallbacks.onDownloadSuccess;
    }
    mWorker = std::thread([onSuccess, path] {
        if (onSuccess) {
            onSuccess(path);
        }
    });
}

void FakeDownloader::fail() {
    join();
    std::function<void()> onFailed;
    {
        std::lock_guard lock(mMutex);
        onFailed = mCallbacks.onDownloadFailed;
    }
    mWorker = std::thread([onFailed] {
        if (onFailed) {
            onFailed();
        }
    });
}

void FakeDownloader::join() {
    if (mWorker.joinable()) {
        mWorker.join();
    }
}

void FakeInstaller::holdInstalls() {
    std::lock_guard lock(mMutex);
    mHeld = true;
}

void FakeInstaller::releaseInstalls() {
    {
        std::lock_guard lock(mMutex);
        mHeld = false;
    }
    mReleased.notify_all();
}

std::vector<std::string> FakeInstaller::installedPaths() const {
    std::lock_guard lock(mMutex);
    return mPaths;
}

bool FakeInstaller::installPackage(const std::string& dmgPath) {
    std::unique_lock lock(mMutex);
    mPaths.push_back(dmgPath);
    mReleased.wait(lock, [this] { return !mHeld; });
    ++mInstalls;
    return installResult.load();
}

void FakeReporter::report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                          bool force) {
    mReports.push_back({bSuccess, result, bSilent, bCover, force});
}

std::vector<ENUMInstallResult> FakeReporter::results() const {
    std::vector<ENUMInstallResult> out;
    for (const auto& r : mReports) {
        out.push_back(r.result);
    }
    return out;
}

Fakes::Fakes(bool applicationExists)
    : installer(std::make_shared<FakeInstaller>(applicationExists)) {}

ContentView::Services Fakes::services() const {
    ContentView::Services s;
    s.downloader = downloader;
    s.installer = installer;
    s.reporter = reporter;
    s.exit = exit;
    s.mainQueue = platform::mainQueue();
    return s;
}

}  // namespace corvane::gui_test
