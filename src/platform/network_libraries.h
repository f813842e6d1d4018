#pragma once
// libcurl and OpenSSL's libcrypto, opened at run time instead of linked into the program.
//
// Linked, they and the two dozen libraries they bring along were mapped and bound by the dynamic
// loader before main() ran, which held back the window's first frame. Now the start-up worker
// opens them while the window draws (the reporter's machine probe), and whatever downloads,
// posts or hashes asks for them here. The headers still come from the libraries themselves, so
// every entry point keeps the exact type it has there.
//
// Where they are looked for (fixed at build time, CORVANE_CURL_LIBRARY / CORVANE_CRYPTO_LIBRARY):
// on Linux the sonames (libcurl.so.4, libcrypto.so.<OpenSSL major>) through the usual search;
// on macOS the copies in the bundle's Contents/Frameworks first
// (@executable_path/../Frameworks/libcurl.4.dylib, libcrypto.3.dylib), then the system's
// libcurl.
#include <curl/curl.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace corvane::platform {

// The part of libcurl's interface the program uses.
struct CurlLibrary {
    decltype(&::curl_easy_init) easy_init;
    decltype(&::curl_easy_cleanup) easy_cleanup;
    decltype(&::curl_easy_setopt) easy_setopt;
    decltype(&::curl_easy_perform) easy_perform;
    decltype(&::curl_easy_strerror) easy_strerror;
    decltype(&::curl_multi_init) multi_init;
    decltype(&::curl_multi_setopt) multi_setopt;
    decltype(&::curl_multi_cleanup) multi_cleanup;
    decltype(&::curl_multi_add_handle) multi_add_handle;
    decltype(&::curl_multi_remove_handle) multi_remove_handle;
    decltype(&::curl_multi_perform) multi_perform;
    decltype(&::curl_multi_info_read) multi_info_read;
    decltype(&::curl_multi_poll) multi_poll;
    decltype(&::curl_multi_wakeup) multi_wakeup;
    decltype(&::curl_slist_append) slist_append;
    decltype(&::curl_slist_free_all) slist_free_all;
};

// The part of libcrypto the program uses: MD5 and the secure random source.
struct CryptoLibrary {
    decltype(&::EVP_Digest) Digest;
    decltype(&::EVP_md5) md5;
    decltype(&::RAND_bytes) RAND_bytes;
};

// libcurl, opened and set up (curl_global_init) by the first call from any thread; calls that
// race the first one wait for it, later ones return at once. nullptr when it cannot be opened,
// lacks an entry point or does not set up: one log line says why, once. Never closed (transfers
// may leave name lookups running behind them), so the pointer stays valid until the process ends.
[[nodiscard]] const CurlLibrary* curlLibrary();

// libcrypto, as curlLibrary() does it (no set-up call: OpenSSL sets itself up on first use).
[[nodiscard]] const CryptoLibrary* cryptoLibrary();

}  // namespace corvane::platform
