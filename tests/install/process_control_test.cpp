// Finding, stopping, starting and opening Corvane's programs, with the stand-in executables
// really running in a simulated root.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <vector>

#include "platform/log.h"
#include "platform/process.h"
#include "setup/installer.h"
#include "sim_mac.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;
using test::SimMac;

// Starts an executable of the app in the background, as a login item would; its process id.
pid_t launch(const SimMac& sim, const std::string& name) {
    const std::string path = sim.executable(name).string();
    return SimMac::startMatching(Installer::shellQuote(path), path);
}

class ProcessControl : public ::testing::Test {
  protected:
    void SetUp() override { sim.makeApp("1.0.0"); }

    void launch(const std::string& name) { ASSERT_GT(corvane::launch(sim, name), 0) << name; }
    [[nodiscard]] size_t running(const std::string& name) const {
        return test::SimMac::processesMatching(sim.executable(name).string()).size();
    }

    test::SimMac sim;
};

TEST_F(ProcessControl, NothingRunningIsReportedAsAnErrorAndFalse) {
    launch("sentinel");  // a background process does not count as using Corvane
    ScopedLogCapture log;
    EXPECT_FALSE(Installer::checkIfUsingNow());
    EXPECT_TRUE(log.contains("checkIfUsingNow An error occurred"));
    EXPECT_TRUE(log.contains("task terminationStatus 1"));
}

TEST_F(ProcessControl, RunningReaderOrConverterIsFound) {
    launch("transcoder");
    ScopedLogCapture log;
    EXPECT_TRUE(Installer::checkIfUsingNow());
    EXPECT_FALSE(log.contains("checkIfUsingNow An error occurred"));
}

TEST_F(ProcessControl, StartUseOpensTheReaderDetached) {
    ScopedLogCapture log;
    EXPECT_TRUE(Installer::startUse());
    EXPECT_TRUE(test::SimMac::waitForCount(sim.executable("viewerapp").string(), 1));
    EXPECT_TRUE(Installer::checkIfUsingNow());
    EXPECT_FALSE(log.contains("open An error occurred"));
}

TEST_F(ProcessControl, StartUseWithoutTheAppFails) {
    std::filesystem::remove_all(sim.app());
    ScopedLogCapture log;
    EXPECT_FALSE(Installer::startUse());
    EXPECT_TRUE(log.contains("open An error occurred"));
}

TEST_F(ProcessControl, ShutDownStopsOnlyTheBackgroundProcesses) {
    launch("sentinel");
    launch("transcodeaide");
    launch("enginesvc");
    launch("viewerapp");
    ScopedLogCapture log;
    Installer::shutDownServices();
    EXPECT_FALSE(log.contains("shutDownServices An error occurred"));
    EXPECT_TRUE(test::SimMac::waitForCount(sim.executable("sentinel").string(), 0));
    EXPECT_TRUE(test::SimMac::waitForCount(sim.executable("transcodeaide").string(), 0));
    EXPECT_TRUE(test::SimMac::waitForCount(sim.executable("enginesvc").string(), 0));
    EXPECT_EQ(running("viewerapp"), 1u);
}

TEST_F(ProcessControl, ShutDownWithNothingRunningSignalsNothingAndLogsNoError) {
    launch("viewerapp");
    ScopedLogCapture log;
    Installer::shutDownServices();
    EXPECT_TRUE(log.contains("task terminationStatus 0"));
    EXPECT_FALSE(log.contains("shutDownServices An error occurred"));
    EXPECT_EQ(running("viewerapp"), 1u);
}

TEST_F(ProcessControl, ResumeStartsTheProtectionServiceInTheBackground) {
    ScopedLogCapture log;
    Installer::resumeServices();
    EXPECT_FALSE(log.contains("resumeServices sentinel error occurred"));
    EXPECT_TRUE(log.contains("task terminationStatus 0"));
    EXPECT_TRUE(test::SimMac::waitForCount(sim.executable("sentinel").string() + " /start", 1));
    // And the shut-down finds it again.
    Installer::shutDownServices();
    EXPECT_TRUE(test::SimMac::waitForCount(sim.executable("sentinel").string(), 0));
}

