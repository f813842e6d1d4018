// Whole setups with the real parts (nginx, the simulated macOS root, the reference collector);
// only the window and the process exit are stand-ins, as the test must survive the exit.
#include <signal.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "setup/content_view.h"
#include "setup/globals.h"
#include "setup/installer.h"
#include "setup/production_services.h"
#include "setup/reporter.h"
#include "support/fake_services.h"
#include "support/sim_root.h"
#include "support/test_support.h"
#include "support/tied_process.h"
#include "tally/vo_tally_client.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Status = INSTALLER_STATUS;
using nlohmann::json;
using Ints = std::vector<int>;

constexpr const char* kBundleName = "Corvane_v1.0.0.1_dev01_1.2.3.4.app";
const fs::path kSim = test::sourceDir() / "sim";
const fs::path kVfmt = test::sourceDir() / "resources/vfmt.dat";
const std::string kCollector = (test::binaryDir() / "tools/collector/tally-collector").string();

platform::ProcessResult runScript(const std::string& script, std::vector<std::string> args) {
    args.insert(args.begin(), (kSim / script).string());
    return platform::runProcess("/bin/bash", args, {.timeout = 120s});
}

// The reference collector on a port the OS picks; `fault` is one of its --fault modes.
class Collector {
  public:
    Collector(const fs::path& work, const std::string& fault = "none")
        : mDb(work / ("collector-" + fault + ".db")),
          mProcess({kCollector, "--vfmt", kVfmt.string(), "--db", mDb.string(), "--port", "0",
                    "--quiet", "--fault", fault}) {
        std::smatch m;
        static const std::regex listening(R"(listening on .*:(\d+))");
        if (const auto line = mProcess.readLine(); line && std::regex_search(*line, m, listening)) {
            mPort = std::stoi(m[1]);
        }
    }
    ~Collector() { stop(); }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    [[nodiscard]] int port() const { return mPort; }
    // Stopped, it still takes connections into its backlog but never answers.
    void hang() const { ::kill(mProcess.pid(), SIGSTOP); }
    void stop() {
        if (mProcess.started()) {
            ::kill(mProcess.pid(), SIGCONT);
            (void)mProcess.stop(5s);
        }
    }

    // Every batch stored so far, decoded.
    [[nodiscard]] json batches() const {
        const auto r = platform::runProcess(
            kCollector, {"dump", "--db", mDb.string()},
            {.output = platform::ProcessOptions::Output::Merged, .timeout = 30s});
        json out = json::array();
        std::istringstream in(r.output);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty()) {
                out.push_back(json::parse(line));
            }
        }
        return out;
    }

    // The "reason" of every stored install record, in the order they arrived.
    [[nodiscard]] Ints reasons() const {
        Ints out;
        for (const auto& batch : batches()) {
            for (const auto& record : batch["records"]) {
                if (record["table"] == "pallo_tools_install") {
                    out.push_back(record["fields"]["reason"].get<int>());
                }
            }
        }
        return out;
    }

  private:
    fs::path mDb;
    test::TiedProcess mProcess;
    int mPort = 0;
};

// Stops the stand-in Corvane programs the setup started detached, found by their path.
void stopProgramsUnder(const fs::path& root) {
    const std::string needle = root.string() + "/";
    for (int round = 0; round < 100; ++round) {
        bool found = false;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/proc", ec)) {
            const std::string pid = entry.path().filename().string();
            std::ifstream in(entry.path() / "cmdline");
            std::string cmdline;  // arguments separated by NULs
            std::getline(in, cmdline);
            if (pid.find_first_not_of("0123456789") == std::string::npos &&
                cmdline.find(needle) != std::string::npos) {
                found = true;
                ::kill(static_cast<pid_t>(std::stol(pid)), SIGTERM);
            }
        }
        if (!found) {
            return;
        }
        std::this_thread::sleep_for(20ms);
    }
}

std::string iniValue(const fs::path& ini, const std::string& key) {
    std::ifstream in(ini);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + "=", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "(absent)";
}

