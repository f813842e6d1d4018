// The package download against a real HTTPS server on loopback: the package lands as
// "package.dmg" with the right bytes and totals; every kind of failure is reported once.
#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <random>
#include <set>
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

std::string sha256(const std::string& bytes) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_sha256(), nullptr);
    return std::string(reinterpret_cast<const char*>(digest), length);
}

// Quick to give up and to come back, so fault cases stay short.
Downloader::Limits testLimits() {
    Downloader::Limits limits;
    limits.stallTime = 1s;
    limits.backOff = 20ms;
    return limits;
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
                                      const std::function<void()>& onFirstProgress = {},
                                      Downloader::Limits limits = testLimits()) {
        auto outcome = std::make_shared<Outcome>();
        const auto mainThread = std::this_thread::get_id();
        auto d = std::make_shared<Downloader>();
        d->limits = limits;
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
        mRunning = d;
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

    // Every name in the temporary folder.
    [[nodiscard]] std::set<std::string> tmpNames() const {
        std::set<std::string> out;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(tmp(), ec)) {
            out.insert(e.path().filename().string());
        }
        return out;
    }

    void expectFailedOnce(const Outcome& o) const {
        EXPECT_EQ(o.failures.load(), 1);
        EXPECT_EQ(o.successes.load(), 0);
        EXPECT_FALSE(o.callbackOnMain.load());
        EXPECT_TRUE(leftovers().empty());
    }

    [[nodiscard]] fs::path image() const {
        return mDocroot.path() / "velodoc/corvanereader_x86_64.dmg";
    }

    const std::string mPackage = randomBytes(static_cast<size_t>(kPackageSize));
    test::TempDir mDocroot;
    test::TempDir mWork;
    std::unique_ptr<test::PackageServer> mServer;
    std::vector<std::unique_ptr<test::ScopedEnv>> mEnv;
    std::shared_ptr<platform::RunLoop> mLoop = std::make_shared<platform::RunLoop>();
    std::weak_ptr<Downloader> mRunning;  // the download under way
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

// Each fault of the server, with what must hold afterwards: one end callback, the image's
// bytes exactly when it succeeds, how much was fetched, and what stays in the temporary folder.
TEST_F(Download, FaultyServersResumeRestartOrFailOnce) {
    const std::set<std::string> none;
    const std::set<std::string> package{"package.dmg"};
    const std::set<std::string> partial{"package.dmg.part", "package.dmg.part.validator"};
    struct Row {
        const char* name;
        std::vector<std::string> faults;
        bool succeeds;
        const char* statuses;
        double minFetched, maxFetched;  // body bytes sent by the server, in image sizes
        const std::set<std::string>& left;
        const char* logPrefix;  // the line that says why
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"dropped twice, then resumed", {"--drop-at", "0.3,0.6"}, true, "200,206,206", 1.0, 1.01,
         package, "Download resumes at byte "},
        {"stalled, then resumed", {"--stall-at", "0.5"}, true, "200,206", 1.0, 1.01, package,
         "Download interrupted: Timeout"},
        {"no range support", {"--drop-at", "0.5", "--no-ranges"}, true, "200,200", 1.5, 1.51,
         package, "Download restarts from zero: the server sent the whole file"},
        {"validator changed", {"--drop-at", "0.5", "--change-validator"}, true, "200,200", 1.5,
         1.51, package, "Download restarts from zero: the server sent the whole file"},
        {"416", {"--drop-at", "0.5", "--answer-416"}, true, "200,416,200", 1.5, 1.51, package,
         "Download restarts from zero: the server refused the range"},
        {"404 fails at once", {"--status", "404"}, false, "404", 0, 0, none,
         "Download failed: HTTP status 404"},
        {"500 fails at once", {"--status", "500"}, false, "500", 0, 0, none,
         "Download failed: HTTP status 500"},
        {"dropped three times", {"--drop-at", "0.2,0.4,0.6"}, false, "200,206,206", 0.59, 0.61,
         partial, "Download interrupted: "},
        {"body beyond its Content-Length", {"--overlong", "4096"}, false, "200", 0, 1.01, none,
         "Download failed: the body is larger than announced"},
    };
    // clang-format on
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(tmp());
        fs::create_directories(tmp());
        test::ScriptedFaultServer server(*mServer, image(), row.faults);
        ScopedLogCapture log;
        const auto o = download(server.url());
        EXPECT_EQ(o->successes.load(), row.succeeds ? 1 : 0);
        EXPECT_EQ(o->failures.load(), row.succeeds ? 0 : 1);
        const auto stats = server.stats();
        EXPECT_EQ(stats.statuses, row.statuses);
        const auto size = static_cast<double>(mPackage.size());
        EXPECT_GE(static_cast<double>(stats.bytes), row.minFetched * size);
        EXPECT_LE(static_cast<double>(stats.bytes), row.maxFetched * size);
        EXPECT_EQ(tmpNames(), row.left);
        EXPECT_TRUE(log.containsPrefix(row.logPrefix));
        if (row.succeeds) {
            EXPECT_TRUE(sha256(test::readFile(tmp() / "package.dmg")) == sha256(mPackage));
        }
        // A resume goes on counting from where the file stands, of the whole size.
        if (std::string_view(row.statuses).find(",200") == std::string_view::npos) {
            int64_t last = 0;
            for (const auto& [written, expected, seconds] : o->progress) {
                EXPECT_EQ(expected, 5);
                EXPECT_GE(written, last);
                last = written;
            }
        }
        if (row.left == partial) {
            struct stat st {};
            ASSERT_EQ(::stat((tmp() / "package.dmg.part").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "the partial file is private";
            // "重试": a new attempt takes up where the last one stopped.
            const auto retry = download(server.url());
            EXPECT_EQ(retry->successes.load(), 1);
            EXPECT_EQ(server.stats().statuses, std::string(row.statuses) + ",206");
            EXPECT_LE(static_cast<double>(server.stats().bytes), 1.01 * size);
            EXPECT_TRUE(sha256(test::readFile(tmp() / "package.dmg")) == sha256(mPackage));
            EXPECT_EQ(tmpNames(), package);
        }
    }
}

