#include "platform/network_libraries.h"

#include <dlfcn.h>

#include <initializer_list>
#include <optional>
#include <string>

#include "platform/log.h"

namespace corvane::platform {
namespace {

// A library that stays open for the rest of the process. `entry` resolves one name at a time;
// the first one that is missing turns the whole library into a failure.
class OpenLibrary {
  public:
    // Tries each of `paths` in turn; an empty `path()` afterwards means none opened.
    explicit OpenLibrary(std::initializer_list<const char*> paths) {
        for (const char* path : paths) {
            if (path == nullptr || *path == '\0') {
                continue;
            }
            // RTLD_LOCAL: the names stay out of the global scope, where every later lookup of
            // the program (Qt's plug-ins, lazy binding) would have to pass them.
            mHandle = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
            if (mHandle != nullptr) {
                mPath = path;
                return;
            }
            const char* why = ::dlerror();
            mError += (mError.empty() ? "" : "; ") + std::string(why ? why : path);
        }
    }

    [[nodiscard]] bool isOpen() const { return mHandle != nullptr; }
    [[nodiscard]] const std::string& error() const { return mError; }

    template <class Function>
    void entry(Function& out, const char* name) {
        out = nullptr;
        if (mHandle == nullptr) {
            return;
        }
        // POSIX guarantees a data pointer from dlsym converts to a function pointer.
        void* address = ::dlsym(mHandle, name);
        if (address == nullptr) {
            mHandle = nullptr;
            mError = mPath + " lacks " + name;
            return;
        }
        out = reinterpret_cast<Function>(address);
    }

  private:
    void* mHandle = nullptr;
    std::string mPath;
    std::string mError;
};

#ifndef CORVANE_CURL_LIBRARY
#error "CORVANE_CURL_LIBRARY names libcurl for dlopen"
#endif
#ifndef CORVANE_CRYPTO_LIBRARY
#error "CORVANE_CRYPTO_LIBRARY names libcrypto for dlopen"
#endif
#ifndef CORVANE_CURL_LIBRARY_FALLBACK
#define CORVANE_CURL_LIBRARY_FALLBACK ""
#endif

std::optional<CurlLibrary> openCurl() {
    OpenLibrary library({CORVANE_CURL_LIBRARY, CORVANE_CURL_LIBRARY_FALLBACK});
    CurlLibrary api{};
    decltype(&::curl_global_init) globalInit = nullptr;
    library.entry(globalInit, "curl_global_init");
    library.entry(api.easy_init, "curl_easy_init");
    library.entry(api.easy_cleanup, "curl_easy_cleanup");
    library.entry(api.easy_setopt, "curl_easy_setopt");
    library.entry(api.easy_perform, "curl_easy_perform");
    library.entry(api.easy_strerror, "curl_easy_strerror");
    library.entry(api.multi_init, "curl_multi_init");
    library.entry(api.multi_setopt, "curl_multi_setopt");
    library.entry(api.multi_cleanup, "curl_multi_cleanup");
    library.entry(api.multi_add_handle, "curl_multi_add_handle");
    library.entry(api.multi_remove_handle, "curl_multi_remove_handle");
    library.entry(api.multi_perform, "curl_multi_perform");
    library.entry(api.multi_info_read, "curl_multi_info_read");
    library.entry(api.multi_poll, "curl_multi_poll");
    library.entry(api.multi_wakeup, "curl_multi_wakeup");
    library.entry(api.slist_append, "curl_slist_append");
    library.entry(api.slist_free_all, "curl_slist_free_all");
    if (!library.isOpen()) {
        logLine("libcurl cannot be loaded: " + library.error());
        return std::nullopt;
    }
    if (const CURLcode rc = globalInit(CURL_GLOBAL_DEFAULT); rc != CURLE_OK) {
        logLine("libcurl cannot be set up: " + std::string(api.easy_strerror(rc)));
        return std::nullopt;
    }
    return api;
}

std::optional<CryptoLibrary> openCrypto() {
    OpenLibrary library({CORVANE_CRYPTO_LIBRARY});
    CryptoLibrary api{};
    library.entry(api.Digest, "EVP_Digest");
    library.entry(api.md5, "EVP_md5");
    library.entry(api.RAND_bytes, "RAND_bytes");
    if (!library.isOpen()) {
        logLine("libcrypto cannot be loaded: " + library.error());
        return std::nullopt;
    }
    return api;
}

}  // namespace

const CurlLibrary* curlLibrary() {
    static const std::optional<CurlLibrary> library = openCurl();
    return library ? &*library : nullptr;
}

const CryptoLibrary* cryptoLibrary() {
    static const std::optional<CryptoLibrary> library = openCrypto();
    return library ? &*library : nullptr;
}

}  // namespace corvane::platform