// The flow runs in this (root) process, beside the servers it starts: what these tests weigh is
// the order of download, install, record and reports. Whether the user's rights reach is the
// install tests' concern, which run the install as the Mac user.
class SetupFlowIntegration : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directories(docroot / "velodoc");
        const auto made = runScript("make-root.sh", {root.string(), "--plain"});
        ASSERT_TRUE(made.succeeded()) << made.output;
        std::istringstream lines(made.output);  // NAME=value lines
        for (std::string line; std::getline(lines, line);) {
            if (const auto eq = line.find('='); eq != std::string::npos) {
                setEnv(line.substr(0, eq), line.substr(eq + 1));
            }
        }
        setEnv("CORVANE_SIM_ARCH", "x86_64");
        nginx.emplace(docroot);
        setEnv("CORVANE_PACKAGE_BASE", nginx->base());
        setEnv("CORVANE_CA_BUNDLE", nginx->caBundle());
        collector = std::make_unique<Collector>(work.path());
        ASSERT_GT(collector->port(), 0);
        fs::create_directories(resources());
        fs::copy_file(kVfmt, resources() / "vfmt.dat");
        setEnv("CORVANE_BUNDLE", (work / kBundleName).string());
        resetCommonFilePathForTesting();
        platform::setMainQueue(loop);
        reportTo(collector->port());
    }

    void TearDown() override {
        // Everything that may still post to the loop or read the environment ends first.
        loop->drain();
        view.reset();
        reporter.reset();
        loop->drain();
        platform::setMainQueue(nullptr);
        stopProgramsUnder(root);
        collector.reset();
        nginx.reset();
        resetCommonFilePathForTesting();
    }

    void setEnv(const std::string& name, const std::string& value) {
        env.push_back(std::make_unique<test::ScopedEnv>(name, value));
    }
    [[nodiscard]] fs::path resources() const { return work / kBundleName / "Contents/Resources"; }

    // Points the control file at a collector on `port` and makes the reporter that reads it.
    void reportTo(int port) {
        const std::string server = "http://127.0.0.1:" + std::to_string(port) + "/report";
        test::writeFile(
            resources() / "vctrl.dat",
            "[common]\nproduct=1044\nserver0=" + server + "\nserver2=" + server +
                "\n\n[pallo_public]\npriority=2\n\n[pallo_tools_install]\npriority=2\n");
        reporter = std::make_unique<Reporter>(
            std::make_unique<tally::VoTallyClient>("vctrl.dat", "vfmt.dat", false));
    }

    // Serves a new image; `signing` are make-image.sh's options for a bad one.
    void buildImage(const std::vector<std::string>& signing = {}) {
        std::vector<std::string> args{(docroot / "velodoc/corvanereader_x86_64.dmg").string(),
                                      "--payload-mb", "3", "--version", "2.0.0"};
        args.insert(args.end(), signing.begin(), signing.end());
        const auto built = runScript("make-image.sh", args);
        ASSERT_TRUE(built.succeeded()) << built.output;
    }

    ContentView& makeView() {
        auto services = fakes.services(loop);
        services.downloader = std::make_shared<DownloaderService>();
        services.installer = std::make_shared<InstallerService>();
        services.reporter = std::make_shared<ReporterService>(*reporter);
        view = std::make_unique<ContentView>(std::move(services));
        return *view;
    }

    // Agreement ticked and the install button pressed.
    ContentView& startSetup() {
        ContentView& v = makeView();
        v.setIsConfirmProtocol(true);
        v.installButtonPressed();
        return v;
    }

    // The window's main loop, with the tick much faster than once a second (its period is moot).
    [[nodiscard]] bool driveUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 90s;
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            loop->runFor(20ms);
            if (view->isProgressTickActive()) {
                view->progressTick();
            }
        }
        return true;
    }
    [[nodiscard]] bool driveUntilExit() {
        const size_t before = fakes.exit->statuses().size();
        return driveUntil([&] { return fakes.exit->statuses().size() > before; });
    }

    [[nodiscard]] fs::path ini() const {
        return root / "Users/tester/Library/Application Support/Corvane/reg/common.ini";
    }
    [[nodiscard]] std::string installedVersion() const {
        const std::string plist =
            test::readFile(root / "Applications/Corvane.app/Contents/Info.plist");
        std::smatch m;
        static const std::regex version(
            R"(CFBundleShortVersionString</key>\s*<string>([^<]*)</string>)");
        return std::regex_search(plist, m, version) ? m[1].str() : "(none)";
    }

    test::TempDir work;
    const fs::path root = work / "root";
    const fs::path docroot = work / "docroot";
    std::vector<std::unique_ptr<test::ScopedEnv>> env;
    std::optional<test::NginxServer> nginx;
    std::unique_ptr<Collector> collector;
    platform::ScopedLogCapture logs;
    std::shared_ptr<platform::RunLoop> loop = std::make_shared<platform::RunLoop>();
    test::Fakes fakes;  // the window and the exit
    std::unique_ptr<Reporter> reporter;
    std::unique_ptr<ContentView> view;
};

