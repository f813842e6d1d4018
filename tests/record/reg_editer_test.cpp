// RegEditer against real files: lookups, the write rules as input/expected pairs from
// tests/data/ini, refusals that must leave the file alone, and the atomic replace.
#include "setup/reg_editer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "support/test_support.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::readFile;
using test::TempDir;
using test::writeFile;

class RegEditerTest : public ::testing::Test {
  protected:
    std::string file(std::string_view contents, std::string_view name = "common.ini") {
        const fs::path p = mDir / name;
        writeFile(p, contents);
        return p.string();
    }
    // Sorted names in the folder.
    std::vector<std::string> entries() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(mDir.path())) {
            names.push_back(e.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    TempDir mDir;
};

// ---- Lookups ----

struct LookupCase {
    const char* contents;
    const char* address;  // "group/key" for the group lookup, a bare key for the plain one
    const char* expected;
};

TEST_F(RegEditerTest, GroupLookupFindsKeysOnlyWhileTheirGroupIsOpen) {
    const LookupCase cases[] = {
        {"[a]\nk=1\n[b]\nk=2\n", "b/k", "2"},
        {"[a]\nk=1\n[b]\nk=2\n", "a/k", "1"},
        {"[a]\nk=1\n[b]\nk=2\n", "c/k", "default"},
        // The group ends at the next header.
        {"[a]\nx=1\n[b]\nk=2\n", "a/k", "default"},
        // Opened by any line that merely contains the bracketed name.
        {"; see [product]\nversion=1.0\n", "product/version", "1.0"},
        // An indented header is not a header, so it does not close the group.
        {"[a]\n [b]\nk=1\n", "a/k", "1"},
        // Key lines match literally: no trimming.
        {"[a]\nk = 1\n k=2\n", "a/k", "default"},
        {"[a]\nk=\n", "a/k", ""},
        // Everything after the key's "=" is the value, exactly as a write stored it.
        {"[a]\nk=x=y=z\n", "a/k", "x=y=z"},
        {"[a]\r\nk=crlf\r\n", "a/k", "crlf"},
        {"[a]\u2028k=ls\u2029", "a/k", "ls"},
        {"[a]\nK=1\n", "a/k", "default"},
        {"[产品]\n名称=值\n", "产品/名称", "值"},
        {"", "a/k", "default"},
    };
    for (const LookupCase& c : cases) {
        const std::string path = file(c.contents);
        EXPECT_EQ(RegEditer::getIniValueWithGroup(c.address, "default", path), c.expected)
            << "file " << ::testing::PrintToString(std::string(c.contents)) << " address "
            << c.address;
    }
}

TEST_F(RegEditerTest, PlainLookupTakesTheFirstKeyLineAnywhere) {
    const LookupCase cases[] = {
        {"[a]\nk=1\n[b]\nk=2\n", "k", "1"},
        {"k=0\n[a]\nk=1\n", "k", "0"},
        {"[product]\ngenerated=1\n", "generated", "1"},
        {"[a]\nk=a=b\n", "k", "a=b"},
        {"[a]\nk = 1\n", "k", "default"},
        {"[a]\nk=\n", "k", ""},
        {"x\r\nk=v\r\n", "k", "v"},
        {"[a]\n", "k", "default"},
    };
    for (const LookupCase& c : cases) {
        const std::string path = file(c.contents);
        EXPECT_EQ(RegEditer::getIniValue(c.address, "default", path), c.expected)
            << "file " << ::testing::PrintToString(std::string(c.contents)) << " key " << c.address;
    }
}

TEST_F(RegEditerTest, StoredValueWithEqualsReadsBackWholeThroughBothLookups) {
    const std::string path = file("[product]\n");
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("product/token", "a=b==c=", path));
    EXPECT_EQ(RegEditer::getIniValueWithGroup("product/token", "", path), "a=b==c=");
    EXPECT_EQ(RegEditer::getIniValue("token", "", path), "a=b==c=");
}

