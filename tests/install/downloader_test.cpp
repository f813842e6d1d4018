// The package download against real HTTPS servers on loopback: the package lands as
// "package.dmg" with the right bytes and totals; every kind of failure is reported once.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <regex>
#include <set>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "setup/downloader.h"
#include "setup/http_response.h"
#include "setup/partial_record.h"
#include "support/package_server.h"
#include "support/sim_root.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Names = std::set<std::string>;

constexpr int64_t kMiB = 1024 * 1024;

// Five and a half MiB (reported as 5) of bytes that no mistake reproduces.
std::string packageBytes() {
    std::mt19937_64 gen(42);
    std::string s(static_cast<size_t>(5 * kMiB + kMiB / 2), '\0');
    std::generate(s.begin(), s.end(), [&] { return static_cast<char>(gen()); });
    return s;
}

// Quick to give up and to come back, so fault cases stay short; `split`: the package is large
// enough for several connections.
Downloader::Limits testLimits(std::chrono::seconds stallTime = 1s, bool split = false) {
    Downloader::Limits limits;
    limits.stallTime = stallTime;
    limits.backOff = 20ms;
    if (split) {
        limits.parallelMinimum = kMiB;
    }
    return limits;
}

// "200,206,206" in order, whatever order the slices were answered in.
std::string sortedStatuses(const std::string& statuses) {
    std::vector<std::string> items;
    for (size_t pos = 0; pos < statuses.size();) {
        const size_t comma = std::min(statuses.find(',', pos), statuses.size());
        items.push_back(statuses.substr(pos, comma - pos));
        pos = comma + 1;
    }
    std::sort(items.begin(), items.end());
    std::string out;
    for (const auto& item : items) {
        out += (out.empty() ? "" : ",") + item;
    }
    return out;
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
        test::writeFile(image(), mPackage);
        fs::create_directories(tmp());
        mServer = std::make_unique<test::NginxServer>(mDocroot.path());
        mEnv.emplace_back("TMPDIR", tmp().string());
        mEnv.emplace_back("CORVANE_CA_BUNDLE", mServer->caBundle());
        mEnv.emplace_back("no_proxy", "127.0.0.1,localhost");
        mEnv.emplace_back("NO_PROXY", "127.0.0.1,localhost");
        platform::setMainQueue(mLoop);
    }
    void TearDown() override { platform::setMainQueue(nullptr); }

    [[nodiscard]] fs::path tmp() const { return mWork / "tmp"; }
    [[nodiscard]] fs::path image() const { return mDocroot / "velodoc/corvanereader_x86_64.dmg"; }
    [[nodiscard]] std::string url(const std::string& path = "velodoc/corvanereader_x86_64.dmg") {
        return mServer->base() + "/" + path;
    }

    // Runs one download to its end: the outcome is final once the downloader has let go of
    // itself (its worker finished and every progress report was delivered).
    std::shared_ptr<Outcome> download(const std::string& from,
                                      const std::function<void()>& onFirstProgress = {},
                                      Downloader::Limits limits = testLimits()) {
        auto outcome = std::make_shared<Outcome>();
        const auto onMain = [main = std::this_thread::get_id()] {
            return std::this_thread::get_id() == main;
        };
        auto d = std::make_shared<Downloader>();
        d->limits = limits;
        d->onProgress = [=](int64_t w, int64_t e, double s) {
            outcome->progressOffMain |= !onMain();
            if (outcome->progress.empty() && onFirstProgress) {
                onFirstProgress();
            }
            outcome->progress.emplace_back(w, e, s);
        };
        d->onDownloadSuccess = [=](const std::string& path) {
            outcome->callbackOnMain = outcome->callbackOnMain || onMain();
            std::lock_guard lock(outcome->mutex);
            outcome->path = path;
            ++outcome->successes;
        };
        d->onDownloadFailed = [=] {
            outcome->callbackOnMain = outcome->callbackOnMain || onMain();
            ++outcome->failures;
        };
        std::weak_ptr<Downloader> alive = d;
        mRunning = d;
        d->startDownload(from);
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

    [[nodiscard]] Names tmpNames() const {
        const auto names = test::entriesIn(tmp());
        return {names.begin(), names.end()};
    }
    // One success off the main thread, the package's bytes in place and nothing else; progress
    // on the main thread, counting up (a resume from where the file stands) of the whole size;
    // a download that starts over counts from zero once more.
    void expectSucceeded(const Outcome& o, bool startsOver = false) const {
        EXPECT_EQ(o.successes.load(), 1);
        EXPECT_EQ(o.failures.load(), 0);
        EXPECT_FALSE(o.callbackOnMain.load());
        EXPECT_EQ(o.path, (tmp() / "package.dmg").string());
        EXPECT_TRUE(test::readFile(tmp() / "package.dmg") == mPackage);
        EXPECT_EQ(tmpNames(), Names{"package.dmg"});
        EXPECT_FALSE(o.progressOffMain);
        int64_t last = 0;
        int drops = 0;
        for (const auto& [written, expected, seconds] : o.progress) {
            EXPECT_EQ(expected, 5);
            drops += written < last ? 1 : 0;
            last = written;
        }
        EXPECT_LE(drops, startsOver ? 1 : 0);
    }
    // One failure, off the main thread, and nothing in the temporary folder but `left`.
    void expectFailedOnce(const Outcome& o, const Names& left = {}) const {
        EXPECT_EQ(o.failures.load(), 1);
        EXPECT_EQ(o.successes.load(), 0);
        EXPECT_FALSE(o.callbackOnMain.load());
        EXPECT_EQ(tmpNames(), left);
    }

    const std::string mPackage = packageBytes();
    test::TempDir mDocroot;
    test::TempDir mWork;
    std::unique_ptr<test::NginxServer> mServer;
    std::list<test::ScopedEnv> mEnv;
    std::shared_ptr<platform::RunLoop> mLoop = std::make_shared<platform::RunLoop>();
    std::weak_ptr<Downloader> mRunning;  // the download under way
    platform::ScopedLogCapture log;
};

