// RegEditer against real files: lookups, the write rules as input/expected pairs from
// tests/data/ini, refusals that must leave the file alone, and the atomic replace.
#include "setup/reg_editer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <filesystem>
#include <optional>
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
using Lines = std::vector<std::string>;

// Sorted names in `dir`.
Lines entriesOf(const fs::path& dir) {
    Lines names;
    for (const auto& e : fs::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

class RegEditerTest : public ::testing::Test {
  protected:
    std::string file(std::string_view contents, std::string_view name = "common.ini") {
        writeFile(mDir / name, contents);
        return (mDir / name).string();
    }

    TempDir mDir;
};

// An address with a "/" goes to the group lookup, a bare key to the plain one.
TEST_F(RegEditerTest, LookupsFollowTheGroupAndThePlainRules) {
    struct Case {
        const char* contents;
        const char* address;
        const char* expected;
    };
    const Case cases[] = {
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
        // The plain lookup takes the first key line anywhere.
        {"[a]\nk=1\n[b]\nk=2\n", "k", "1"},
        {"k=0\n[a]\nk=1\n", "k", "0"},
        {"[a]\nk=a=b\n", "k", "a=b"},
        {"[a]\nk = 1\n", "k", "default"},
        {"x\r\nk=v\r\n", "k", "v"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(std::string(c.contents)) + " " + c.address);
        const std::string path = file(c.contents);
        const bool group = std::string_view(c.address).find('/') != std::string_view::npos;
        EXPECT_EQ(group ? RegEditer::getIniValueWithGroup(c.address, "default", path)
                        : RegEditer::getIniValue(c.address, "default", path),
                  c.expected);
    }
}

TEST_F(RegEditerTest, LookupsInMissingUnreadableOrNonUtf8FilesGiveTheDefault) {
    const std::string missing = (mDir / "missing.ini").string();
    const std::string latin1 = file("[a]\nk=caf\xe9\n", "latin1.ini");
    const std::string folder = (mDir / "folder").string();
    fs::create_directory(folder);

    ScopedLogCapture log;
    for (const std::string& path : {missing, latin1, folder}) {
        EXPECT_EQ(RegEditer::getIniValueWithGroup("a/k", "d", path), "d") << path;
        EXPECT_EQ(RegEditer::getIniValue("k", "d", path), "d") << path;
    }
    const std::string failed = "Failed to read the file";
    EXPECT_EQ(
        log.lines(),
        (Lines{failed, "Error reading file: " + missing + ": No such file or directory", failed,
               "Error reading file: " + latin1 +
                   ": the text encoding of the file's contents could not be determined",
               failed, "Error reading file: " + folder + ": Is a directory"}));
    EXPECT_FALSE(fs::exists(missing));
}

TEST_F(RegEditerTest, AddressesWithoutExactlyOneSlashAreRejectedByBothGroupOperations) {
    const std::string path = file("[a]\nb=1\n");
    for (const char* address : {"a/b/c", "ab", "", "a//b"}) {
        ScopedLogCapture log;
        EXPECT_EQ(RegEditer::getIniValueWithGroup(address, "d", path), "d");
        EXPECT_FALSE(RegEditer::setIniValueWithGroup(address, "v", path));
        EXPECT_EQ(log.lines(), Lines(2, "Invalid format for groupName/key")) << address;
    }
    EXPECT_EQ(readFile(path), "[a]\nb=1\n");
}

TEST_F(RegEditerTest, WriteCasesFromDataFolder) {
    int cases = 0;
    for (const auto& entry : fs::directory_iterator(test::sourceDir() / "tests/data/ini")) {
        if (entry.path().extension() != ".op") {
            continue;
        }
        const std::string base = (entry.path().parent_path() / entry.path().stem()).string();
        SCOPED_TRACE(base);
        const std::string op = readFile(entry.path());
        const size_t tab = op.find('\t');
        ASSERT_NE(tab, std::string::npos);
        const std::string address = op.substr(0, tab);
        const std::string value = op.substr(tab + 1);

        const std::string path = file(readFile(base + ".in"));
        ScopedLogCapture log;
        EXPECT_TRUE(RegEditer::setIniValueWithGroup(address, value, path));
        EXPECT_EQ(readFile(path), readFile(base + ".expected"));
        EXPECT_EQ(RegEditer::getIniValueWithGroup(address, "default", path), value);
        EXPECT_EQ(log.lines(), Lines{"File updated successfully"});
        ++cases;
    }
    EXPECT_GE(cases, 15);
}

// A missing or unreadable file, and addresses or values whose lines the lookups would read
// differently ("k=x=v" is also the key line of "k", "[a]]" also opens "a", "[k=v]" is a
// header, a line break starts a line of its own): refused with one line, nothing written.
TEST_F(RegEditerTest, RefusedWritesLeaveTheFileAsItWas) {
    const std::string kAddress = "Invalid format for groupName/key";
    struct Case {
        std::optional<std::string> contents;  // none: no file at all
        std::string address, value, line;
    };
    std::vector<Case> cases = {
        {std::nullopt, "g/k", "v", "Failed to read the file"},
        {"[a]\nname=M\xfcller\n", "a/k", "v", "Failed to read the file"},
        {"[a]\n", "a/k", "caf\xe9", "Refused a value that is not valid UTF-8 for a/k"},
        {"[a]\n", "a]\n[b/k", "v", kAddress},
        {"[a]\n", "a/k\nx", "v", kAddress},
    };
    for (const char* address : {"a/k=x", "a]/k", "[a/k", "a/[k", "a/k]"}) {
        cases.push_back({"[a]\n", address, "v]", kAddress});
    }
    for (const char* value : {"1\n[evil]", "1\r\nx=2", "1\rx", "1\vx", "1\fx", "1\u0085x",
                              "1\u2028x", "1\u2029x", "\n"}) {
        cases.push_back({"[a]\nk=1\n", "a/k", value, "Refused a value with a line break for a/k"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.address + " = " + c.value));
        const TempDir dir;
        const fs::path path = dir / "reg/common.ini";
        if (c.contents) {
            writeFile(path, *c.contents);
        }
        ScopedLogCapture log;
        EXPECT_FALSE(RegEditer::setIniValueWithGroup(c.address, c.value, path.string()));
        EXPECT_EQ(log.lines(), Lines{c.line});
        if (c.contents) {
            EXPECT_EQ(readFile(path), *c.contents);
            Lines names = entriesOf(path.parent_path());
            std::erase(names, "common.ini.lock");  // kept on purpose, see below
            EXPECT_EQ(names, Lines{"common.ini"});
        } else {
            EXPECT_EQ(entriesOf(dir.path()), Lines{});
        }
    }
}

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
        EXPECT_EQ(log.lines(),
                  (Lines{"Failed to read the file: " + why, "Error reading file: " + why,
                         "Failed to read the file: " + why}));
    }
    EXPECT_EQ(fs::file_size(huge), RegEditer::kMaxFileSize + 1);
    EXPECT_EQ(entriesOf(mDir.path()), (Lines{"device.ini", "fifo.ini", "huge.ini"}));
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
    EXPECT_EQ(log.lines(),
              Lines{"Failed to write the file: " + path + ": larger than 1048576 bytes"});
    EXPECT_EQ(readFile(path), contents);
}