TEST_F(RegEditerTest, LookupsInMissingUnreadableOrNonUtf8FilesGiveTheDefault) {
    const std::string missing = (mDir / "missing.ini").string();
    const std::string latin1 = file("[a]\nk=caf\xe9\n", "latin1.ini");
    const std::string folder = (mDir / "folder").string();
    fs::create_directory(folder);

    ScopedLogCapture log;
    EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "d", missing), "d");
    EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "d", latin1), "d");
    EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "d", folder), "d");
    EXPECT_EQ(log.lines(), std::vector<std::string>(3, "Failed to read the file"));

    log.clear();
    EXPECT_EQ(RegEditer::getIniValue("k", "d", missing), "d");
    EXPECT_EQ(RegEditer::getIniValue("k", "d", latin1), "d");
    EXPECT_EQ(RegEditer::getIniValue("k", "d", folder), "d");
    const auto lines = log.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Error reading file: " + missing + ": No such file or directory");
    EXPECT_TRUE(lines[1].starts_with("Error reading file: " + latin1 + ": "));
    EXPECT_EQ(lines[2], "Error reading file: " + folder + ": Is a directory");
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(RegEditerTest, AddressesWithoutExactlyOneSlashAreRejectedByBothGroupOperations) {
    const std::string contents = "[a]\nb=1\n";
    const std::string path = file(contents);
    for (const char* address : {"a/b/c", "ab", "", "a//b"}) {
        ScopedLogCapture log;
        EXPECT_EQ(RegEditer::getIniValueWithGroup(address, "d", path), "d");
        EXPECT_FALSE(RegEditer::setIniValueWithGroup(address, "v", path));
        EXPECT_EQ(log.lines(), std::vector<std::string>(2, "Invalid format for groupName/key"))
            << address;
    }
    EXPECT_EQ(readFile(path), contents);
}

// ---- Writes: input/expected pairs ----

TEST_F(RegEditerTest, WriteCasesFromDataFolder) {
    const fs::path dataDir = test::sourceDir() / "tests/data/ini";
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(dataDir)) {
        if (entry.path().extension() != ".op") {
            continue;
        }
        const fs::path base = entry.path().parent_path() / entry.path().stem();
        const std::string op = readFile(entry.path());
        const size_t tab = op.find('\t');
        ASSERT_NE(tab, std::string::npos) << entry.path();
        const std::string address = op.substr(0, tab);
        const std::string value = op.substr(tab + 1);

        const std::string path = file(readFile(base.string() + ".in"));
        ScopedLogCapture log;
        EXPECT_TRUE(RegEditer::setIniValueWithGroup(address, value, path)) << base;
        EXPECT_EQ(readFile(path), readFile(base.string() + ".expected")) << base;
        EXPECT_EQ(RegEditer::getIniValueWithGroup(address, "default", path), value) << base;
        EXPECT_EQ(log.lines(), std::vector<std::string>{"File updated successfully"}) << base;
        ++cases;
    }
    EXPECT_GE(cases, 15);
}

TEST_F(RegEditerTest, WrittenFileReadsBackThroughBothLookups) {
    const std::string path = file("; shared settings\n[other]\nversion=9\n\n[product]\n");
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("product/version", "1.0.0.1", path));
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("product/tid1", "-5", path));
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("product/version", "2.0", path));
    EXPECT_EQ(RegEditer::getIniValueWithGroup("product/version", "", path), "2.0");
    EXPECT_EQ(RegEditer::getIniValueWithGroup("other/version", "", path), "9");
    EXPECT_EQ(RegEditer::getIniValueWithGroup("product/tid1", "", path), "-5");
    EXPECT_EQ(readFile(path),
              "; shared settings\n[other]\nversion=9\n\n[product]\n\nversion=2.0\ntid1=-5");
}

// ---- Writes that must not happen ----

TEST_F(RegEditerTest, MissingFileIsNeverCreated) {
    const std::string path = (mDir / "reg/common.ini").string();
    ScopedLogCapture log;
    EXPECT_FALSE(RegEditer::setIniValueWithGroup("g/k", "v", path));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to read the file"});
    EXPECT_FALSE(fs::exists(path));
    EXPECT_FALSE(fs::exists(mDir / "reg"));
}

