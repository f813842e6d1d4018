// The signature check of a copied application against the codesign stand-in of the simulated
// root, and the stand-in itself: it must fail the way the real tool does.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "platform/log.h"
#include "platform/process.h"
#include "setup/code_signature.h"
#include "setup/installer.h"
#include "sim_mac.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::ScopedLogCapture;

class Signature : public ::testing::Test {
  protected:
    void SetUp() override { sim.makeApp("2.0.0"); }
    [[nodiscard]] std::string app() const { return sim.app().string(); }
    [[nodiscard]] platform::ProcessResult codesign(std::vector<std::string> arguments) const {
        arguments.push_back(app());
        return platform::runProcess((sim.root() / "usr/bin/codesign").string(), arguments);
    }
    test::SimMac sim;
};

TEST_F(Signature, AnyChangeAfterSealingIsRefused) {
    struct Row {
        const char* what;
        std::function<void(const fs::path&)> change;
        std::string detail;  // the tool's line naming the problem; empty: valid
    };
    const std::vector<Row> rows = {
        {"nothing changed", [](const fs::path&) {}, ""},
        {"file changed",
         [](const fs::path& a) {
             test::writeFile(a / "Contents/MacOS/viewerapp",
                             test::readFile(a / "Contents/MacOS/viewerapp") + "id\n");
         },
         "file modified: " + app() + "/Contents/MacOS/viewerapp"},
        {"file added", [](const fs::path& a) { test::writeFile(a / "Contents/MacOS/extra", ""); },
         "file added: " + app() + "/Contents/MacOS/extra"},
        {"file removed", [](const fs::path& a) { fs::remove(a / "Contents/MacOS/perkpanel"); },
         "file missing: " + app() + "/Contents/MacOS/perkpanel"},
        {"never sealed", [](const fs::path& a) { fs::remove_all(a / "Contents/_CodeSignature"); },
         app() + ": code object is not signed at all"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        fs::remove_all(sim.app());
        sim.makeApp("2.0.0");
        row.change(sim.app());

        const auto r = codesign({"--verify", "--deep", "--strict"});
        EXPECT_EQ(r.exitStatus, row.detail.empty() ? 0 : 1);
        EXPECT_NE(r.output.find(row.detail), std::string::npos) << r.output;

        ScopedLogCapture log;
        const auto verdict = checkCodeSignature(app());
        EXPECT_EQ(verdict, row.detail.empty() ? CodeSignature::trusted : CodeSignature::invalid);
        EXPECT_EQ(log.lines().size(), row.detail.empty() ? 0u : 1u);
        if (!row.detail.empty() && !log.lines().empty()) {
            EXPECT_EQ(log.lines()[0].rfind(
                          "Signature of the new application is not valid: " + app() + ": ", 0),
                      0u)
                << log.lines()[0];
        }
    }
}

TEST_F(Signature, TeamComesFromTheDescriptionOnStandardError) {
    const auto q = [](const std::string& s) { return Installer::shellQuote(s); };
    const auto errOnly =
        platform::runProcess("/bin/sh", {"-c", q((sim.root() / "usr/bin/codesign").string()) +
                                                   " -dv " + q(app()) + " 2>&1 >/dev/null"});
    EXPECT_TRUE(errOnly.succeeded());
    EXPECT_NE(errOnly.output.find("\nTeamIdentifier=" + std::string(expectedTeamId()) + "\n"),
              std::string::npos)
        << errOnly.output;
    EXPECT_EQ(errOnly.output.rfind("Executable=" + app() + "/Contents/MacOS/viewerapp\n", 0), 0u);

    struct Row {
        const char* what;
        std::string team;
        CodeSignature verdict;
        std::string line;
    };
    const std::vector<Row> rows = {
        {"our team", std::string(expectedTeamId()), CodeSignature::trusted, ""},
        {"another team", "OTHERTEAM1", CodeSignature::foreignTeam,
         "The new application is signed by team \"" + std::string(expectedTeamId()) +
             "\", not \"OTHERTEAM1\": " + app()},
        {"no team built in", "", CodeSignature::unchecked,
         "No team identifier is built in, so the new application cannot be trusted: " + app()},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        ScopedLogCapture log;
        EXPECT_EQ(checkCodeSignature(app(), row.team), row.verdict);
        EXPECT_EQ(log.lines(),
                  row.line.empty() ? std::vector<std::string>{} : std::vector{row.line});
    }
}

TEST_F(Signature, MissingToolOrAppIsNeverTrusted) {
    {
        ScopedLogCapture log;
        EXPECT_EQ(checkCodeSignature(app() + "-gone"), CodeSignature::invalid);
        EXPECT_TRUE(log.contains("Signature of the new application is not valid: " + app() +
                                 "-gone: No such file or directory"));
    }
    fs::remove(sim.root() / "usr/bin/codesign");
    ScopedLogCapture log;
    EXPECT_EQ(checkCodeSignature(app()), CodeSignature::unchecked);
    EXPECT_TRUE(log.containsPrefix("Signature of the new application could not be checked: "));
}

}  // namespace
}  // namespace corvane
