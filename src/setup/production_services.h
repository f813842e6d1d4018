#pragma once
// The real parts behind the controller's service interfaces: the HTTPS downloader, the installer
// with its process checks and install record, the install reporter and the end of the process.
// ContentView::productionServices() puts them together; tests may take single adapters (for
// example a reporter of their own) and keep stand-ins for the rest.
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "setup/reporter.h"
#include "setup/services.h"

namespace corvane {

class Downloader;

// One new Downloader per attempt. The attempt keeps itself alive until it has ended, so nothing
// here holds it. Progress arrives on the process's main queue (platform::setMainQueue), the end
// on the download's worker thread.
class DownloaderService final : public DownloadService {
  public:
    void startDownload(const std::string& url, DownloadCallbacks callbacks) override;
    void discardPartialDownload() override;

  private:
    std::mutex mMutex;
    std::weak_ptr<Downloader> mCurrent;  // the latest attempt, while it runs
};

// Installer's static operations and one Installer per install attempt.
class InstallerService final : public InstallService {
  public:
    void recoverInterruptedInstalls() override;
    // True when anything at all is at "/Applications/Corvane.app" (a file, a folder, a link even
    // when it leads nowhere): it would be replaced by the install.
    [[nodiscard]] bool applicationExists() override;
    [[nodiscard]] OS_TYPE checkOSArch() override;
    [[nodiscard]] bool checkIfUsingNow() override;
    [[nodiscard]] bool installPackage(const std::string& dmgPath) override;
    [[nodiscard]] bool packageExists(const std::string& dmgPath) override;
    void shutDownServices() override;
    void resumeServices() override;
    bool startUse() override;
    void ensureIniFileExisted() override;
    void getPackageInfo(ReportBlock& toRecord) override;
    void setDefault(const std::string& isDefault) override;
    void installService() override;
    void recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite) override;
};

// A Reporter: the process's own (Reporter::getInstance(), made on first use) unless another is
// given. A given reporter must outlive this service.
class ReporterService final : public ReportService {
  public:
    ReporterService() = default;
    explicit ReporterService(Reporter& reporter) : mReporter(&reporter) {}

    [[nodiscard]] ReportBlock& data() override;
    void report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                bool force) override;
    // The reporter's bounded flush; what was not answered by then is given up.
    void flush(std::chrono::milliseconds bound) override;
    // The OS version probe (MacOSVersion::ensureProbed()), safe from any thread.
    void probeMachine() override;

  private:
    Reporter& reporter();
    Reporter* mReporter = nullptr;
};

// Ends the process. By default with std::exit(status) after flushing the standard streams:
// static objects are destroyed, and the controller has already flushed the telemetry. A shell
// that must leave through its own event loop passes a handler instead (for example one that
// asks the application to quit with `status`); the controller then does nothing more after the
// call returns.
class ProcessExitService final : public ExitService {
  public:
    ProcessExitService() = default;
    explicit ProcessExitService(std::function<void(int status)> handler)
        : mHandler(std::move(handler)) {}

    void exitProcess(int status) override;

  private:
    std::function<void(int status)> mHandler;
};

}  // namespace corvane