TEST_F(SetupFlowIntegration, FreshSetupInstallsRecordsReportsAndEnds) {
    buildImage();
    ContentView& v = startSetup();
    EXPECT_FALSE(v.isOverwriteInstallation());
    ASSERT_EQ(v.installerStatus(), Status::Downloading);
    ASSERT_TRUE(driveUntilExit());
    // Read before the loop runs again: the milestones are there because the end flushed them.
    EXPECT_EQ(collector->reasons(), (Ints{100, 1, 21}));
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});

    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_EQ(iniValue(ini(), "setDefault"), "1");
    EXPECT_EQ(iniValue(ini(), "engageService"), "1");
    const std::string package = (root / "private/var/folders/zz/T/package.dmg").string();
    EXPECT_TRUE(logs.contains("download file path " + package)) << package;
    EXPECT_EQ(v.totalExpectedDownload(), v.totalDownloaded());
    EXPECT_GE(v.totalExpectedDownload(), 3);
    EXPECT_EQ(fakes.window->sizes(), (test::FakeWindow::Sizes{{680, 436}}));

    // The public record carries the facts from the bundle's name and the settings file.
    const json batches = collector->batches();
    ASSERT_EQ(batches.size(), 3u);
    const json& pub = batches[2]["records"][0];
    EXPECT_EQ(pub["table"], "pallo_public");
    EXPECT_EQ(pub["fields"]["tid1"], 1);
    EXPECT_EQ(pub["fields"]["tod2"], 4);
    EXPECT_FALSE(pub["fields"]["uuid"].get<std::string>().empty());
}

TEST_F(SetupFlowIntegration, FailedDownloadThenRetrySucceeds) {
    // Nothing is served at the package path yet: the server answers 404.
    ContentView& v = startSetup();
    ASSERT_TRUE(driveUntil([&] { return v.installerStatus() != Status::Downloading; }));
    EXPECT_EQ(v.installerStatus(), Status::Download_failed);
    EXPECT_FALSE(fs::exists(root / "Applications/Corvane.app"));

    buildImage();
    v.restartDownload();
    ASSERT_TRUE(driveUntilExit());
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});
    EXPECT_EQ(installedVersion(), "2.0.0");
    // Download failures are not reported; the retry's success is.
    EXPECT_EQ(collector->reasons(), (Ints{100, 1, 21}));
}

