// The package download against a real HTTPS server on loopback: the package lands as
// "package.dmg" with the right bytes and totals; every kind of failure is reported once.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <tuple>
#include <vector>

#include "package_server.h"
#include "platform/log.h"
#include "platform/main_queue.h"
#include "setup/downloader.h"
#include "support/test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using platform::ScopedLogCapture;

constexpr int64_t kMiB = 1024 * 1024;
// Five and a half MiB: reported as 5.
constexpr int64_t kPackageSize = 5 * kMiB + kMiB / 2;

std::string randomBytes(size_t n) {
    std::mt19937_64 gen(42);
    std::string s(n, '\0');
    for (auto& c : s) {
        c = static_cast<char>(gen());
    }
    return s;
}

struct Outcome {
    std::atomic<int> successes{0};
    std::atomic<int> failures{0};
    std::atomic<bool> callbackOnMain{false};
    std::mutex mutex;
    std::string path;
    // Main thread only.
    std::vector<std::tuple<int64_t, int64_t, double>> progress;
    bool progressOffMain = false;
};

class Download : public ::testing::Test {
  protected:
    void SetUp() override {
        test::writeFile(mDocroot / "velodoc/corvanereader_x86_64.dmg", mPackage);
        fs::create_directories(tmp());
        mServer = std::make_unique<test::PackageServer>(mDocroot.path());
        mEnv.push_back(std::make_unique<test::ScopedEnv>("TMPDIR", tmp().string()));
        mEnv.push_back(std::make_unique<test::ScopedEnv>("CORVANE_CA_BUNDLE", mServer->caBundle()));
        for (const char* name : {"no_proxy", "NO_PROXY"}) {
            mEnv.push_back(std::make_unique<test::ScopedEnv>(name, "127.0.0.1,localhost"));
        }
        platform::setMainQueue(mLoop);
    }
    void TearDown() override { platform::setMainQueue(nullptr); }

    [[nodiscard]] fs::path tmp() const { return mWork / "tmp"; }

    // Runs one download to its end: the outcome is final once the downloader has let go of
    // itself (its worker finished and every progress report was delivered).
    std::shared_ptr<Outcome> download(const std::string& url,
                                      const std::function<void()>& onFirstProgress = {}) {
        auto outcome = std::make_shared<Outcome>();
        const auto mainThread = std::this_thread::get_id();
        auto d = std::make_shared<Downloader>();
        d->onProgress = [outcome, mainThread, onFirstProgress](int64_t w, int64_t e, double s) {
            if (std::this_thread::get_id() != mainThread) {
                outcome->progressOffMain = true;
            }
            if (outcome->progress.empty() && onFirstProgress) {
                onFirstProgress();
            }
            outcome->progress.emplace_back(w, e, s);
        };
        d->onDownloadSuccess = [outcome, mainThread](const std::string& path) {
            if (std::this_thread::get_id() == mainThread) {
                outcome->callbackOnMain = true;
            }
            std::lock_guard lock(outcome->mutex);
            outcome->path = path;
            ++outcome->successes;
        };
        d->onDownloadFailed = [outcome, mainThread] {
            if (std::this_thread::get_id() == mainThread) {
                outcome->callbackOnMain = true;
            }
            ++outcome->failures;
        };
        std::weak_ptr<Downloader> alive = d;
        d->startDownload(url);
        d.reset();  // the transfer keeps it alive
        // The loop sleeps until a task comes, and the worker's end posts none: look often.
        const auto deadline = std::chrono::steady_clock::now() + 60s;
        while (!alive.expired() && std::chrono::steady_clock::now() < deadline) {
            mLoop->runUntil([&] { return alive.expired(); }, 10ms);
        }
        EXPECT_TRUE(alive.expired());
        mLoop->drain();
        return outcome;
    }

    [[nodiscard]] std::vector<std::string> leftovers() const {
        std::vector<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(tmp(), ec)) {
            if (e.path().filename() != "package.dmg") {
                out.push_back(e.path().filename().string());
            }
        }
        return out;
    }

    void expectFailedOnce(const Outcome& o) const {
        EXPECT_EQ(o.failures.load(), 1);
        EXPECT_EQ(o.successes.load(), 0);
        EXPECT_FALSE(o.callbackOnMain.load());
        EXPECT_TRUE(leftovers().empty());
    }

    const std::string mPackage = randomBytes(static_cast<size_t>(kPackageSize));
    test::TempDir mDocroot;
    test::TempDir mWork;
    std::unique_ptr<test::PackageServer> mServer;
    std::vector<std::unique_ptr<test::ScopedEnv>> mEnv;
    std::shared_ptr<platform::RunLoop> mLoop = std::make_shared<platform::RunLoop>();
};

TEST_F(Download, PackageArrivesWithTheRightBytesAndTotals) {
    const std::string url = mServer->base() + "/velodoc/corvanereader_x86_64.dmg";
    ScopedLogCapture log;
    const auto o = download(url);
    EXPECT_EQ(o->successes.load(), 1);
    EXPECT_EQ(o->failures.load(), 0);
    EXPECT_FALSE(o->callbackOnMain.load());
    const std::string expectedPath = (tmp() / "package.dmg").string();
    EXPECT_EQ(o->path, expectedPath);
    EXPECT_TRUE(test::readFile(expectedPath) == mPackage);
    EXPECT_TRUE(leftovers().empty());

    ASSERT_FALSE(o->progress.empty());
    EXPECT_FALSE(o->progressOffMain);
    int64_t last = 0;
    for (const auto& [written, expected, seconds] : o->progress) {
        EXPECT_EQ(expected, 5);
        EXPECT_GE(written, last);
        last = written;
    }
    EXPECT_EQ(std::get<0>(o->progress.back()), 5);
    EXPECT_EQ(std::get<2>(o->progress.back()), 0.0);  // nothing left

    EXPECT_TRUE(log.contains("Starting download from " + url));
    EXPECT_TRUE(log.contains("File moved successfully to: file://" + expectedPath));
    EXPECT_TRUE(log.contains("Download task completed successfully"));
}