TEST_F(RegEditerTest, NonUtf8FileIsLeftAsItWas) {
    const std::string contents = "[a]\nname=M\xfcller\n";
    const std::string path = file(contents);
    ScopedLogCapture log;
    EXPECT_FALSE(RegEditer::setIniValueWithGroup("a/k", "v", path));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to read the file"});
    EXPECT_EQ(readFile(path), contents);
}

TEST_F(RegEditerTest, ValueWithAnyLineBreakIsRefusedAndNothingIsWritten) {
    const std::string contents = "[product]\nversion=1.0\n";
    const std::string path = file(contents);
    for (const char* value : {"1\n[evil]", "1\r\nx=2", "1\rx", "1\vx", "1\fx", "1\u0085x",
                              "1\u2028x", "1\u2029x", "\n"}) {
        ScopedLogCapture log;
        EXPECT_FALSE(RegEditer::setIniValueWithGroup("product/version", value, path));
        EXPECT_EQ(log.lines(), std::vector<std::string>{
                                   "Refused a value with a line break for product/version"});
    }
    EXPECT_EQ(readFile(path), contents);
    EXPECT_EQ(entries(), std::vector<std::string>{"common.ini"});
}

TEST_F(RegEditerTest, AddressOrValueThatWouldBreakTheFileIsRefused) {
    const std::string contents = "[a]\n";
    const std::string path = file(contents);
    ScopedLogCapture log;
    EXPECT_FALSE(RegEditer::setIniValueWithGroup("a]\n[b/k", "v", path));
    EXPECT_FALSE(RegEditer::setIniValueWithGroup("a/k\nx", "v", path));
    EXPECT_FALSE(RegEditer::setIniValueWithGroup("a/k", "caf\xe9", path));
    // Lines the lookups would read differently: "k=x=v" is also the key line of "k", "[a]]"
    // also opens "a", and "[k=v]" is a section header.
    for (const char* address : {"a/k=x", "a]/k", "[a/k", "a/[k", "a/k]"}) {
        EXPECT_FALSE(RegEditer::setIniValueWithGroup(address, "v]", path)) << address;
    }
    EXPECT_EQ(log.lines(), (std::vector<std::string>{
                               "Invalid format for groupName/key",
                               "Invalid format for groupName/key",
                               "Refused a value that is not valid UTF-8 for a/k",
                               "Invalid format for groupName/key",
                               "Invalid format for groupName/key",
                               "Invalid format for groupName/key",
                               "Invalid format for groupName/key",
                               "Invalid format for groupName/key",
                           }));
    EXPECT_EQ(readFile(path), contents);
}

// ---- Files that are not settings files ----

// A FIFO would block the open, a device would feed bytes for ever, a huge file would only cost
// memory: all are refused at once, lookups give the default and nothing is written.
TEST_F(RegEditerTest, FifoDeviceAndHugeFileAreRefused) {
    const fs::path fifo = mDir / "fifo.ini";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0644), 0);
    const fs::path device = mDir / "device.ini";
    fs::create_symlink("/dev/zero", device);
    const fs::path huge = file("[a]\nk=1\n", "huge.ini");
    fs::resize_file(huge, RegEditer::kMaxFileSize + 1);
    const std::pair<fs::path, std::string> cases[] = {
        {fifo, "not a regular file"},
        {device, "not a regular file"},
        {huge, "larger than 1048576 bytes"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.string());
        const std::string why = path.string() + ": " + reason;
        ScopedLogCapture log;
        EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "d", path), "d");
        EXPECT_EQ(RegEditer::getIniValue("k", "d", path), "d");
        EXPECT_FALSE(RegEditer::setIniValueWithGroup("a/k", "v", path));
        EXPECT_EQ(log.lines(), (std::vector<std::string>{"Failed to read the file: " + why,
                                                         "Error reading file: " + why,
                                                         "Failed to read the file: " + why}));
    }
    EXPECT_EQ(fs::file_size(huge), RegEditer::kMaxFileSize + 1);
    EXPECT_EQ(entries(), (std::vector<std::string>{"device.ini", "fifo.ini", "huge.ini"}));
}