TEST_F(Download, PackageReplacesTheEarlierOneWhateverNameTheServerOffers) {
    test::writeFile(tmp() / "package.dmg", "an older download");
    const auto o = download(url("faults/renamed.dmg"));
    expectSucceeded(*o);
    ASSERT_FALSE(o->progress.empty());
    EXPECT_EQ(std::get<0>(o->progress.back()), 5);
    EXPECT_EQ(std::get<2>(o->progress.back()), 0.0);  // nothing left
    EXPECT_TRUE(log.contains("Starting download from " + url("faults/renamed.dmg")));
    EXPECT_TRUE(log.contains("File moved successfully to: file://" + o->path));
    EXPECT_TRUE(log.contains("Download task completed successfully"));
    EXPECT_FALSE(log.containsPrefix("Error writing the download: "));
}

// A partial download of an earlier, larger release: the server now has another file and sends
// the whole of it, which must not keep the old file's tail beyond its end.
TEST_F(Download, RestartOverALongerPartialFileKeepsNoneOfItsTail) {
    const std::string older(static_cast<size_t>(7 * kMiB), 'x');
    test::writeFile(tmp() / "package.dmg.part", older);
    ASSERT_TRUE((PartialRecord{url(), "\"an older release\"", 8 * kMiB, std::nullopt})
                    .save((tmp() / "package.dmg.part.validator").string()));
    expectSucceeded(*download(url()), true);
    EXPECT_TRUE(log.contains("Download resumes at byte " + std::to_string(older.size())));
    EXPECT_TRUE(log.contains("Download restarts from zero: the server sent the whole file"));
}

// Several connections filled the file to its full size and one slice broke off in its middle:
// the record's ranges, not the file's size, say what is missing, and a fast link that keeps one
// connection does not fetch again what lies beyond the hole.
TEST_F(Download, ResumeOfAFullSizeFileWithAHoleFetchesOnlyTheHole) {
    const auto total = static_cast<int64_t>(mPackage.size());
    const int64_t holeFirst = total / 4;
    const int64_t holeEnd = total / 2;
    std::string part = mPackage;
    std::fill(part.begin() + holeFirst, part.begin() + holeEnd, '\0');
    test::writeFile(tmp() / "package.dmg.part", part);
    ByteRanges done;
    done.add(0, holeFirst);
    done.add(holeEnd, total);
    test::ScriptedFaultServer server(*mServer, image(), {"--rate", "2000000"});
    char etag[64];
    std::snprintf(etag, sizeof etag, "\"corvane-1-%llx\"", static_cast<unsigned long long>(total));
    ASSERT_TRUE((PartialRecord{server.url(), etag, total, done})
                    .save((tmp() / "package.dmg.part.validator").string()));
    auto limits = testLimits(1s, true);
    limits.splitProbe = 0ms;  // decided on the first bytes, which always look fast
    expectSucceeded(*download(server.url(), {}, limits));
    EXPECT_TRUE(log.contains("Download resumes at byte " + std::to_string(holeFirst)));
    const auto fetched = server.stats().bytes;
    EXPECT_GE(fetched, holeEnd - holeFirst + 1);
    EXPECT_LE(fetched, holeEnd - holeFirst + total / 10);
}

