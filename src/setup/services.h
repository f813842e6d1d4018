#pragma once
// The small interfaces the setup controller is built against. Production wiring uses the real
// downloader, installer, reporter and window; tests pass their own at the seams they control.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "setup/install_result.h"
#include "setup/installer.h"
#include "setup/report_block.h"

namespace corvane {

// The three callbacks of one download. onProgress arrives on the main thread, the other two on
// the download's own worker thread; at most one of those two is called.
struct DownloadCallbacks {
    std::function<void(int64_t writtenMiB, int64_t expectedMiB, double secondsLeft)> onProgress;
    std::function<void(const std::string& path)> onDownloadSuccess;
    std::function<void()> onDownloadFailed;
};

class DownloadService {
  public:
    virtual ~DownloadService() = default;
    // Starts one download attempt; the attempt keeps itself alive until it ends.
    virtual void startDownload(const std::string& url, DownloadCallbacks callbacks) = 0;
    // For a quit: stops a running attempt (neither of its end callbacks is called afterwards)
    // and removes the partial download kept in the temporary folder, with its resume record.
    // Returns without waiting for the attempt's thread to end.
    virtual void discardPartialDownload() = 0;
};

// What the controller needs of the installer and the install record.
class InstallService {
  public:
    virtual ~InstallService() = default;
    // Undoes what interrupted earlier setups left behind (Installer::recoverInterruptedInstalls);
    // called once at start-up, before applicationExists(), so a restored app counts as installed.
    virtual void recoverInterruptedInstalls() = 0;
    // Whether anything exists at "/Applications/Corvane.app".
    [[nodiscard]] virtual bool applicationExists() = 0;
    [[nodiscard]] virtual OS_TYPE checkOSArch() = 0;
    [[nodiscard]] virtual bool checkIfUsingNow() = 0;
    // Installer(dmgPath:).installPackage()
    [[nodiscard]] virtual bool installPackage(const std::string& dmgPath) = 0;
    // Whether the downloaded image is still at `dmgPath` (an install removes one it refused).
    [[nodiscard]] virtual bool packageExists(const std::string& dmgPath) = 0;
    virtual void shutDownServices() = 0;
    virtual void resumeServices() = 0;
    virtual bool startUse() = 0;
    virtual void ensureIniFileExisted() = 0;
    virtual void getPackageInfo(ReportBlock& toRecord) = 0;
    virtual void setDefault(const std::string& isDefault) = 0;
    virtual void installService() = 0;
    virtual void recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite) = 0;
};

// What the controller and the shell need of the install reporter.
class ReportService {
  public:
    virtual ~ReportService() = default;
    [[nodiscard]] virtual ReportBlock& data() = 0;
    virtual void report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                        bool force) = 0;
    // Waits on the main thread until every report in flight has been answered, at most `bound`.
    virtual void flush(std::chrono::milliseconds bound) = 0;
    // Asks the machine what every report carries (the OS version) ahead of the first report.
    // May block for a process run; called from a worker thread, once.
    virtual void probeMachine() {}
};

// The window the controller resizes.
class WindowService {
  public:
    virtual ~WindowService() = default;
    // Sets the content size of the application's first window; nothing when there is none.
    virtual void resizeWindowTo(double width, double height) = 0;
};

// How the process ends.
class ExitService {
  public:
    virtual ~ExitService() = default;
    virtual void exitProcess(int status) = 0;
};

}  // namespace corvane
