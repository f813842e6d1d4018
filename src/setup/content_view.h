#pragma once
// The controller of one setup run: every state field, step and transition, without any UI
// toolkit. Screens read its state and subscribe to its change notification.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/main_queue.h"
#include "setup/globals.h"
#include "setup/services.h"

namespace corvane {

struct Rgba {
    double red, green, blue, alpha;
};

class ContentView {
  public:
    struct Services {
        std::shared_ptr<DownloadService> downloader;
        std::shared_ptr<InstallService> installer;
        std::shared_ptr<ReportService> reporter;
        std::shared_ptr<WindowService> window;
        std::shared_ptr<ExitService> exit;
        std::shared_ptr<platform::MainQueue> mainQueue;  // the thread screens live on
        // When set, the start-up worker waits for it (at most kStartupGateLimit) before its
        // probes: the shell makes it ready once the window's first frame is drawn, so the
        // probes' shells do not compete with that frame for the processor and the memory map.
        std::shared_future<void> startupGate;
    };
    static constexpr std::chrono::milliseconds kStartupGateLimit{1000};
    // Production wiring: the real downloader, installer, reporter and process exit (std::exit;
    // a shell that must leave through its own loop replaces `exit`, see ProcessExitService),
    // and the main queue registered with platform::setMainQueue() at the time of the call. No
    // window until the shell sets one with setWindow().
    [[nodiscard]] static Services productionServices();

    // Must run on the main thread, which from then on owns every piece of state. `mainQueue`
    // must run tasks on that thread; when it is empty the registered main queue is taken.
    // Undoes what interrupted installs left behind (before the installed app is looked for, so a
    // restored app counts as installed), then returns without waiting for the start-up work,
    // which runs on a worker so that the window can be drawn meanwhile: the processor probe, the
    // settings file and the reporter's record (ensureIniFileExisted(), getPackageInfo()) and the
    // OS version probe. The reporter's record belongs to that worker until it has ended. Then, on
    // the main thread: the package address is chosen, Setup_started is reported and a download
    // asked for in the meantime starts (see machineProbed()). A report due before that waits for
    // the worker (finishStartup()).
    explicit ContentView(Services services);
    // Waits for the machine probes when they still run (their results are dropped). Work still
    // under way on a download's worker finds the controller gone and drops its results; it is
    // not waited for.
    ~ContentView();
    ContentView(const ContentView&) = delete;
    ContentView& operator=(const ContentView&) = delete;

    void setWindow(std::shared_ptr<WindowService> window);

    // ---- Change notification: called on the main thread after every change of state, once
    // per operation (changes made on the download's worker arrive through the main queue).
    // Observers may read state, call operations, subscribe and unsubscribe. ----
    using Observer = std::function<void()>;
    // Returns an id for unsubscribe().
    int subscribe(Observer observer);
    void unsubscribe(int id);

    // ---- State (read on the main thread) ----
    [[nodiscard]] bool isOverwriteInstallation() const { return mIsOverwriteInstallation; }
    [[nodiscard]] bool isShowDragBtn() const { return mIsShowDragBtn; }
    [[nodiscard]] bool isExpanded() const { return mIsExpanded; }
    [[nodiscard]] INSTALLER_STATUS installerStatus() const { return mInstallerStatus; }
    [[nodiscard]] std::optional<INSTALLER_STATUS> installerStatusToChange() const;
    [[nodiscard]] bool isShowAlert() const { return mIsShowAlert; }
    [[nodiscard]] bool isUsingNow() const { return mIsUsingNow; }
    [[nodiscard]] int64_t totalDownloaded() const { return mTotalDownloaded; }
    [[nodiscard]] int64_t totalExpectedDownload() const { return mTotalExpectedDownload; }
    [[nodiscard]] double progress() const { return mProgress; }
    [[nodiscard]] int64_t remainTime() const { return mRemainTime; }
    [[nodiscard]] std::optional<std::string> downloadDmgPath() const;
    [[nodiscard]] bool isConfirmProtocol() const { return mIsConfirmProtocol; }
    [[nodiscard]] bool isSetDefault() const { return mIsSetDefault; }
    [[nodiscard]] bool isPermitInstallService() const { return mIsPermitInstallService; }
    [[nodiscard]] bool isAssotiateEBook() const { return mIsAssotiateEBook; }
    [[nodiscard]] bool isAssotiateDocument() const { return mIsAssotiateDocument; }
    [[nodiscard]] Rgba textColor() const { return {0.4, 0.4, 0.4, 1.0}; }
    // True while an install runs (on the download's worker or in reinstall()).
    [[nodiscard]] bool isInstallRunning() const;
    // True once the start-up work has ended: the package address is known and Setup_started
    // has been reported.
    [[nodiscard]] bool machineProbed() const { return mMachineProbed; }
    // True while a quit waits for the running install (quitWhenNoInstallRuns()).
    [[nodiscard]] bool isQuitPending() const { return static_cast<bool>(mPendingQuit); }

    // ---- Plain writes through the controls bound to them ----
    void setIsConfirmProtocol(bool value);
    void setIsExpanded(bool value);
    void setIsSetDefault(bool value);
    void setIsUsingNow(bool value);

