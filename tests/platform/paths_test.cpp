#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/test_support.h"

namespace corvane::platform {
namespace {

using test::ScopedEnv;
using test::TempDir;

TEST(Paths, AbsoluteMacPathsAreBuiltFromTheSimulatedRoot) {
    ScopedEnv root("CORVANE_SIM_ROOT", "/sim/root/");
    EXPECT_EQ(simRoot(), "/sim/root");
    EXPECT_EQ(macPath("/Applications/Corvane.app"), "/sim/root/Applications/Corvane.app");
    ScopedEnv none("CORVANE_SIM_ROOT", std::nullopt);
    EXPECT_EQ(macPath("/usr/bin/ditto"), "/usr/bin/ditto");
}

TEST(Paths, UserFoldersFollowHome) {
    ScopedEnv home("HOME", "/Users/tester");
    EXPECT_EQ(homeDirectory(), "/Users/tester");
    EXPECT_EQ(applicationSupportDirectory().value(), "/Users/tester/Library/Application Support");
    EXPECT_EQ(documentsDirectory().value(), "/Users/tester/Documents");
    ScopedEnv noHome("HOME", "");
    EXPECT_FALSE(applicationSupportDirectory().has_value());
}

TEST(Paths, TemporaryFolderHasNoTrailingSlash) {
    ScopedEnv tmp("TMPDIR", "/var/folders/xy/T/");
    EXPECT_EQ(temporaryDirectory(), "/var/folders/xy/T");
    ScopedEnv none("TMPDIR", std::nullopt);
    EXPECT_EQ(temporaryDirectory(), "/tmp");
}

TEST(Paths, ResourcesAreFoundByFileNameInTheBundle) {
    TempDir dir;
    const auto bundle = dir / "Corvane_v2.1.0.5_ab12_101.202.3.4.app";
    test::writeFile(bundle / "Contents/Resources/vfmt.dat", "t:1 a:int\n");
    ScopedEnv env("CORVANE_BUNDLE", bundle.string());
    EXPECT_EQ(bundlePath(), bundle.string());
    EXPECT_EQ(resourcePath("vfmt.dat").value(), (bundle / "Contents/Resources/vfmt.dat").string());
    EXPECT_FALSE(resourcePath("vctrl.dat").has_value());
    EXPECT_FALSE(resourcePath("../Resources/vfmt.dat").has_value());
}

TEST(Paths, PackageServerBaseCanBePointedAtALocalServer) {
    ScopedEnv env("CORVANE_PACKAGE_BASE", "https://127.0.0.1:8443/");
    EXPECT_EQ(packageServerBase(), "https://127.0.0.1:8443");
}

}  // namespace
}  // namespace corvane::platform