TEST_F(Download, RefusedConnectionIsRetriedThenFailsOnce) {
    ScopedLogCapture log;
    expectFailedOnce(*download("https://127.0.0.1:1/velodoc/corvanereader_x86_64.dmg"));
    const auto lines = log.lines();
    EXPECT_EQ(
        std::count_if(lines.begin(), lines.end(),
                      [](const std::string& l) { return l.starts_with("Download interrupted: "); }),
        3)
        << "two silent resumes, then the failure";
    EXPECT_TRUE(tmpNames().empty());
}

TEST_F(Download, EndlessBodyStopsAtTheMaximum) {
    test::ScriptedFaultServer server(*mServer, image(), {"--endless"});
    auto limits = testLimits();
    limits.maxBodyBytes = 2 * kMiB;
    ScopedLogCapture log;
    expectFailedOnce(*download(server.url(), {}, limits));
    EXPECT_TRUE(log.contains("Download failed: the body is larger than 2097152 bytes"));
    EXPECT_EQ(server.stats().requests, 1) << "a guard is not retried";
    EXPECT_TRUE(tmpNames().empty());
}

// A real full disk: the temporary folder on a 3 MiB file system, the package 5.5 MiB.
TEST_F(Download, FullDiskFailsOnceWithItsCauseAndLeavesNothing) {
    const fs::path small = mWork / "small";
    fs::create_directories(small);
    if (::mount("corvane-test", small.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=3m") != 0) {
        GTEST_SKIP() << "cannot mount a small file system here: " << std::strerror(errno);
    }
    struct Unmount {
        fs::path path;
        ~Unmount() { ::umount2(path.c_str(), MNT_DETACH); }
    } unmount{small};
    test::ScopedEnv tmpdir("TMPDIR", small.string());
    ScopedLogCapture log;
    const auto o = download(mServer->base() + "/velodoc/corvanereader_x86_64.dmg");
    EXPECT_EQ(o->failures.load(), 1);
    EXPECT_EQ(o->successes.load(), 0);
    EXPECT_TRUE(log.contains("Error writing the download: No space left on device"));
    EXPECT_TRUE(fs::is_empty(small)) << "no half file, no record";
}

TEST_F(Download, CancelStopsTheTransferAndRemovesThePartialFile) {
    test::ScriptedFaultServer server(*mServer, image(), {"--stall-at", "0.5"});
    auto limits = testLimits();
    limits.stallTime = 30s;  // the stall must outlast the cancel
    const auto o = download(
        server.url(),
        [&] {
            // The first progress: the partial file and its record exist.
            EXPECT_TRUE(fs::exists(tmp() / "package.dmg.part"));
            EXPECT_TRUE(fs::exists(tmp() / "package.dmg.part.validator"));
            if (auto running = mRunning.lock()) {
                running->cancel();
            }
        },
        limits);
    EXPECT_EQ(o->successes.load() + o->failures.load(), 0)
        << "a cancelled download reports nothing";
    EXPECT_TRUE(tmpNames().empty());
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