TEST_F(Download, ResponseWithoutContentDispositionFails) {
    test::writeFile(tmp() / "package.dmg", "an older download");
    expectFailedOnce(*download(url("faults/no-header.dmg")), {"package.dmg"});
    expectFailedOnce(*download(url("faults/equals-only.dmg")), {"package.dmg"});
    EXPECT_TRUE(log.contains("Download failed: the response has no Content-Disposition"));
    EXPECT_FALSE(log.containsPrefix("File moved successfully to: "));
    EXPECT_EQ(test::readFile(tmp() / "package.dmg"), "an older download");
}

TEST_F(Download, DroppedConnectionFailsOnceAndNeverSucceeds) {
    test::FaultServer faults(*mServer, 4 * kMiB);
    expectFailedOnce(*download(faults.base() + "/drop"));
}

TEST_F(Download, FailedMoveIntoPlaceFails) {
    test::FaultServer faults(*mServer, 2 * kMiB);
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

TEST_F(Download, UntrustedServerPlainHttpOrAnUnownedDownloaderFails) {
    {
        test::ScopedEnv noCa("CORVANE_CA_BUNDLE", std::nullopt);
        expectFailedOnce(*download(url()));
    }
    expectFailedOnce(*download("http" + url().substr(5)));
    // A downloader works only when it can keep itself alive.
    int failures = 0;
    Downloader notShared;
    notShared.onDownloadFailed = [&] { ++failures; };
    notShared.startDownload(url());
    EXPECT_EQ(failures, 1);
    // Once cancelled, nothing calls back, not even a refusal to start again.
    notShared.cancel();
    notShared.startDownload(url());
    EXPECT_EQ(failures, 1);
}

// Each fault of the server, with what must hold afterwards: one end callback, the image's
// bytes exactly when it succeeds, how much was fetched, and what stays in the temporary folder.
// Rows "split ..." and "slice ..." download over several connections, each capped (--rate) so
// that the slices overlap; what a cut connection still had on its way counts as fetched.
TEST_F(Download, FaultyServersResumeRestartOrFailOnce) {
    const Names partial{"package.dmg.part", "package.dmg.part.validator"};
    const std::vector<std::string> capped{"--rate", "2000000"};
    const auto with = [&capped](std::vector<std::string> faults) {
        faults.insert(faults.end(), capped.begin(), capped.end());
        return faults;
    };
    struct Row {
        const char* name;
        std::vector<std::string> faults;
        const char* statuses;           // in order; sorted for a split download; nullptr: any
        double minFetched, maxFetched;  // body bytes sent by the server, in image sizes
        std::optional<Names> left;      // what a failure leaves; nullopt: succeeds
        const char* logPrefix;          // the line that says why
        bool split = false;             // the package qualifies for several connections
    };
    // clang-format off
    const std::vector<Row> rows = {
        {"dropped twice, then resumed", {"--drop-at", "0.3,0.6"}, "200,206,206", 1.0, 1.01, {},
         "Download resumes at byte "},
        {"stalled, then resumed", {"--stall-at", "0.5"}, "200,206", 1.0, 1.01, {},
         "Download interrupted: Timeout"},
        {"no range support", {"--drop-at", "0.5", "--no-ranges"}, "200,200", 1.5, 1.51, {},
         "Download restarts from zero: the server sent the whole file"},
        {"validator changed", {"--drop-at", "0.5", "--change-validator"}, "200,200", 1.5, 1.51, {},
         "Download restarts from zero: the server sent the whole file"},
        {"416", {"--drop-at", "0.5", "--answer-416"}, "200,416,200", 1.5, 1.51, {},
         "Download restarts from zero: the server refused the range"},
        {"404 fails at once", {"--status", "404"}, "404", 0, 0, Names{},
         "Download failed: HTTP status 404"},
        {"500 fails at once", {"--status", "500"}, "500", 0, 0, Names{},
         "Download failed: HTTP status 500"},
        {"dropped three times", {"--drop-at", "0.2,0.4,0.6"}, "200,206,206", 0.59, 0.61, partial,
         "Download interrupted: "},
        {"body beyond its Content-Length", {"--overlong", "4096"}, "200", 0, 1.01, Names{},
         "Download failed: the body is larger than announced"},
        {"split into four slices", capped, "200,206,206,206", 1.0, 1.15, {},
         "Download splits into up to 4 connections: ", true},
        {"slice dropped, resumed alone", with({"--drop-slice", "1"}), "200,206,206,206,206", 1.0,
         1.15, {}, "Download resumes the slice at byte ", true},
        {"slice answered with the whole file", with({"--slice-fault", "whole"}), nullptr, 1.0, 3.0,
         {}, "Download goes on in one stream: a slice was answered with the whole file", true},
        {"slice under another validator", with({"--slice-fault", "etag"}), nullptr, 1.0, 3.0, {},
         "Download goes on in one stream: a slice came with another validator", true},
        {"slice with a lying Content-Range", with({"--slice-fault", "range"}), nullptr, 1.0, 3.0, {},
         "Download goes on in one stream: a slice's range does not fit what was asked", true},
        {"slices dropped three times", with({"--drop-slice", "3"}), nullptr, 0.3, 1.1, partial,
         "Download interrupted: ", true},
    };
    // clang-format on
    const auto size = static_cast<double>(mPackage.size());
    const auto fetched = [&](const test::ScriptedFaultServer& s, double min, double max) {
        const auto bytes = static_cast<double>(s.stats().bytes);
        EXPECT_GE(bytes, min * size);
        EXPECT_LE(bytes, max * size);
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(tmp());
        fs::create_directories(tmp());
        test::ScriptedFaultServer server(*mServer, image(), row.faults);
        log.clear();
        const bool split = row.split;
        const auto o = download(server.url(), {}, testLimits(1s, split));
        if (row.left) {
            expectFailedOnce(*o, *row.left);
        } else {
            expectSucceeded(*o, std::string_view(row.logPrefix).starts_with("Download restarts"));
        }
        if (row.statuses && split) {
            // A connection whose slice ends early takes half of one still running when enough
            // is left there: whether it does depends on timing, and it only ever adds a 206.
            const std::string got = sortedStatuses(server.stats().statuses);
            EXPECT_TRUE(std::regex_match(got, std::regex(std::string(row.statuses) + "(,206)*")))
                << got;
        } else if (row.statuses) {
            EXPECT_EQ(server.stats().statuses, row.statuses);
        }
        fetched(server, row.minFetched, row.maxFetched);
        EXPECT_TRUE(log.containsPrefix(row.logPrefix));
        if (row.left == partial) {
            struct stat st {};
            ASSERT_EQ(::stat((tmp() / "package.dmg.part").c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0600u) << "the partial file is private";
            // "重试": a new attempt takes up where the last one stopped, and fetches only what
            // is missing.
            expectSucceeded(*download(server.url(), {}, testLimits(1s, split)));
            if (!split) {
                EXPECT_EQ(server.stats().statuses, std::string(row.statuses) + ",206");
            }
            fetched(server, 1.0, split ? 1.15 : 1.01);
        }
    }
}

TEST_F(Download, RefusedConnectionIsRetriedThenFailsOnce) {
    expectFailedOnce(*download("https://127.0.0.1:1/velodoc/corvanereader_x86_64.dmg"));
    const auto lines = log.lines();
    EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                            [](const auto& l) { return l.starts_with("Download interrupted: "); }),
              3)
        << "two silent resumes, then the failure";
}

