#include "setup/content_view.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "platform/log.h"
#include "platform/paths.h"

namespace corvane {
namespace {

constexpr double kDrawerOpenHeight = WINDOW_HEIGHT;
constexpr double kDrawerClosedHeight = WINDOW_HEIGHT - 56;
constexpr double kTickStep = 0.03;
constexpr double kTickLimit = 1.25;
constexpr double kTrackLength = 360.0;
constexpr double kDownloadShareOfTrack = 0.8;
// Long enough for the last milestones to reach a server that answers, short enough that a
// server which never answers does not keep a finished setup on screen.
constexpr std::chrono::milliseconds kExitFlushBound{3000};

constexpr const char* kArmPackagePath = "/velodoc/corvanereader_arm64.dmg";
constexpr const char* kIntelPackagePath = "/velodoc/corvanereader_x86_64.dmg";

// The whole seconds of an estimate, or nothing when the estimate cannot be a time left: not a
// number, infinite (the first update may come after zero elapsed time), negative, or beyond
// what a 64-bit count of seconds holds.
std::optional<int64_t> wholeSeconds(double secondsLeft) {
    // 2^63 is exactly representable; every double below it converts without overflow.
    constexpr double kLimit = 9223372036854775808.0;
    if (!std::isfinite(secondsLeft) || secondsLeft < 0.0 || secondsLeft >= kLimit) {
        return std::nullopt;
    }
    return static_cast<int64_t>(secondsLeft);
}

// An install cut short may have left the old application in a backup; it goes back first, so
// that the answer counts it.
bool applicationAfterRecovery(InstallService& installer) {
    installer.recoverInterruptedInstalls();
    return installer.applicationExists();
}

}  // namespace

ContentView::ContentView(Services services)
    : mServices(std::move(services)),
      mIsOverwriteInstallation(applicationAfterRecovery(*mServices.installer)),
      mIsShowDragBtn(!mIsOverwriteInstallation),
      mIsExpanded(!mIsOverwriteInstallation) {
    if (!mServices.mainQueue) {
        mServices.mainQueue = platform::mainQueue();
    }
    g_installerStatus = mInstallerStatus;

    if (mIsOverwriteInstallation) {
        mServices.reporter->data().bCoverInstall = true;
    }

    // The probes run shells, and the settings file and the reporter's first use mean disk
    // work: on the main thread they held back the window's first frame. Until the worker has
    // ended, the reporter's record is the worker's (report() waits for it).
    mProbe = std::thread([shared = mShared, installer = mServices.installer,
                          reporter = mServices.reporter, queue = mServices.mainQueue,
                          gate = mServices.startupGate, this] {
        if (gate.valid()) {
            static_cast<void>(gate.wait_for(kStartupGateLimit));
        }
        const OS_TYPE arch = installer->checkOSArch();
        installer->ensureIniFileExisted();
        installer->getPackageInfo(reporter->data());
        reporter->probeMachine();
        shared->probedArch = arch;
        auto task = [this, shared, arch] {
            if (shared->alive) {
                onMachineProbed(arch);
            }
        };
        if (queue) {
            queue->post(std::move(task));
        } else {
            platform::postToMain(std::move(task));
        }
    });
}

ContentView::~ContentView() {
    mShared->alive = false;
    if (mProbe.joinable()) {
        mProbe.join();
    }
}

void ContentView::finishStartup() {
    if (mMachineProbed) {
        return;
    }
    if (mProbe.joinable()) {
        mProbe.join();
    }
    onMachineProbed(mShared->probedArch.load());
}

void ContentView::onMachineProbed(OS_TYPE arch) {
    // finishStartup() may have got here first; the task the probe posted then finds it done.
    if (mMachineProbed) {
        return;
    }
    mMachineProbed = true;
    setDownloadUrl(platform::packageServerBase() +
                   (arch == OS_TYPE::arm ? kArmPackagePath : kIntelPackagePath));
    report(ENUMInstallResult::Setup_started);
    if (mWaitingDownload) {
        DownloadCallbacks callbacks = std::move(*mWaitingDownload);
        mWaitingDownload.reset();
        mServices.downloader->startDownload(downloadUrl(), std::move(callbacks));
    }
    publish(true);
}

void ContentView::startDownloadWhenAddressKnown(DownloadCallbacks callbacks) {
    if (!mMachineProbed) {
        // "开始安装" came before the processor was known: an empty or a guessed address would
        // fetch nothing or the wrong package.
        platform::logLine("download waits for the package address");
        mWaitingDownload = std::move(callbacks);
        return;
    }
    mServices.downloader->startDownload(downloadUrl(), std::move(callbacks));
}

void ContentView::setWindow(std::shared_ptr<WindowService> window) {
    mServices.window = std::move(window);
}

// ---- Change notification ----

int ContentView::subscribe(Observer observer) {
    const int id = mNextObserverId++;
    mObservers.emplace_back(id, std::move(observer));
    return id;
}

void ContentView::unsubscribe(int id) {
    std::erase_if(mObservers, [id](const auto& entry) { return entry.first == id; });
}

template <typename T>
void ContentView::assign(T& field, T value) {
    if (field != value) {
        field = std::move(value);
        mChanged = true;
    }
}

void ContentView::publish(bool force) {
    if (!mChanged && !force) {
        return;
    }
    mChanged = false;
    // Observers may subscribe, unsubscribe or change state while being told; work on a copy
    // and skip those that left in the meantime.
    const auto observers = mObservers;
    for (const auto& [id, observer] : observers) {
        const bool stillSubscribed =
            std::any_of(mObservers.begin(), mObservers.end(),
                        [id = id](const auto& entry) { return entry.first == id; });
        if (stillSubscribed && observer) {
            observer();
        }
    }
}

// ---- State ----

std::optional<INSTALLER_STATUS> ContentView::installerStatusToChange() const {
    return mInstallerStatusToChange;
}

std::optional<std::string> ContentView::downloadDmgPath() const {
    return mDownloadDmgPath;
}

bool ContentView::isInstallRunning() const {
    return mShared->installRunning.load();
}

void ContentView::setIsConfirmProtocol(bool value) {
    assign(mIsConfirmProtocol, value);
    publish();
}

void ContentView::setIsExpanded(bool value) {
    assign(mIsExpanded, value);
    publish();
}

void ContentView::setIsSetDefault(bool value) {
    assign(mIsSetDefault, value);
    publish();
}

void ContentView::setIsUsingNow(bool value) {
    assign(mIsUsingNow, value);
    publish();
}

// ---- Steps ----

void ContentView::setInstallerStatus(INSTALLER_STATUS status) {
    assign(mInstallerStatus, status);
    if (status == INSTALLER_STATUS::Install_success) {
        installSuccess();
        return;
    }
    g_installerStatus = status;
}

void ContentView::report(ENUMInstallResult result) {
    // A press in the first moments: the start (and the record it fills) comes first.
    finishStartup();
    mServices.reporter->report(false, result, false, false, true);
}

void ContentView::armInstallButton() {
    mInstallButtonArmed = true;
}

void ContentView::installButtonPressed() {
    if (!mInstallButtonArmed) {
        return;
    }
    mInstallButtonArmed = false;

    if (!mIsConfirmProtocol) {
        // One prompt, one report: presses on what the open prompt leaves of the button change
        // nothing, so they rebuild nothing and report nothing.
        if (mIsShowAlert) {
            return;
        }
        report(ENUMInstallResult::Agreement_missing);
        assign(mIsShowAlert, true);
        publish();
        return;
    }
    if (mServices.installer->checkIfUsingNow()) {
        assign(mIsUsingNow, true);
        publish(true);
        return;
    }
    setInstallerStatus(INSTALLER_STATUS::Downloading);
    assign(mIsExpanded, false);
    resizeWindowTo(WINDOW_WIDTH, mIsExpanded ? kDrawerOpenHeight : kDrawerClosedHeight);
    fnDownload();
    publish(true);
}

void ContentView::fnDownload() {
    platform::logLine("fnDownload");
    // Callbacks of an earlier attempt that is somehow still running must not steer this one.
    const uint64_t attempt = ++mDownloadAttempt;
    mShared->currentAttempt = attempt;

    DownloadCallbacks callbacks;
    auto shared = mShared;
    // Arrives on the main thread, like the destructor, so `alive` can be trusted here.
    callbacks.onProgress = [this, shared, attempt](int64_t written, int64_t expected,
                                                   double secondsLeft) {
        if (shared->alive && attempt == mDownloadAttempt) {
            onProgress(written, expected, secondsLeft);
        }
    };
    // The two end callbacks run on the download's worker. They touch only `shared` and the
    // services they captured there; every state change goes to the main queue.
    callbacks.onDownloadSuccess = [this, shared, attempt, installer = mServices.installer,
                                   queue = mServices.mainQueue](const std::string& path) {
        platform::logLine("download file path " + path);
        // Claim the install before the main thread hears of the download, so that no tick in
        // between can take "no install running" for "the download ended without a file".
        bool expected = false;
        const bool claimed = shared->currentAttempt.load() == attempt &&
                             shared->installRunning.compare_exchange_strong(expected, true);
        auto toMain = [queue](std::function<void()> task) {
            if (queue) {
                queue->post(std::move(task));
            } else {
                platform::postToMain(std::move(task));
            }
        };
        toMain([this, shared, attempt, path] {
            if (shared->alive && attempt == mDownloadAttempt) {
                onDownloadSucceeded(path);
            }
        });
        if (!claimed) {
            platform::logLine("install already running, downloaded package not installed");
            return;
        }
        const bool succeeded = installer->installPackage(path);
        toMain([this, shared, succeeded] {
            if (shared->alive) {
                onInstallFinished(succeeded);
            } else {
                shared->installRunning = false;
            }
        });
    };
    callbacks.onDownloadFailed = [this, shared, attempt, queue = mServices.mainQueue] {
        auto task = [this, shared, attempt] {
            if (shared->alive && attempt == mDownloadAttempt) {
                setInstallerStatus(INSTALLER_STATUS::Download_failed);
                publish();
            }
        };
        if (queue) {
            queue->post(std::move(task));
        } else {
            platform::postToMain(std::move(task));
        }
    };
    startDownloadWhenAddressKnown(std::move(callbacks));
}

void ContentView::onProgress(int64_t written, int64_t expected, double secondsLeft) {
    // A progress report that arrives after the download ended (posted before its end) would
    // pull the bar back from the install phase.
    if (mInstallerStatus != INSTALLER_STATUS::Downloading) {
        return;
    }
    if (mTotalDownloaded < written) {
        assign(mTotalDownloaded, written);
    }
    if (mTotalExpectedDownload < expected) {
        assign(mTotalExpectedDownload, expected);
    }
    if (const auto seconds = wholeSeconds(secondsLeft)) {
        if (mRemainTime == 0 || *seconds < mRemainTime) {
            assign(mRemainTime, *seconds);
        }
    }
    // Below one whole megabyte the size is 0 and the quotient undefined; the download's share
    // of the bar never exceeds 1.0, the rest belongs to the install phase.
    if (mTotalExpectedDownload > 0) {
        const double fraction =
            static_cast<double>(mTotalDownloaded) / static_cast<double>(mTotalExpectedDownload);
        assign(mProgress, std::clamp(fraction, 0.0, 1.0));
    }
    publish();
}

void ContentView::onDownloadSucceeded(const std::string& path) {
    assign(mDownloadDmgPath, std::optional<std::string>(path));
    // The whole file is there even when the megabyte counts never showed a full bar (a package
    // under one megabyte, or no size announced); without this the install line and its tick
    // would never start.
    if (mProgress < 1.0) {
        assign(mProgress, 1.0);
    }
    setInstallerStatus(INSTALLER_STATUS::Installing);
    publish();
}

void ContentView::onInstallFinished(bool succeeded) {
    assign(mInstallerStatusToChange,
           std::optional<INSTALLER_STATUS>(succeeded ? INSTALLER_STATUS::Install_success
                                                     : INSTALLER_STATUS::Install_failed));
    mShared->installRunning = false;
    if (runPendingQuit()) {
        return;
    }
    // The bar already waited for this install: show its result now rather than at the next tick.
    if (installWaitIsOver()) {
        applyInstallResult();
    }
    publish();
}

void ContentView::install(const std::string& dmgPath) {
    bool expected = false;
    if (!mShared->installRunning.compare_exchange_strong(expected, true)) {
        platform::logLine("install already running, request ignored");
        return;
    }
    const bool succeeded = mServices.installer->installPackage(dmgPath);
    assign(mInstallerStatusToChange,
           std::optional<INSTALLER_STATUS>(succeeded ? INSTALLER_STATUS::Install_success
                                                     : INSTALLER_STATUS::Install_failed));
    mShared->installRunning = false;
    if (runPendingQuit()) {
        return;
    }
    publish();
}

void ContentView::quitWhenNoInstallRuns(std::function<void()> quit) {
    mPendingQuit = std::move(quit);
    if (!runPendingQuit()) {
        platform::logLine("quit waits for the install to finish");
    }
}

bool ContentView::runPendingQuit() {
    if (!mPendingQuit || mShared->installRunning.load()) {
        return false;
    }
    // The run ends here: no tick may apply the stored result or start anything afterwards.
    mRunEnding = true;
    auto quit = std::exchange(mPendingQuit, {});
    publish(true);
    quit();
    return true;
}

bool ContentView::isProgressTickActive() const {
    const bool progressScreen = mInstallerStatus == INSTALLER_STATUS::Downloading ||
                                mInstallerStatus == INSTALLER_STATUS::Installing ||
                                mInstallerStatus == INSTALLER_STATUS::Install_success;
    return progressScreen && mProgress >= 1.0;
}

bool ContentView::installWaitIsOver() const {
    return (mInstallerStatus == INSTALLER_STATUS::Downloading ||
            mInstallerStatus == INSTALLER_STATUS::Installing) &&
           mProgress > kTickLimit;
}

void ContentView::applyInstallResult() {
    setInstallerStatus(mInstallerStatusToChange.value_or(INSTALLER_STATUS::Install_failed));
}

void ContentView::progressTick() {
    if (!isProgressTickActive() || mRunEnding) {
        return;
    }
    if (mProgress <= kTickLimit) {
        assign(mProgress, mProgress + kTickStep);
    } else if (!mShared->installRunning.load()) {
        // While an install still runs the install line stays; its end applies the result.
        applyInstallResult();
    }
    publish();
}

void ContentView::restartDownload() {
    platform::logLine("restartDownload");
    assign(mTotalDownloaded, int64_t{0});
    assign(mTotalExpectedDownload, int64_t{0});
    assign(mRemainTime, int64_t{0});
    assign(mProgress, 0.0);
    setInstallerStatus(INSTALLER_STATUS::Downloading);
    fnDownload();
    publish();
}

void ContentView::reinstall() {
    if (mShared->installRunning.load()) {
        platform::logLine("install already running, request ignored");
        return;
    }
    if (!mDownloadDmgPath || !mServices.installer->packageExists(*mDownloadDmgPath)) {
        // Nothing to install again, or only what a server must serve anew: fetch it again.
        platform::logLine("reinstall: no downloaded image, downloading it again");
        restartDownload();
        return;
    }
    assign(mProgress, 1.0);
    setInstallerStatus(INSTALLER_STATUS::Installing);
    publish();
    install(*mDownloadDmgPath);
}

void ContentView::installSuccess() {
    if (mRunEnding) {
        return;
    }
    mRunEnding = true;
    InstallService& installer = *mServices.installer;
    if (!mIsOverwriteInstallation) {
        installer.setDefault(mIsSetDefault ? "1" : "0");
        if (mIsPermitInstallService) {
            installer.installService();
        }
        installer.shutDownServices();
    }
    installer.recordPackageDetail(mServices.reporter->data(), mIsOverwriteInstallation);
    report(ENUMInstallResult::Install_succeeded);
    if (mIsPermitInstallService) {
        installer.resumeServices();
    }
    (void)installer.startUse();
    report(ENUMInstallResult::Product_opened);
    mServices.reporter->flush(kExitFlushBound);
    mServices.exit->exitProcess(0);
}

// ---- Prompt handlers ----

void ContentView::agreeButtonPressed() {
    assign(mIsShowAlert, false);
    assign(mIsConfirmProtocol, true);
    report(ENUMInstallResult::Agreement_accepted);
    publish();
}

void ContentView::cancelButtonPressed() {
    assign(mIsShowAlert, false);
    report(ENUMInstallResult::Agreement_cancelled);
    publish();
}

void ContentView::closeButtonPressed() {
    assign(mIsShowAlert, false);
    report(ENUMInstallResult::Agreement_closed);
    publish();
}

// ---- Window ----

void ContentView::drawerResize() {
    resizeWindowTo(WINDOW_WIDTH, mIsExpanded ? kDrawerOpenHeight : kDrawerClosedHeight);
}

void ContentView::resizeWindowTo(double width, double height) {
    if (mServices.window) {
        mServices.window->resizeWindowTo(width, height);
    }
}

// ---- Derived texts ----

std::string ContentView::percentageText() const {
    return std::to_string(static_cast<int64_t>(mProgress * 100.0)) + "%";
}

std::string ContentView::downloadedText() const {
    return std::to_string(mTotalDownloaded) + "MB";
}

std::string ContentView::packageSizeText() const {
    return " / " + std::to_string(mTotalExpectedDownload) + "MB ";
}

std::string ContentView::timeLeftText() const {
    if (mRemainTime < 60) {
        return "下载剩余" + std::to_string(mRemainTime) + "秒";
    }
    return "下载剩余" + std::to_string(mRemainTime / 60) + "分" + std::to_string(mRemainTime % 60) +
           "秒";
}

double ContentView::progressBarLength() const {
    return mProgress * kDownloadShareOfTrack * kTrackLength;
}

}  // namespace corvane
