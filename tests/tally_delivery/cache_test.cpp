// The offline cache's files: names, atomic stores, listing, renames, deletes, a missing folder.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "delivery_support.h"
#include "tally/vo_data_cache.h"
#include "tally/vo_log_util.h"

namespace tally {
namespace {

namespace fs = std::filesystem;
using test::DeliveryWorld;
using test::namesIn;

ByteBuffer bytes(std::string_view text) {
    return ByteBuffer(text.begin(), text.end());
}

TEST(CacheStore, PathsFollowTheNameSchemeAndSaveFileWritesTheWholeBatch) {
    DeliveryWorld world;
    ASSERT_FALSE(fs::exists(world.cacheDir()));
    EXPECT_EQ(VoDataCache::getDataDirectoryPath(), world.cacheDir().string());
    EXPECT_TRUE(fs::is_directory(world.cacheDir())) << "made on first use";
    EXPECT_EQ(VoDataCache::getCacheFilePath("pallo_tools_install", false, 1700000000, 0),
              world.cacheDir().string() + "/delay-1700000000-0-pallo_tools_install");
    EXPECT_EQ(VoDataCache::getCacheFilePath("t", true, 5, 6),
              world.cacheDir().string() + "/force-5-6-t");

    int64_t now = 1700000000;
    VoDataCache cache([&] { return now; });
    EXPECT_TRUE(cache.saveFile("pallo_tools_install", bytes("first"), false));
    EXPECT_TRUE(cache.saveFile("pallo_tools_install", bytes("second"), false));
    EXPECT_TRUE(cache.saveFile("pallo_tools_install", bytes("forced"), true));
    now += 1;
    EXPECT_TRUE(cache.saveFile("pallo_tools_install", ByteBuffer{}, false));

    // The same second's second batch replaced the first; no temporary file is left behind.
    const std::vector<std::string> expected = {"delay-1700000000-0-pallo_tools_install",
                                               "delay-1700000001-0-pallo_tools_install",
                                               "force-1700000000-0-pallo_tools_install"};
    EXPECT_EQ(namesIn(world.cacheDir()), expected);
    EXPECT_EQ(corvane::test::readFile(world.cacheDir() / expected[0]), "second");
    EXPECT_EQ(corvane::test::readFile(world.cacheDir() / expected[1]), "");
    EXPECT_EQ(corvane::test::readFile(world.cacheDir() / expected[2]), "forced");

    // A batch that cannot take its place is reported, and its temporary file goes.
    now += 1;
    fs::create_directories(world.cacheDir() / "delay-1700000002-0-t" / "in the way");
    EXPECT_FALSE(cache.saveFile("t", bytes("blocked"), false));
    auto blocked = expected;
    blocked.insert(blocked.begin() + 2, "delay-1700000002-0-t");
    EXPECT_EQ(namesIn(world.cacheDir()), blocked);
}

TEST(CacheStore, WithoutAFolderNothingIsStoredAnywhere) {
    DeliveryWorld world;
    fs::remove_all(world.home() / "Documents");
    const int64_t ts = 4102444800;  // a name that cannot be lying around at the root already
    VoDataCache cache([&] { return ts; });
    tally::ScopedVoLogCapture log;

    EXPECT_EQ(VoDataCache::getDataDirectoryPath(), "");
    EXPECT_EQ(VoDataCache::getCacheFilePath("t", false, ts, 0), "");
    EXPECT_FALSE(cache.saveFile("pallo_tools_install", bytes("batch"), false));
    EXPECT_FALSE(fs::exists("/delay-4102444800-0-pallo_tools_install"));
    EXPECT_FALSE(fs::exists(world.home() / "Documents")) << "parents are not made";

    EXPECT_TRUE(log.contains("[VoTally] Couldn't create the folder '" + world.cacheDir().string() +
                             "': No such file or directory"));
    EXPECT_TRUE(
        log.contains("[VoTally] VoDataFile => ERROR: no cache folder, batch of "
                     "table['pallo_tools_install'] not stored"));

    // A listing without a folder finds nothing and removes nothing.
    EXPECT_TRUE(cache.listCacheFiles().empty());
    EXPECT_FALSE(log.containsPrefix("[VoTally] VoDataFile => removeItem"));

    corvane::test::ScopedEnv noHome("HOME", std::nullopt);
    EXPECT_FALSE(cache.saveFile("t", bytes("batch"), true));
    EXPECT_TRUE(log.contains("[VoTally] VoDataCache => ERROR: no Documents folder for the cache"));
}

TEST(CacheListing, ParsesNamesAndRemovesForeignEntries) {
    DeliveryWorld world;
    const fs::path dir = world.cacheDir();
    for (const char* name : {"delay-100-0-pallo_tools_install", "force-200-3-pallo_public",
                             "delay--300--1-t", "delay-abc-x-t", "delay-300-0-my-table", "readme",
                             "sub/delay-1-0-t", "sub/deeper/x", "delay-5-0-dir/a-b"}) {
        corvane::test::writeFile(dir / name, "x");
    }
    const int64_t now = 1700000000;
    VoDataCache cache([&] { return now; });
    tally::ScopedVoLogCapture log;
    auto files = cache.listCacheFiles();
    std::sort(files.begin(), files.end(),
              [](const VoDataFile& a, const VoDataFile& b) { return a.filePath < b.filePath; });
    // Empty pieces dropped; a bad time reads as now, a bad count as 0; folders are looked into.
    const std::vector<std::tuple<std::string, std::string, bool, int64_t, int64_t>> expected = {
        {"delay--300--1-t", "t", false, 300, 1},
        {"delay-100-0-pallo_tools_install", "pallo_tools_install", false, 100, 0},
        {"delay-5-0-dir", "dir", false, 5, 0},
        {"delay-abc-x-t", "t", false, now, 0},
        {"force-200-3-pallo_public", "pallo_public", true, 200, 3}};
    ASSERT_EQ(files.size(), expected.size());
    for (size_t i = 0; i < files.size(); ++i) {
        const auto& [name, table, force, ts, retry] = expected[i];
        SCOPED_TRACE(name);
        EXPECT_EQ(files[i].filePath, dir.string() + "/" + name);
        EXPECT_EQ(files[i].tableName, table);
        EXPECT_EQ(files[i].isForce, force);
        EXPECT_EQ(files[i].ts, ts);
        EXPECT_EQ(files[i].retryCount, retry);
    }
    // Names without exactly four parts (a table name with "-", folders) are removed whole.
    EXPECT_EQ(namesIn(dir), (std::vector<std::string>{
                                "delay--300--1-t", "delay-100-0-pallo_tools_install",
                                "delay-5-0-dir", "delay-abc-x-t", "force-200-3-pallo_public"}));
    EXPECT_TRUE(namesIn(dir / "delay-5-0-dir").empty());
    for (const char* name : {"delay-300-0-my-table", "readme", "sub", "delay-5-0-dir/a-b"}) {
        EXPECT_TRUE(
            log.contains("[VoTally] VoDataFile => removeItem['" + dir.string() + "/" + name + "']"))
            << name;
    }
    EXPECT_FALSE(
        log.containsPrefix("[VoTally] VoDataFile => removeItem['" + dir.string() + "/sub/"))
        << "entries inside a removed folder are not listed one by one";
    EXPECT_TRUE(log.contains("[VoTally] VoDataFile => cache files count['5']"));
}

// Two batches of one table and second, one retried: moving the other onto it must fail.
TEST(CacheFiles, RetryRenameNeverReplacesAnotherBatch) {
    DeliveryWorld world;
    VoDataCache cache;
    const std::string dir = world.cacheDir().string() + "/";
    corvane::test::writeFile(dir + "delay-1700000000-0-t", "second");
    corvane::test::writeFile(dir + "delay-1700000000-1-t", "first");
    const auto file = [&](int64_t retry) {
        return VoDataFile("t", dir + "delay-1700000000-" + std::to_string(retry) + "-t", false,
                          1700000000, retry);
    };
    tally::ScopedVoLogCapture log;
    cache.updateRetryCount(file(0));
    EXPECT_EQ(corvane::test::readFile(dir + "delay-1700000000-0-t"), "second");
    EXPECT_EQ(corvane::test::readFile(dir + "delay-1700000000-1-t"), "first");

    cache.updateRetryCount(file(1));
    EXPECT_EQ(corvane::test::readFile(dir + "delay-1700000000-2-t"), "first");
    cache.deleteCacheFile(file(0));
    EXPECT_EQ(namesIn(dir), std::vector<std::string>{"delay-1700000000-2-t"});
    // The old names are gone now: both operations fail and say why.
    cache.updateRetryCount(file(1));
    cache.deleteCacheFile(file(1));
    const std::string error = "[VoTally] VoDataFile => ERROR: failed to ";
    EXPECT_EQ(log.lines(),
              (std::vector<std::string>{error + "rename!!! error:File exists",
                                        error + "rename!!! error:No such file or directory",
                                        error + "delete!!! error:No such file or directory"}));
}

}  // namespace
}  // namespace tally
