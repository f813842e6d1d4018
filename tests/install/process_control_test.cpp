// Finding, stopping, starting and opening Corvane's programs, with the stand-in executables
// really running in a simulated root.
#include <gtest/gtest.h>

#include <chrono>

#include "platform/log.h"
#include "platform/process.h"
#include "setup/installer.h"
#include "sim_mac.h"

namespace corvane {
namespace {

using platform::ScopedLogCapture;

class ProcessControl : public ::testing::Test {
  protected:
    void SetUp() override { sim.makeApp("1.0.0"); }

    // Starts an executable of the app in the background, as a login item would.
    void launch(const std::string& name) {
        const auto r = platform::runProcess(
            "/bin/sh", {"-c", Installer::shellQuote(sim.executable(name).string()) + " &"});
        ASSERT_TRUE(r.succeeded());
        ASSERT_TRUE(test::SimMac::waitForCount(sim.executable(name).string(), 1));
    }
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
    EXPECT_EQ(Installer::shutDownServicesCommand(),
              "pgrep -lf '" + app + "/Contents/MacOS/sentinel|" + app +
                  "/Contents/MacOS/transcodeaide|" + app +
                  "/Contents/MacOS/enginesvc' | awk '{print $1}' | xargs kill");
    const std::string cmd = Installer::checkIfUsingNowCommand();
    EXPECT_EQ(cmd.rfind("pgrep -lf '", 0), 0u);
    EXPECT_NE(cmd.find(app + "/Contents/MacOS_SymLink/perkpanel'"), std::string::npos);
}

}  // namespace
}  // namespace corvane