TEST_F(Download, EndlessBodyStopsAtTheMaximum) {
    test::ScriptedFaultServer server(*mServer, image(), {"--endless"});
    auto limits = testLimits();
    limits.maxBodyBytes = 2 * kMiB;
    expectFailedOnce(*download(server.url(), {}, limits));
    EXPECT_TRUE(log.contains("Download failed: the body is larger than 2097152 bytes"));
    EXPECT_EQ(server.stats().requests, 1) << "a guard is not retried";
}

// A real full disk: the temporary folder on a 3 MiB file system, the package 5.5 MiB, written by
// one stream and by four slices at their offsets.
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
    for (const bool split : {false, true}) {
        SCOPED_TRACE(split ? "slices" : "one stream");
        log.clear();
        test::ScriptedFaultServer server(*mServer, image(), {"--rate", "4000000"});
        const auto o = download(split ? server.url() : url(), {}, testLimits(1s, split));
        EXPECT_EQ(o->failures.load(), 1);
        EXPECT_EQ(o->successes.load(), 0);
        EXPECT_TRUE(log.contains("Error writing the download: No space left on device"));
        EXPECT_EQ(log.containsPrefix("Download splits into "), split);
        EXPECT_TRUE(fs::is_empty(small)) << "no half file, no record";
    }
}

