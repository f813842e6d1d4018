// The command runner: statuses, merged and large output, background children, bad output, a
// command that cannot start, the time-out, and quoting that survives zsh.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <fstream>
#include <string>

#include "platform/log.h"
#include "setup/installer.h"
#include "sim_mac.h"

namespace corvane {
namespace {

using namespace std::chrono_literals;
using platform::ScopedLogCapture;
using test::SimMac;

bool alive(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    if (!std::getline(in, stat)) {
        return false;
    }
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST(CommandRunner, ExitStatusDecidesAndIsLogged) {
    ScopedLogCapture log;
    EXPECT_TRUE(Installer::executeCMD({"-c", "exit 0"}));
    EXPECT_TRUE(log.contains("task terminationStatus 0"));
    EXPECT_FALSE(Installer::executeCMD({"-c", "exit 3"}));
    EXPECT_TRUE(log.contains("task terminationStatus 3"));
}

TEST(CommandRunner, OutputIsMergedAndOnlyKeptOnSuccess) {
    std::optional<std::string> out;
    ASSERT_TRUE(Installer::executeCMD({"-c", "echo out; echo err >&2"}, out));
    EXPECT_EQ(out, "out\nerr\n");

    std::optional<std::string> untouched = std::string("before");
    EXPECT_FALSE(Installer::executeCMD({"-c", "echo something; exit 1"}, untouched));
    EXPECT_EQ(untouched, "before");
    std::optional<std::string> absent;
    EXPECT_FALSE(Installer::executeCMD({"-c", "echo something; exit 1"}, absent));
    EXPECT_FALSE(absent.has_value());
}

TEST(CommandRunner, OutputLargerThanAPipeCompletes) {
    std::optional<std::string> out;
    ASSERT_TRUE(Installer::executeCMD({"-c", "head -c 1000000 /dev/zero | tr '\\0' a"}, out));
    ASSERT_TRUE(out.has_value());
    EXPECT_EQ(out->size(), 1000000u);
    EXPECT_EQ(out->find_first_not_of('a'), std::string::npos);
    EXPECT_TRUE(Installer::executeCMD({"-c", "head -c 1000000 /dev/zero"}));
}

TEST(CommandRunner, ReturnsWhileABackgroundChildHoldsThePipe) {
    std::optional<std::string> out;
    ASSERT_TRUE(Installer::executeCMD({"-c", "sleep 60 & echo $!"}, out));
    ASSERT_TRUE(out.has_value());
    const pid_t child = static_cast<pid_t>(std::stol(*out));
    EXPECT_TRUE(alive(child));
    ::kill(child, SIGKILL);
}

TEST(CommandRunner, OutputThatIsNotUtf8IsAbsent) {
    std::optional<std::string> out = std::string("stale");
    EXPECT_TRUE(Installer::executeCMD({"-c", "printf '\\377\\376ok'"}, out));
    EXPECT_FALSE(out.has_value());
    std::optional<std::string> text;
    EXPECT_TRUE(Installer::executeCMD({"-c", "printf 'caf\\303\\251 \\344\\270\\255'"}, text));
    EXPECT_EQ(text, "caf\xc3\xa9 \xe4\xb8\xad");
}

TEST(CommandRunner, ShellThatCannotStartFailsWithoutAStatusLine) {
    test::TempDir emptyRoot;  // no bin/zsh inside
    test::ScopedEnv root("CORVANE_SIM_ROOT", emptyRoot.str());
    ScopedLogCapture log;
    std::optional<std::string> out;
    EXPECT_FALSE(Installer::executeCMD({"-c", "true"}));
    EXPECT_FALSE(Installer::executeCMD({"-c", "true"}, out));
    EXPECT_FALSE(log.containsPrefix("task terminationStatus"));
}

TEST(CommandRunner, StandardInputIsEmpty) {
    std::optional<std::string> out;
    ASSERT_TRUE(Installer::executeCMD({"-c", "cat; echo done"}, out));
    EXPECT_EQ(out, "done\n");
}

TEST(CommandRunner, TimeOutKillsTheWholeCommandAndFails) {
    test::TempDir dir;
    const auto pidFile = dir / "pid";
    ScopedLogCapture log;
    EXPECT_FALSE(Installer::executeCMD(
        {"-c", "sleep 60 & echo $! > " + Installer::shellQuote(pidFile.string()) + "; wait"},
        500ms));
    EXPECT_TRUE(log.containsPrefix("command timed out after"));
    const pid_t child = static_cast<pid_t>(std::stol(test::readFile(pidFile)));
    for (int i = 0; i < 100 && alive(child); ++i) {
        std::this_thread::sleep_for(20ms);
    }
    EXPECT_FALSE(alive(child));
    EXPECT_GE(Installer::kCommandTimeout, std::chrono::minutes(5));
}

TEST(ShellQuote, EveryCharacterSurvivesZsh) {
    for (const std::string s :
         {"plain", "with space", "it's", "'", "''", "$HOME", "`id`", "$(id)", "a\"b", "back\\slash",
          "*?[glob]", "new\nline", "semi;colon&amp|pipe", "~user", "!bang", "", "-n"}) {
        std::optional<std::string> out;
        ASSERT_TRUE(Installer::executeCMD({"-c", "printf %s " + Installer::shellQuote(s)}, out))
            << s;
        EXPECT_EQ(out, s);
    }
    EXPECT_EQ(Installer::shellQuote("it's"), "'it'\\''s'");
}

class OsArch : public ::testing::Test {
  protected:
    SimMac sim;
};

TEST_F(OsArch, AppleSiliconChoosesArm) {
    test::ScopedEnv arch("CORVANE_SIM_ARCH", "arm64");
    ScopedLogCapture log;
    EXPECT_EQ(Installer::checkOSArch(), OS_TYPE::arm);
    EXPECT_TRUE(log.contains("Check OS version Optional(\"arm64\\n\")"));
    EXPECT_TRUE(log.contains("choose version arm"));
}

TEST_F(OsArch, IntelChoosesX86) {
    test::ScopedEnv arch("CORVANE_SIM_ARCH", "x86_64");
    ScopedLogCapture log;
    EXPECT_EQ(Installer::checkOSArch(), OS_TYPE::x86);
    EXPECT_TRUE(log.contains("choose version x86"));
}

TEST_F(OsArch, UnknownOrFailingUnameIsUndetermined) {
    {
        test::ScopedEnv arch("CORVANE_SIM_ARCH", "ppc");
        EXPECT_EQ(Installer::checkOSArch(), OS_TYPE::undetermined);
    }
    // A uname that fails: the runner leaves the output absent.
    test::TempDir bin;
    test::writeFile(bin / "uname", "#!/bin/sh\necho x86_64\nexit 1\n");
    std::filesystem::permissions(bin / "uname", std::filesystem::perms::owner_all);
    test::ScopedEnv path("PATH", bin.str() + ":" + std::getenv("PATH"));
    ScopedLogCapture log;
    EXPECT_EQ(Installer::checkOSArch(), OS_TYPE::undetermined);
    EXPECT_TRUE(log.contains("Check OS version nil"));
    EXPECT_FALSE(log.containsPrefix("choose version"));
}

}  // namespace
}  // namespace corvane
