// Runs one real download or one real install, for bench/install/run.sh to time against curl and
// the same install steps by hand. Prints "result=ok|failed seconds=S maxrss_kib=K" and exits 0 on
// success.
//   install_bench_driver download URL     (package.dmg lands in $TMPDIR; with
//                                          CORVANE_BENCH_CONNECTIONS=N at most N connections)
//   install_bench_driver install IMAGE    (into the simulated root of $CORVANE_SIM_ROOT)
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "setup/downloader.h"
#include "setup/installer.h"

namespace {

using Clock = std::chrono::steady_clock;

long maxRssKib() {
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

bool download(const std::string& url) {
    auto loop = std::make_shared<corvane::platform::RunLoop>();
    corvane::platform::setMainQueue(loop);
    std::atomic<int> outcome{0};  // 1 success, 2 failure
    std::weak_ptr<corvane::Downloader> alive;
    {
        auto d = std::make_shared<corvane::Downloader>();
        if (const char* n = std::getenv("CORVANE_BENCH_CONNECTIONS")) {
            d->limits.maxConnections = std::atoi(n);
        }
        d->onDownloadSuccess = [&](const std::string&) { outcome = 1; };
        d->onDownloadFailed = [&] { outcome = 2; };
        alive = d;
        d->startDownload(url);
    }
    while (!alive.expired()) {
        loop->runUntil([&] { return alive.expired(); }, std::chrono::milliseconds(10));
    }
    loop->drain();
    corvane::platform::setMainQueue(nullptr);
    return outcome == 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s download URL | install IMAGE\n", argv[0]);
        return 2;
    }
    // Keep the measured program's own log out of the figures; with CORVANE_BENCH_STEPS=1 each
    // line goes to standard error with the seconds since the start, to time the steps.
    const auto start = Clock::now();
    if (const char* steps = std::getenv("CORVANE_BENCH_STEPS"); steps && *steps == '1') {
        corvane::platform::setLogSink([start](std::string_view line) {
            const double at = std::chrono::duration<double>(Clock::now() - start).count();
            std::fprintf(stderr, "%.3f %.*s\n", at, static_cast<int>(line.size()), line.data());
        });
    } else {
        corvane::platform::setLogSink([](std::string_view) {});
    }
    const std::string mode = argv[1];
    bool ok = false;
    if (mode == "download") {
        ok = download(argv[2]);
    } else if (mode == "install") {
        ok = corvane::Installer(argv[2]).installPackage();
    } else {
        std::fprintf(stderr, "unknown mode %s\n", mode.c_str());
        return 2;
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("result=%s seconds=%.3f maxrss_kib=%ld\n", ok ? "ok" : "failed", seconds,
                maxRssKib());
    return ok ? 0 : 1;
}