// Through a symbolic link the target is replaced, with its permission bits, and no temporary
// file stays. The lock file does: removing it could let two writers lock two different files.
TEST_F(RegEditerTest, WriteReplacesTheLinkTargetKeepingItsPermissions) {
    const std::string target = file("[a]\n", "real.ini");
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    const fs::path link = mDir / "common.ini";
    fs::create_symlink(target, link);
    ASSERT_TRUE(RegEditer::setIniValueWithGroup("a/k", "v", link.string()));
    EXPECT_TRUE(fs::is_symlink(link));
    EXPECT_EQ(readFile(target), "[a]\n\nk=v");
    struct stat st {};
    ASSERT_EQ(::stat(target.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(entriesOf(mDir.path()), (Lines{"common.ini", "common.ini.lock", "real.ini"}));
}

// A failed write (here: the file size limit, which stops root as well as anyone) leaves the old
// file whole and no temporary file behind.
TEST_F(RegEditerTest, FailedWriteLeavesOldFileWhole) {
    const std::string path = file("[a]\nk=old\n");
    struct rlimit old {};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = old;
    small.rlim_cur = 64;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
    ScopedLogCapture log;
    const bool written = RegEditer::setIniValueWithGroup("a/k", std::string(200, 'x'), path);
    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_FALSE(written);
    EXPECT_THAT(log.lines(), ::testing::ElementsAre(::testing::MatchesRegex(
                                 "Failed to write the file: .*: File too large")));
    EXPECT_EQ(readFile(path), "[a]\nk=old\n");
    EXPECT_EQ(entriesOf(mDir.path()), (Lines{"common.ini", "common.ini.lock"}));
}

// A reader running beside a writer only ever sees a whole file: each version is one key line
// whose value is a single repeated letter, so a torn read shows up as mixed letters.
TEST_F(RegEditerTest, ReaderNeverSeesAHalfWrittenFile) {
    constexpr size_t kSize = 16 * 1024;
    const std::string path = file("[a]\nk=" + std::string(kSize, 'a'));
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done.load()) {
            const std::string value = RegEditer::getIniValueWithGroup("a/k", "", path);
            if (value.size() != kSize || value.find_first_not_of(value.front()) != value.npos) {
                torn.fetch_add(1);
            }
        }
    });
    {
        ScopedLogCapture quiet;
        for (int i = 0; i < 40; ++i) {
            const char letter = static_cast<char>('a' + i % 26);
            EXPECT_TRUE(RegEditer::setIniValueWithGroup("a/k", std::string(kSize, letter), path));
        }
    }
    done.store(true);
    reader.join();
    EXPECT_EQ(torn.load(), 0);
}

}  // namespace
}  // namespace corvane