TEST_F(Download, EarlierPackageIsReplacedWhateverNameTheServerOffers) {
    test::writeFile(tmp() / "package.dmg", "an older download");
    const auto o = download(mServer->base() + "/faults/renamed.dmg");
    EXPECT_EQ(o->successes.load(), 1);
    EXPECT_TRUE(test::readFile(tmp() / "package.dmg") == mPackage);
    EXPECT_FALSE(fs::exists(tmp() / "SomethingElse-9.9.dmg"));
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(Download, HttpErrorsFailEvenWithTheHeader) {
    ScopedLogCapture log;
    expectFailedOnce(*download(mServer->base() + "/velodoc/corvanereader_arm64.dmg"));
    EXPECT_TRUE(log.contains("Download failed: HTTP status 404"));
    expectFailedOnce(*download(mServer->base() + "/faults/error-500.dmg"));
    EXPECT_TRUE(log.contains("Download failed: HTTP status 500"));
    EXPECT_FALSE(fs::exists(tmp() / "package.dmg"));
}

TEST_F(Download, ResponseWithoutContentDispositionFails) {
    test::writeFile(tmp() / "package.dmg", "an older download");
    ScopedLogCapture log;
    expectFailedOnce(*download(mServer->base() + "/faults/no-header.dmg"));
    expectFailedOnce(*download(mServer->base() + "/faults/equals-only.dmg"));
    EXPECT_TRUE(log.contains("Download failed: the response has no Content-Disposition"));
    EXPECT_FALSE(log.containsPrefix("File moved successfully to: "));
    EXPECT_EQ(test::readFile(tmp() / "package.dmg"), "an older download");
}

TEST_F(Download, DroppedConnectionFailsOnceAndNeverSucceeds) {
    test::FaultServer faults(*mServer, 4 * kMiB);
    expectFailedOnce(*download(faults.base() + "/drop"));
    EXPECT_FALSE(fs::exists(tmp() / "package.dmg"));
}

TEST_F(Download, FailedMoveIntoPlaceFails) {
    test::FaultServer faults(*mServer, 2 * kMiB);
    ScopedLogCapture log;
    // While the body is held back, the temporary folder disappears: the finished file then has
    // nowhere to go.
    const auto o = download(faults.base() + "/gated", [&] {
        fs::remove_all(tmp());
        faults.openGate();
    });
    EXPECT_EQ(o->failures.load(), 1);
    EXPECT_EQ(o->successes.load(), 0);
    EXPECT_TRUE(log.containsPrefix("Error moving file: "));
}

TEST_F(Download, UntrustedServerOrPlainHttpIsRefused) {
    {
        test::ScopedEnv noCa("CORVANE_CA_BUNDLE", std::nullopt);
        expectFailedOnce(*download(mServer->base() + "/velodoc/corvanereader_x86_64.dmg"));
    }
    std::string plain = mServer->base();
    plain.replace(0, 5, "http");
    expectFailedOnce(*download(plain + "/velodoc/corvanereader_x86_64.dmg"));
}

TEST_F(Download, AnInstanceDownloadsOnce) {
    int failures = 0;
    Downloader notShared;
    notShared.onDownloadFailed = [&] { ++failures; };
    notShared.startDownload(mServer->base() + "/velodoc/corvanereader_x86_64.dmg");
    EXPECT_EQ(failures, 1);

    auto outcome = download(mServer->base() + "/velodoc/corvanereader_x86_64.dmg");
    EXPECT_EQ(outcome->successes.load(), 1);
}

TEST(DownloadFigures, MegabytesAreCutTowardZero) {
    EXPECT_EQ(Downloader::toWholeMiB(300 * kMiB), 300);
    EXPECT_EQ(Downloader::toWholeMiB(5 * kMiB + kMiB / 2), 5);
    EXPECT_EQ(Downloader::toWholeMiB(kMiB - 1), 0);
    EXPECT_EQ(Downloader::toWholeMiB(0), 0);
}

TEST(DownloadFigures, EstimateUsesTheAverageSpeedSoFar) {
    // 100 MiB in 10 s, 200 MiB still to come: 20 s.
    EXPECT_DOUBLE_EQ(Downloader::estimateSecondsRemaining(100 * kMiB, 10.0, 100 * kMiB, 300 * kMiB),
                     20.0);
    // The very first report may come with nothing elapsed or nothing counted yet.
    EXPECT_EQ(Downloader::estimateSecondsRemaining(kMiB, 0.0, kMiB, 10 * kMiB), 0.0);
    EXPECT_TRUE(std::isinf(Downloader::estimateSecondsRemaining(0, 1.0, 0, 10 * kMiB)));
    EXPECT_TRUE(std::isnan(Downloader::estimateSecondsRemaining(0, 0.0, 0, 10 * kMiB)));
}

TEST(DownloadFigures, PackagePathAndFileUrl) {
    test::ScopedEnv t("TMPDIR", "/var/folders/x y");
    EXPECT_EQ(Downloader::packagePath(), "/var/folders/x y/package.dmg");
    EXPECT_EQ(Downloader::fileURL("/var/folders/x y/p%q#\xc3\xa9.dmg"),
              "file:///var/folders/x%20y/p%25q%23%C3%A9.dmg");
}

}  // namespace
}  // namespace corvane
