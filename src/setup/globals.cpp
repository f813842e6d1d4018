#include "setup/globals.h"

#include <mutex>
#include <utility>

namespace corvane {

std::atomic<INSTALLER_STATUS> g_installerStatus{INSTALLER_STATUS::Prepare_to_download};

namespace {

// The address is written once on the main thread but read by whoever starts a download, so it
// is guarded rather than trusted to a happens-before the callers may not have.
struct DownloadUrlStore {
    std::mutex mutex;
    std::string url;
};

DownloadUrlStore& downloadUrlStore() {
    static DownloadUrlStore store;
    return store;
}

}  // namespace

std::string downloadUrl() {
    auto& store = downloadUrlStore();
    std::lock_guard lock(store.mutex);
    return store.url;
}

void setDownloadUrl(std::string url) {
    auto& store = downloadUrlStore();
    std::lock_guard lock(store.mutex);
    store.url = std::move(url);
}

}  // namespace corvane