// Exactly the bound is still a settings file; a write that would grow it past the bound is
// refused, since nothing could read the result back.
TEST_F(RegEditerTest, FileAtTheBoundIsReadButNotGrownPastIt) {
    std::string contents = "[a]\nk=1\n";
    contents.resize(RegEditer::kMaxFileSize, '#');
    const std::string path = file(contents);
    EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "d", path), "1");
    ScopedLogCapture log;
    EXPECT_FALSE(RegEditer::setIniValueWithGroup("a/k", "12", path));
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to write the file: " + path +
                                                    ": larger than 1048576 bytes"});
    EXPECT_EQ(readFile(path), contents);
}

// ---- Writers' lock ----

// Another program (Corvane) holding the lock for ever: the write gives up after the bound, says
// so and leaves the file alone; once the lock is free, writes go through again.
TEST_F(RegEditerTest, HeldLockMakesTheWriteGiveUpAndWriteNothing) {
    const std::string contents = "[a]\nk=1\n";
    const std::string path = file(contents);
    const std::string lockPath = path + std::string(RegEditer::kLockSuffix);
    const int holder = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);
    {
        ScopedLogCapture log;
        EXPECT_FALSE(RegEditer::setIniValueWithGroup("a/k", "2", path));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"Failed to write the file: " + lockPath +
                                                        ": another writer held the lock for "
                                                        "more than 3 seconds"});
    }
    EXPECT_EQ(readFile(path), contents);
    ::close(holder);
    ScopedLogCapture quiet;
    EXPECT_TRUE(RegEditer::setIniValueWithGroup("a/k", "2", path));
    EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "", path), "2");
}

// ---- Atomic replace ----

TEST_F(RegEditerTest, WriteKeepsPermissionsAndLeavesNoTemporaryFile) {
    const std::string path = file("[a]\n");
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("a/k", "v", path));
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    // The lock file stays: removing it could let two writers lock two different files.
    EXPECT_EQ(entries(), (std::vector<std::string>{"common.ini", "common.ini.lock"}));
}

TEST_F(RegEditerTest, WriteThroughSymlinkReplacesItsTarget) {
    const std::string target = file("[a]\n", "real.ini");
    const fs::path link = mDir / "link.ini";
    fs::create_symlink(target, link);
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("a/k", "v", link.string()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target), "[a]\n\nk=v");
}

// A failed write (here: the file size limit, which stops root as well as anyone) leaves the old
// file whole and no temporary file behind.
TEST_F(RegEditerTest, FailedWriteLeavesOldFileWhole) {
    const std::string contents = "[a]\nk=old\n";
    const std::string path = file(contents);
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    bool written = true;
    {
        ScopedLogCapture log;
        written = RegEditer::setIniValueWithGroup("a/k", std::string(200, 'x'), path);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, oldHandler);
        ASSERT_EQ(log.lines().size(), 1u);
        EXPECT_TRUE(log.lines()[0].starts_with("Failed to write the file: ")) << log.lines()[0];
        EXPECT_TRUE(log.lines()[0].ends_with("File too large")) << log.lines()[0];
    }
    EXPECT_FALSE(written);
    EXPECT_EQ(readFile(path), contents);
    EXPECT_EQ(entries(), (std::vector<std::string>{"common.ini", "common.ini.lock"}));
}

// A reader running beside a writer only ever sees a whole file: each version is one key line
// whose value is a single repeated letter, so a torn read shows up as mixed letters.
TEST_F(RegEditerTest, ReaderNeverSeesAHalfWrittenFile) {
    const std::string path = file("[a]\nk=" + std::string(16 * 1024, 'a'));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::string value = RegEditer::getIniValueWithGroup("a/k", "", path);
            if (value.size() != 16 * 1024 ||
                value.find_first_not_of(value.front()) != std::string::npos) {
                torn.fetch_add(1);
            }
        }
    });
    {
        ScopedLogCapture quiet;
        for (int i = 0; i < 40; ++i) {
            const char letter = static_cast<char>('a' + i % 26);
            EXPECT_TRUE(
                RegEditer::setIniValueWithGroup("a/k", std::string(16 * 1024, letter), path));
        }
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace corvane