// Cancelled (the user quits) while one stream stalls, and while four slices write.
TEST_F(Download, CancelStopsTheTransferAndRemovesThePartialFile) {
    for (const bool split : {false, true}) {
        SCOPED_TRACE(split ? "slices" : "one stream");
        log.clear();
        test::ScriptedFaultServer server(*mServer, image(),
                                         split ? std::vector<std::string>{"--rate", "1000000"}
                                               : std::vector<std::string>{"--stall-at", "0.5"});
        // The stall or the slow slices outlast the cancel, which comes once the partial file
        // and its record exist (and the slices run).
        const auto o = download(
            server.url(),
            [&] {
                for (int i = 0; split && i < 500 && !log.containsPrefix("Download splits"); ++i) {
                    std::this_thread::sleep_for(10ms);
                }
                EXPECT_EQ(tmpNames(), (Names{"package.dmg.part", "package.dmg.part.validator"}));
                if (auto running = mRunning.lock()) {
                    running->cancel();
                }
            },
            testLimits(30s, split));
        EXPECT_EQ(o->successes.load() + o->failures.load(), 0)
            << "a cancelled download reports nothing";
        EXPECT_EQ(log.containsPrefix("Download splits"), split);
        EXPECT_TRUE(tmpNames().empty());
    }
}

// The ranges in place of a file written by several connections, as kept in its record: merged,
// cut, what is missing, and a record line that was not written by us is refused.
TEST(DownloadRanges, AddRemoveMissingAndTheRecordLine) {
    ByteRanges r;
    EXPECT_EQ(r.add(10, 20), 10);
    EXPECT_EQ(r.add(30, 40), 10);
    EXPECT_EQ(r.add(15, 35), 10) << "only the bytes not yet in count";
    EXPECT_EQ(r.add(0, 0), 0);
    EXPECT_EQ(r.format(), "10-40");
    r.remove(20, 25);
    EXPECT_EQ(r.format(), "10-20 25-40");
    EXPECT_EQ(r.bytes(), 25);
    EXPECT_TRUE(r.covers(25, 40));
    EXPECT_FALSE(r.covers(15, 30));
    using Range = ByteRanges::Range;
    EXPECT_EQ(r.missing(50), (std::vector<Range>{{0, 10}, {20, 25}, {40, 50}}));
    EXPECT_EQ(r.missing(22), (std::vector<Range>{{0, 10}, {20, 22}}));
    EXPECT_EQ(ByteRanges::parse(r.format())->ranges(), r.ranges());
    EXPECT_TRUE(ByteRanges::parse("")->ranges().empty());
    for (const char* bad : {"5-5", "9-3", "0-4 2-8", "0-4 4-8", "1-2,3-4", "-1-4", "a-b", "3-"}) {
        EXPECT_FALSE(ByteRanges::parse(bad)) << bad;
    }

    const test::TempDir dir;
    const std::string path = (dir.path() / "record").string();
    PartialRecord record{"https://a/b.dmg", "\"e\"", 100, r};
    ASSERT_TRUE(record.save(path));
    const auto back = PartialRecord::load(path);
    ASSERT_TRUE(back && back->done);
    EXPECT_EQ(back->done->ranges(), r.ranges());
    record.total = 39;  // a range beyond the file
    ASSERT_TRUE(record.save(path));
    EXPECT_FALSE(PartialRecord::load(path));
    // A record that cannot be written says so, so that no file gets holes without one.
    EXPECT_FALSE(record.save((dir.path() / "gone" / "record").string()));
    // A file of no bytes has nothing to resume, and no first missing byte to ask for.
    ASSERT_TRUE((PartialRecord{"https://a/b.dmg", "\"e\"", 0, ByteRanges{}}).save(path));
    EXPECT_FALSE(PartialRecord::load(path));
}

