#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "platform/paths.h"
#include "platform/process.h"
#include "support/test_support.h"

namespace corvane::platform {
namespace {

namespace fs = std::filesystem;
using test::ScopedEnv;

TEST(Paths, MacPathsFollowTheSimulatedRootHomeAndEnvironment) {
    ScopedEnv root("CORVANE_SIM_ROOT", "/sim/root/");
    EXPECT_EQ(simRoot(), "/sim/root");
    EXPECT_EQ(macPath("/Applications/Corvane.app"), "/sim/root/Applications/Corvane.app");
    ScopedEnv home("HOME", "/Users/tester");
    EXPECT_EQ(homeDirectory(), "/Users/tester");
    EXPECT_EQ(applicationSupportDirectory().value(), "/Users/tester/Library/Application Support");
    EXPECT_EQ(documentsDirectory().value(), "/Users/tester/Documents");
    ScopedEnv tmp("TMPDIR", "/var/folders/xy/T/");
    EXPECT_EQ(temporaryDirectory(), "/var/folders/xy/T");
    ScopedEnv base("CORVANE_PACKAGE_BASE", "https://127.0.0.1:8443/");
    EXPECT_EQ(packageServerBase(), "https://127.0.0.1:8443");

    ScopedEnv noRoot("CORVANE_SIM_ROOT", std::nullopt);
    EXPECT_EQ(macPath("/usr/bin/ditto"), "/usr/bin/ditto");
    ScopedEnv noHome("HOME", "");
    EXPECT_FALSE(applicationSupportDirectory().has_value());
    ScopedEnv noTmp("TMPDIR", std::nullopt);
    EXPECT_EQ(temporaryDirectory(), "/tmp");
}

TEST(Paths, ResourcesAreFoundByFileNameInTheBundle) {
    test::TempDir dir;
    const auto bundle = dir / "Corvane_v2.1.0.5_ab12_101.202.3.4.app";
    test::writeFile(bundle / "Contents/Resources/vfmt.dat", "t:1 a:int\n");
    ScopedEnv env("CORVANE_BUNDLE", bundle.string());
    EXPECT_EQ(bundlePath(), bundle.string());
    EXPECT_EQ(resourcePath("vfmt.dat").value(), (bundle / "Contents/Resources/vfmt.dat").string());
    EXPECT_FALSE(resourcePath("vctrl.dat").has_value());
    EXPECT_FALSE(resourcePath("../Resources/vfmt.dat").has_value());
}

// Without CORVANE_BUNDLE a program finds its bundle from its own place: a copy of this test
// program inside X.app/Contents/MacOS, run with CORVANE_TEST_PRINT_BUNDLE, prints what it found.
TEST(Paths, BundleIsWhereTheProgramSits) {
    ScopedEnv none("CORVANE_BUNDLE", std::nullopt);
    if (std::getenv("CORVANE_TEST_PRINT_BUNDLE") != nullptr) {
        std::cout << "BUNDLE=" << bundlePath() << "\n";
        return;
    }
    EXPECT_EQ(bundlePath(), fs::read_symlink("/proc/self/exe").parent_path().string());
    test::TempDir dir;
    const fs::path copy = dir / "Corvane.app/Contents/MacOS/platform_tests";
    fs::create_directories(copy.parent_path());
    fs::copy_file("/proc/self/exe", copy);
    ScopedEnv print("CORVANE_TEST_PRINT_BUNDLE", "1");
    const auto r = runProcess(copy.string(), {"--gtest_filter=Paths.BundleIsWhereTheProgramSits"});
    EXPECT_NE(r.output.find("BUNDLE=" + (dir / "Corvane.app").string() + "\n"), std::string::npos)
        << r.output;
}

}  // namespace
}  // namespace corvane::platform