TEST_F(ProcessControl, CommandLinesQuoteEveryPath) {
    const std::string app = sim.app().string();
    EXPECT_EQ(Installer::startUseCommand(), "open -a '" + app + "'");
    EXPECT_EQ(Installer::resumeServicesCommand(), "'" + app + "/Contents/MacOS/sentinel' /start &");
    // The temporary root holds no character that is special in a regular expression.
    const std::string re = "^" + sim.root().string() + "/Applications/Corvane\\.app/Contents/";
    EXPECT_EQ(Installer::shutDownServicesCommand(),
              "pgrep -lf '" + re + "MacOS/sentinel( |$)|" + re + "MacOS/transcodeaide( |$)|" + re +
                  "MacOS/enginesvc( |$)' | awk '{print $1}' | xargs kill");
    const std::string cmd = Installer::checkIfUsingNowCommand();
    EXPECT_EQ(cmd.rfind("pgrep -lf '" + re + "MacOS/viewerapp( |$)|", 0), 0u);
    EXPECT_NE(cmd.find("|" + re + "MacOS_SymLink/perkpanel( |$)'"), std::string::npos);
}

// Processes that merely look like Corvane's programs are neither reported as running nor
// stopped, while the programs themselves still are.
TEST_F(ProcessControl, OnlyTheProgramsThemselvesMatch) {
    const std::string macos = (sim.app() / "Contents/MacOS").string();
    // A second copy in a folder whose path ends with the installed one's, as
    // ~/Applications/Corvane.app does on a Mac.
    const fs::path copy = sim.home().string() + sim.app().string();
    sim.makeApp("1.0.0", copy);
    const std::string copyMacos = (copy / "Contents/MacOS").string();
    test::writeFile(macos + "/viewerapp.log", "");
    test::writeFile(macos + "/sentinel.log", "");
    const auto q = [](const std::string& s) { return Installer::shellQuote(s); };
    struct LookAlike {
        const char* what;
        std::string command;
        std::string needle;
    };
    const std::vector<LookAlike> lookAlikes = {
        {"reader's log followed", "tail -f " + q(macos + "/viewerapp.log"), "viewerapp.log"},
        {"service's log followed", "tail -f " + q(macos + "/sentinel.log"), "sentinel.log"},
        {"reader of a second copy", q(copyMacos + "/viewerapp"), copyMacos + "/viewerapp"},
        {"service of a second copy", q(copyMacos + "/sentinel"), copyMacos + "/sentinel"},
        {"sibling named like the converter",
         "exec -a " + q(macos + "/transcoder-helper") + " sleep 300", "transcoder-helper"},
        {"sibling named like the engine", "exec -a " + q(macos + "/enginesvc.old") + " sleep 300",
         "enginesvc.old"},
    };
    const pid_t service = corvane::launch(sim, "sentinel");
    ASSERT_GT(service, 0);
    std::vector<pid_t> pids;
    for (const auto& l : lookAlikes) {
        pids.push_back(SimMac::startMatching(l.command, l.needle));
        ASSERT_GT(pids.back(), 0) << l.what;
    }

    EXPECT_FALSE(Installer::checkIfUsingNow());
    Installer::shutDownServices();
    EXPECT_TRUE(SimMac::waitGone(service));
    for (size_t i = 0; i < pids.size(); ++i) {
        SCOPED_TRACE(lookAlikes[i].what);
        EXPECT_TRUE(SimMac::alive(pids[i]));
    }
    launch("perkpanel");
    EXPECT_TRUE(Installer::checkIfUsingNow());
}

// A root whose path holds characters that mean something in a regular expression is matched as
// the text it is.
TEST(ProcessControlPaths, RegularExpressionCharactersInThePathAreLiteral) {
    SimMac sim("mac.os+(1)");
    sim.makeApp("1.0.0");
    EXPECT_FALSE(Installer::checkIfUsingNow());
    ASSERT_GT(launch(sim, "viewerapp"), 0);
    const pid_t service = launch(sim, "enginesvc");
    ASSERT_GT(service, 0);
    EXPECT_TRUE(Installer::checkIfUsingNow());
    Installer::shutDownServices();
    EXPECT_TRUE(SimMac::waitGone(service));
}

}  // namespace
}  // namespace corvane