// What decides whether a file may be fetched in ranges and put together: the headers as servers
// write them, and the ones that only look alike.
TEST(DownloadHeaders, RangesSizesAndValidatorsAsTheServerMeantThem) {
    EXPECT_EQ(parseCount(" 42 "), 42);
    EXPECT_EQ(parseCount("999999999999999999"), 999999999999999999);
    for (const char* bad : {"", "12a", "-1", "+1", "1 2", "9999999999999999999"}) {
        EXPECT_FALSE(parseCount(bad)) << bad;
    }
    const auto range = parseContentRange("Bytes 5-9/10");
    ASSERT_TRUE(range);
    EXPECT_EQ(std::tie(range->first, range->last, range->total), std::make_tuple(5, 9, 10));
    for (const char* bad : {"bytes 9-5/10", "bytes 0-10/10", "bytes */10", "items 0-9/10",
                            "bytes 0-9", "bytes 0/9-10"}) {
        EXPECT_FALSE(parseContentRange(bad)) << bad;
    }

    ResponseHeaders h;
    for (const char* line : {"HTTP/2 206\r\n", "ETag: W/\"weak\"\r\n",
                             "last-modified: Sat, 05 Dec 2026 10:00:01 GMT\r\n",
                             "Accept-Ranges: Bytes\r\n", "Content-Length: 100\r\n"}) {
        h.take(line);
    }
    EXPECT_EQ(h.status, 206);
    EXPECT_TRUE(h.acceptsByteRanges);
    EXPECT_EQ(h.contentLength, 100);
    EXPECT_FALSE(strongEtag(*h.etag));
    EXPECT_EQ(h.validator(), "Sat, 05 Dec 2026 10:00:01 GMT") << "a weak ETag is never sent back";
    for (const char* other : {"none", "bytez", "bytes2"}) {
        h.take(std::string("Accept-Ranges: ") + other);
        EXPECT_FALSE(h.acceptsByteRanges) << other;
    }
    h.take("HTTP/1.1 200 OK\r\n");
    EXPECT_EQ(h.status, 200);
    EXPECT_FALSE(h.etag || h.lastModified || h.contentLength) << "a new response starts over";
}

TEST(DownloadFigures, WholeMegabytesEstimateAndPaths) {
    EXPECT_EQ(Downloader::toWholeMiB(300 * kMiB), 300);
    EXPECT_EQ(Downloader::toWholeMiB(5 * kMiB + kMiB / 2), 5);
    EXPECT_EQ(Downloader::toWholeMiB(kMiB - 1), 0);
    // 100 MiB in 10 s, 200 MiB still to come: 20 s.
    EXPECT_DOUBLE_EQ(Downloader::estimateSecondsRemaining(100 * kMiB, 10.0, 100 * kMiB, 300 * kMiB),
                     20.0);
    // The very first report may come with nothing elapsed or nothing counted yet.
    EXPECT_EQ(Downloader::estimateSecondsRemaining(kMiB, 0.0, kMiB, 10 * kMiB), 0.0);
    EXPECT_TRUE(std::isinf(Downloader::estimateSecondsRemaining(0, 1.0, 0, 10 * kMiB)));
    EXPECT_TRUE(std::isnan(Downloader::estimateSecondsRemaining(0, 0.0, 0, 10 * kMiB)));

    test::ScopedEnv t("TMPDIR", "/var/folders/x y");
    EXPECT_EQ(Downloader::packagePath(), "/var/folders/x y/package.dmg");
    EXPECT_EQ(Downloader::fileURL("/var/folders/x y/p%q#\xc3\xa9.dmg"),
              "file:///var/folders/x%20y/p%25q%23%C3%A9.dmg");
}

}  // namespace
}  // namespace corvane