// An image the server should never have served is never attached and never kept: each
// "重新安装" fetches it again, and the one good image installs.
TEST_F(SetupFlowIntegration, AppBackFromAnInterruptedInstallSurvivesRefusedImagesUntilAGoodOne) {
    // A run killed after moving the old app aside left it in its marked working folder.
    const fs::path w = root / "Users/tester/0F0F0F0F-0000-4000-8000-000000000000";
    const auto made =
        runScript("make-app.sh", {(w / "Corvane.app.bak").string(), "--version", "1.0.0"});
    ASSERT_TRUE(made.succeeded()) << made.output;
    test::writeFile(w / ".corvane-setup-work", "install 1\n");

    // The app is back before the setup looks for it: an overwrite install.
    buildImage({"--image-unsigned"});
    ContentView& v = startSetup();
    EXPECT_FALSE(fs::exists(w));
    EXPECT_TRUE(v.isOverwriteInstallation());
    EXPECT_TRUE(reporter->data.bCoverInstall);
    const fs::path app = root / "Applications/Corvane.app";
    const auto before = test::fileTree(app);
    const fs::path package = root / "private/tmp/package.dmg";
    const std::vector<std::pair<std::vector<std::string>, std::string>> served = {
        {{"--image-unsigned"}, "code object is not signed at all"},
        {{"--image-tampered"}, "invalid signature (code or signature have been modified)"},
        {{"--image-team", "FOREIGN99"}, "(its signature names team \"FOREIGN99\")"},
    };
    for (size_t i = 0; i < served.size(); ++i) {
        SCOPED_TRACE(served[i].first.front());
        if (i > 0) {
            buildImage(served[i].first);
            logs.clear();
            v.reinstall();  // the refused image is gone: a new download
            EXPECT_TRUE(logs.contains("fnDownload"));
        }
        ASSERT_TRUE(driveUntil([&] { return v.installerStatus() == Status::Install_failed; }));
        const auto lines = logs.lines();
        EXPECT_EQ(std::count_if(
                      lines.begin(), lines.end(),
                      [&](const auto& l) { return l.find(served[i].second) != std::string::npos; }),
                  1);
        EXPECT_FALSE(logs.containsPrefix(
            "execute cmd " + Installer::shellQuote(platform::macPath("/usr/bin/hdiutil")) +
            " attach"));
        EXPECT_FALSE(fs::exists(package));
        EXPECT_EQ(test::fileTree(app), before);
        EXPECT_EQ(test::entriesIn(root / "Users/tester"), (std::vector<std::string>{"Library"}));
    }
    EXPECT_TRUE(fakes.exit->statuses().empty());
    EXPECT_EQ(iniValue(ini(), "setDefault"), "(absent)");

    buildImage();
    logs.clear();
    v.reinstall();
    EXPECT_TRUE(logs.contains("fnDownload"));
    ASSERT_TRUE(driveUntilExit());
    EXPECT_EQ(fakes.exit->statuses(), Ints{0});
    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_EQ(collector->reasons(), (Ints{100, 1, 21}));
}

// Whatever the collector does, the setup installs and ends with 0; a hung one costs the bound.
TEST_F(SetupFlowIntegration, TelemetryFaultsNeverStopTheSetup) {
    buildImage();
    struct Case {
        const char* name;
        const char* fault;
    } const cases[] = {{"collector down", "none"},      {"collector hung", "none"},
                       {"garbage answer", "non-ascii"}, {"answer without result", "no-result"},
                       {"connection dropped", "close"}, {"status 500", "status-500"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto faulty = std::make_unique<Collector>(work.path(), c.fault);
        const int port = faulty->port();
        ASSERT_GT(port, 0);
        if (c.name == std::string("collector down")) {
            faulty->stop();
        } else if (c.name == std::string("collector hung")) {
            faulty->hang();
        }
        reportTo(port);
        fs::remove_all(root / "Applications/Corvane.app");
        fs::remove(ini());
        startSetup();
        ASSERT_TRUE(driveUntilExit());  // driveUntil's own bound is the hang guard
        EXPECT_EQ(fakes.exit->statuses().back(), 0);
        EXPECT_EQ(installedVersion(), "2.0.0");
        EXPECT_EQ(iniValue(ini(), "setDefault"), "1");
        if (c.fault == std::string("status-500")) {
            // The answer's text decides, not its status: these batches count as delivered.
            EXPECT_EQ(faulty->reasons(), (Ints{100, 1, 21}));
        }
        loop->drain();
        view.reset();
        // The opened Corvane would count as running for the next case (nginx lives in root too).
        stopProgramsUnder(root / "Applications");
    }
}

}  // namespace
}  // namespace corvane