    // ---- Operations (main thread) ----
    // The install button handler. Acts once per arming; repeated calls (a held press that
    // moves) are ignored until armInstallButton() is called again.
    void installButtonPressed();
    // Called each time the introduction screen is built.
    void armInstallButton();
    // Starts one download attempt. Only the latest attempt's callbacks change the state.
    void fnDownload();
    // Installs `dmgPath` on the calling thread and stores the result for the tick. Does nothing
    // (with a log line) while another install runs.
    void install(const std::string& dmgPath);
    // The one-second tick: advances the bar from 1.0 by 0.03 up to about 1.27, then applies the
    // install result (Install_failed when there is none). While an install still runs the bar
    // waits, and the result is applied as soon as that install ends.
    void progressTick();
    // True while the install line shows: the screens run their tick timer exactly then.
    [[nodiscard]] bool isProgressTickActive() const;
    // "重试": clears the counters and downloads again.
    void restartDownload();
    // "重新安装": installs the downloaded image again, blocking the main thread. Without a
    // downloaded image (none was delivered, or the install refused its signature and removed
    // it) it downloads the image again, as restartDownload() does; while an install runs it
    // does nothing.
    void reinstall();
    void agreeButtonPressed();
    void cancelButtonPressed();
    void closeButtonPressed();
    void drawerResize();  // each time the options drawer is shown or hidden
    void resizeWindowTo(double width, double height);

    // ---- Ending the run from the shell (main thread) ----
    // Completes the start now when the machine probes are still running: waits for them on
    // this thread and then does what their end does (address, Setup_started, a waiting
    // download). For a quit that comes that early, so that its report follows the start's.
    void finishStartup();
    // Runs `quit` once no install runs: at once when none does, else on the main thread as soon
    // as the running install has ended (bounded by the install's own time limits). The install
    // is never cut short. While the quit waits the install's result is stored but not applied:
    // the run ends with `quit`, not with the final steps of a successful install. A second call
    // while one waits replaces the waiting one.
    void quitWhenNoInstallRuns(std::function<void()> quit);

    // ---- Derived texts ----
    [[nodiscard]] std::string percentageText() const;   // "%d%%"
    [[nodiscard]] std::string downloadedText() const;   // "%dMB"
    [[nodiscard]] std::string packageSizeText() const;  // " / %dMB "
    [[nodiscard]] std::string timeLeftText() const;  // "下载剩余%d秒" / "下载剩余%d分%d秒"
    [[nodiscard]] double progressBarLength() const;  // progress × 0.8 × 360

  private:
    // State that the download's worker thread touches, or that work posted from it needs after
    // this controller may be gone. Shared with that work; everything else is main-thread only.
    struct Shared {
        // Cleared by the destructor (main thread); posted work checks it before touching `this`.
        bool alive = true;
        // Claimed by whoever runs Installer::installPackage(); at most one install at a time.
        std::atomic<bool> installRunning{false};
        // The download attempt whose callbacks may still change the state.
        std::atomic<uint64_t> currentAttempt{0};
        // The processor the probe found, written by the probe's worker before it ends.
        std::atomic<OS_TYPE> probedArch{OS_TYPE::undetermined};
    };

    void setInstallerStatus(INSTALLER_STATUS status);
    void installSuccess();
    void applyInstallResult();
    void onProgress(int64_t written, int64_t expected, double secondsLeft);
    void onDownloadSucceeded(const std::string& path);
    void onInstallFinished(bool succeeded);
    void onMachineProbed(OS_TYPE arch);
    void startDownloadWhenAddressKnown(DownloadCallbacks callbacks);
    // Runs a waiting quit once no install runs; true when it ran.
    bool runPendingQuit();
    [[nodiscard]] bool installWaitIsOver() const;
    void report(ENUMInstallResult result);
    template <typename T>
    void assign(T& field, T value);
    // Calls the observers when something changed since the last call (or when `force`).
    void publish(bool force = false);

    Services mServices;
    std::shared_ptr<Shared> mShared = std::make_shared<Shared>();
    const bool mIsOverwriteInstallation;
    bool mIsShowDragBtn;
    bool mIsExpanded;
    INSTALLER_STATUS mInstallerStatus = INSTALLER_STATUS::Prepare_to_download;
    std::optional<INSTALLER_STATUS> mInstallerStatusToChange;
    bool mIsShowAlert = false;
    bool mIsUsingNow = false;
    int64_t mTotalDownloaded = 0;
    int64_t mTotalExpectedDownload = 0;
    double mProgress = 0.0;
    int64_t mRemainTime = 0;
    std::optional<std::string> mDownloadDmgPath;
    bool mIsConfirmProtocol = false;
    bool mIsSetDefault = true;
    bool mIsPermitInstallService = true;
    bool mIsAssotiateEBook = true;
    bool mIsAssotiateDocument = true;
    bool mInstallButtonArmed = true;
    // Set once installSuccess() has begun: the run is ending, nothing may start again.
    bool mRunEnding = false;
    uint64_t mDownloadAttempt = 0;
    bool mMachineProbed = false;
    // A download asked for before the package address was known; started once it is.
    std::optional<DownloadCallbacks> mWaitingDownload;
    std::function<void()> mPendingQuit;
    std::thread mProbe;  // the machine probes; joined at the latest by the destructor

    std::vector<std::pair<int, Observer>> mObservers;
    int mNextObserverId = 1;
    bool mChanged = false;
};

}  // namespace corvane
