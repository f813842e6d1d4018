#include "setup/production_services.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <utility>

#include "platform/main_queue.h"
#include "platform/network_libraries.h"
#include "platform/paths.h"
#include "setup/content_view.h"
#include "setup/downloader.h"
#include "setup/installer.h"
#include "setup/os_version.h"

namespace corvane {

// ---- Download ----

void DownloaderService::startDownload(const std::string& url, DownloadCallbacks callbacks) {
    auto downloader = std::make_shared<Downloader>();
    downloader->onProgress = std::move(callbacks.onProgress);
    downloader->onDownloadSuccess = std::move(callbacks.onDownloadSuccess);
    downloader->onDownloadFailed = std::move(callbacks.onDownloadFailed);
    {
        std::lock_guard lock(mMutex);
        mCurrent = downloader;
    }
    downloader->startDownload(url);
}

void DownloaderService::discardPartialDownload() {
    std::shared_ptr<Downloader> current;
    {
        std::lock_guard lock(mMutex);
        current = mCurrent.lock();
    }
    if (current) {
        current->cancel();
    }
    // The partial file of an attempt that has already ended.
    Downloader::discardPartialFiles();
}

// ---- Installer ----

void InstallerService::recoverInterruptedInstalls() {
    Installer::recoverInterruptedInstalls();
}

bool InstallerService::applicationExists() {
    std::error_code ec;
    const auto status =
        std::filesystem::symlink_status(platform::macPath("/Applications/Corvane.app"), ec);
    return !ec && std::filesystem::exists(status);
}

OS_TYPE InstallerService::checkOSArch() {
    return Installer::checkOSArch();
}

bool InstallerService::checkIfUsingNow() {
    return Installer::checkIfUsingNow();
}

bool InstallerService::installPackage(const std::string& dmgPath) {
    Installer installer(dmgPath);
    return installer.installPackage();
}

bool InstallerService::packageExists(const std::string& dmgPath) {
    std::error_code ec;
    return std::filesystem::is_regular_file(dmgPath, ec);
}

void InstallerService::shutDownServices() {
    Installer::shutDownServices();
}

void InstallerService::resumeServices() {
    Installer::resumeServices();
}

bool InstallerService::startUse() {
    return Installer::startUse();
}

void InstallerService::ensureIniFileExisted() {
    Installer::ensureIniFileExisted();
}

void InstallerService::getPackageInfo(ReportBlock& toRecord) {
    Installer::getPackageInfo(toRecord);
}

void InstallerService::setDefault(const std::string& isDefault) {
    Installer::setDefault(isDefault);
}

void InstallerService::installService() {
    Installer::installService();
}

void InstallerService::recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite) {
    Installer::recordPackageDetail(toRecord, isOverwrite);
}

// ---- Reporter ----

Reporter& ReporterService::reporter() {
    return mReporter != nullptr ? *mReporter : Reporter::getInstance();
}

ReportBlock& ReporterService::data() {
    return reporter().data;
}

void ReporterService::report(bool bSuccess, ENUMInstallResult result, bool bSilent, bool bCover,
                             bool force) {
    reporter().report(bSuccess, result, bSilent, bCover, force);
}

void ReporterService::flush(std::chrono::milliseconds bound) {
    (void)reporter().flush(bound);
}

void ReporterService::probeMachine() {
    MacOSVersion::ensureProbed();
    // The reports go out through libcurl and the identity is an MD5 digest: both libraries are
    // opened here, on the start-up worker while the window draws, rather than by the loader
    // before the program starts or on the main thread at the first download.
    (void)platform::curlLibrary();
    (void)platform::cryptoLibrary();
}

// ---- Exit ----

void ProcessExitService::exitProcess(int status) {
    if (mHandler) {
        mHandler(status);
        return;
    }
    std::fflush(nullptr);
    std::exit(status);
}

// ---- Wiring ----

ContentView::Services ContentView::productionServices() {
    Services services;
    services.downloader = std::make_shared<DownloaderService>();
    services.installer = std::make_shared<InstallerService>();
    services.reporter = std::make_shared<ReporterService>();
    services.exit = std::make_shared<ProcessExitService>();
    services.mainQueue = platform::mainQueue();
    return services;
}

}  // namespace corvane
