// Whole setup runs with the real parts: the HTTPS downloader against a local nginx, the install
// sequence against a simulated macOS root with its stand-in tools, the settings file, and the
// reporter posting to the reference collector. Only the window and the end of the process are
// stand-ins (the test must survive the exit).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "flow_fakes.h"
#include "platform/log.h"
#include "platform/main_queue.h"
#include "platform/process.h"
#include "setup/content_view.h"
#include "setup/globals.h"
#include "setup/production_services.h"
#include "setup/reporter.h"
#include "support/test_support.h"
#include "support/tied_process.h"
#include "tally/vo_tally_client.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Status = INSTALLER_STATUS;
using nlohmann::json;

constexpr const char* kBundleName = "Corvane_v1.0.0.1_dev01_1.2.3.4.app";

platform::ProcessResult runScript(const fs::path& script, std::vector<std::string> args) {
    args.insert(args.begin(), script.string());
    return platform::runProcess("/bin/bash", args, {.timeout = 120s});
}

// NAME=value lines, as the sim scripts print them.
std::vector<std::pair<std::string, std::string>> assignments(const std::string& text) {
    std::vector<std::pair<std::string, std::string>> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (const auto eq = line.find('='); eq != std::string::npos) {
            out.emplace_back(line.substr(0, eq), line.substr(eq + 1));
        }
    }
    return out;
}

// The reference collector as a child process on a port the OS picks, storing into a file.
class Collector {
    static std::vector<std::string> command(const fs::path& vfmt, const fs::path& db,
                                            const std::string& fault) {
        std::vector<std::string> args{
            (test::binaryDir() / "tools/collector/tally-collector").string(),
            "--vfmt",
            vfmt.string(),
            "--db",
            db.string(),
            "--port",
            "0",
            "--quiet"};
        if (!fault.empty()) {
            args.insert(args.end(), {"--fault", fault});
        }
        return args;
    }

  public:
    // `fault`: one of the collector's --fault modes, or empty for a well-behaved collector.
    Collector(const fs::path& vfmt, const fs::path& work, const std::string& fault = {})
        : mDb(work / ("collector" + fault + ".db")), mProcess(command(vfmt, mDb, fault)) {
        // Its first line names the port.
        const std::regex listening(R"(listening on .*:(\d+))");
        std::smatch m;
        if (const auto line = mProcess.readLine(); line && std::regex_search(*line, m, listening)) {
            mPort = std::stoi(m[1]);
        }
    }
    Collector(const Collector&) = delete;
    Collector& operator=(const Collector&) = delete;

    [[nodiscard]] int port() const { return mPort; }

    void stop() { (void)mProcess.stop(std::chrono::seconds(5)); }

    // Every batch stored so far, decoded.
    [[nodiscard]] json batches() const {
        const std::string exe = (test::binaryDir() / "tools/collector/tally-collector").string();
        const auto r = platform::runProcess(
            exe, {"dump", "--db", mDb.string()},
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
    [[nodiscard]] std::vector<int> reasons() const {
        std::vector<int> out;
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

// Stops the stand-in Corvane programs that the setup started in `root` (opened app, resumed
// services): they run detached, so they are found by their path, which only this test uses.
void stopProgramsUnder(const fs::path& root) {
    const std::string needle = root.string() + "/";
    for (int round = 0; round < 100; ++round) {
        std::vector<pid_t> found;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator("/proc", ec)) {
            const std::string name = entry.path().filename().string();
            if (name.find_first_not_of("0123456789") != std::string::npos) {
                continue;
            }
            std::string cmdline;
            if (FILE* f = std::fopen((entry.path() / "cmdline").c_str(), "rb")) {
                char buffer[4096];
                size_t n = 0;
                while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
                    cmdline.append(buffer, n);
                }
                std::fclose(f);
            }
            if (cmdline.find(needle) != std::string::npos) {
                found.push_back(static_cast<pid_t>(std::stol(name)));
            }
        }
        if (found.empty()) {
            return;
        }
        for (pid_t pid : found) {
            ::kill(pid, SIGTERM);
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

class SetupFlowIntegration : public ::testing::Test {
  protected:
    void SetUp() override {
        root = work.path() / "root";
        docroot = work.path() / "docroot";
        fs::create_directories(docroot / "velodoc");

        const auto made = runScript(sim / "make-root.sh", {root.string(), "--plain"});
        ASSERT_TRUE(made.succeeded()) << made.output;
        for (const auto& [name, value] : assignments(made.output)) {
            env.push_back(std::make_unique<test::ScopedEnv>(name, value));
        }
        env.push_back(std::make_unique<test::ScopedEnv>("CORVANE_SIM_ARCH", "x86_64"));

        nginx.emplace(docroot);
        env.push_back(std::make_unique<test::ScopedEnv>("CORVANE_PACKAGE_BASE", nginx->base()));
        env.push_back(std::make_unique<test::ScopedEnv>("CORVANE_CA_BUNDLE", nginx->caBundle()));

        const fs::path vfmt = test::sourceDir() / "resources/vfmt.dat";
        collector = std::make_unique<Collector>(vfmt, work.path());
        ASSERT_GT(collector->port(), 0);
        const fs::path resources = work.path() / kBundleName / "Contents/Resources";
        fs::create_directories(resources);
        fs::copy_file(vfmt, resources / "vfmt.dat");
        env.push_back(std::make_unique<test::ScopedEnv>("CORVANE_BUNDLE",
                                                        (work.path() / kBundleName).string()));
        resetCommonFilePathForTesting();

        platform::setMainQueue(loop);
        reportTo(collector->port());
    }

    // Points the bundle's control file at a collector on `port` and makes the reporter anew,
    // which reads it.
    void reportTo(int port) {
        const std::string server = "http://127.0.0.1:" + std::to_string(port) + "/report";
        test::writeFile(
            work.path() / kBundleName / "Contents/Resources/vctrl.dat",
            "[common]\nproduct=1044\nserver0=" + server + "\nserver2=" + server +
                "\n\n[pallo_public]\npriority=2\n\n[pallo_tools_install]\npriority=2\n");
        reporter = std::make_unique<Reporter>(
            std::make_unique<tally::VoTallyClient>("vctrl.dat", "vfmt.dat", false));
    }

    void TearDown() override {
        // Everything that may still post to the loop or read the environment ends first.
        loop->drain();
        view.reset();
        reporter.reset();
        loop->drain();
        platform::setMainQueue(nullptr);
        stopProgramsUnder(root);
        if (collector) {
            collector->stop();
        }
        nginx.reset();
        resetCommonFilePathForTesting();
    }

    void buildImage(const std::string& version = "2.0.0") {
        const fs::path image = docroot / "velodoc/corvanereader_x86_64.dmg";
        const auto built = runScript(sim / "make-image.sh",
                                     {image.string(), "--payload-mb", "3", "--version", version});
        ASSERT_TRUE(built.succeeded()) << built.output;
    }

    ContentView& makeView() {
        ContentView::Services services{std::make_shared<DownloaderService>(),
                                       std::make_shared<InstallerService>(),
                                       std::make_shared<ReporterService>(*reporter),
                                       window,
                                       exitService,
                                       loop};
        view = std::make_unique<ContentView>(std::move(services));
        return *view;
    }

    // Runs the main loop as the window would, with the progress timer firing much faster than
    // once a second (the tick's effect does not depend on its period).
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

    const fs::path sim = test::sourceDir() / "sim";
    test::TempDir work;
    fs::path root;
    fs::path docroot;
    std::vector<std::unique_ptr<test::ScopedEnv>> env;
    std::optional<test::NginxServer> nginx;
    std::unique_ptr<Collector> collector;
    platform::ScopedLogCapture logs;
    std::shared_ptr<platform::RunLoop> loop = std::make_shared<platform::RunLoop>();
    std::shared_ptr<test::Journal> journal = std::make_shared<test::Journal>();
    std::shared_ptr<test::FakeWindow> window = std::make_shared<test::FakeWindow>();
    std::shared_ptr<test::FakeExit> exitService = std::make_shared<test::FakeExit>(journal);
    std::unique_ptr<Reporter> reporter;
    std::unique_ptr<ContentView> view;
};

TEST(DownloaderServiceTest, RefusedConnectionEndsWithOneFailureOnTheWorker) {
    auto loop = std::make_shared<platform::RunLoop>();
    platform::setMainQueue(loop);
    const auto mainThread = std::this_thread::get_id();
    std::atomic<int> failures{0};
    std::atomic<int> successes{0};
    std::atomic<bool> failedOnMain{false};
    DownloadCallbacks callbacks;
    callbacks.onProgress = [](int64_t, int64_t, double) {};
    callbacks.onDownloadSuccess = [&](const std::string&) { ++successes; };
    callbacks.onDownloadFailed = [&] {
        failedOnMain = std::this_thread::get_id() == mainThread;
        ++failures;
    };
    {
        DownloaderService service;
        // Port 1 on loopback: nothing listens there, the connection is refused at once.
        service.startDownload("https://127.0.0.1:1/velodoc/corvanereader_x86_64.dmg",
                              std::move(callbacks));
    }
    // The attempt outlives the service that started it.
    // The failure arrives on the worker, not through the loop: poll.
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (failures.load() == 0 && std::chrono::steady_clock::now() < deadline) {
        loop->runFor(5ms);
    }
    loop->runFor(50ms);
    EXPECT_EQ(failures.load(), 1);
    EXPECT_EQ(successes.load(), 0);
    EXPECT_FALSE(failedOnMain.load());
    loop->drain();
    platform::setMainQueue(nullptr);
}

TEST_F(SetupFlowIntegration, FreshSetupInstallsRecordsReportsAndEnds) {
    buildImage();
    ContentView& v = makeView();
    EXPECT_FALSE(v.isOverwriteInstallation());
    EXPECT_TRUE(v.isExpanded());
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    ASSERT_EQ(v.installerStatus(), Status::Downloading);

    ASSERT_TRUE(driveUntil([&] { return !exitService->statuses().empty(); }));
    // The collector is read before the loop runs again: the milestones got there because the
    // controller flushed before it ended the run.
    EXPECT_EQ(collector->reasons(), (std::vector<int>{100, 1, 21}));
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));

    EXPECT_EQ(installedVersion(), "2.0.0");
    EXPECT_EQ(iniValue(ini(), "setDefault"), "1");
    EXPECT_EQ(iniValue(ini(), "engageService"), "1");
    const std::string package = (root / "private/tmp/package.dmg").string();
    EXPECT_TRUE(logs.contains("download file path " + package)) << package;
    EXPECT_EQ(v.downloadDmgPath(), package);
    EXPECT_EQ(v.totalExpectedDownload(), v.totalDownloaded());
    EXPECT_GE(v.totalExpectedDownload(), 3);
    EXPECT_EQ(window->sizes(), (std::vector<std::pair<double, double>>{{680, 436}}));

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
    ContentView& v = makeView();
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    ASSERT_TRUE(driveUntil([&] { return v.installerStatus() != Status::Downloading; }));
    EXPECT_EQ(v.installerStatus(), Status::Download_failed);
    EXPECT_EQ(g_installerStatus.load(), Status::Download_failed);
    EXPECT_FALSE(fs::exists(root / "Applications/Corvane.app"));

    buildImage();
    v.restartDownload();
    EXPECT_EQ(v.totalDownloaded(), 0);
    EXPECT_EQ(v.progress(), 0.0);
    ASSERT_TRUE(driveUntil([&] { return !exitService->statuses().empty(); }));
    EXPECT_EQ(exitService->statuses(), (std::vector<int>{0}));
    EXPECT_EQ(installedVersion(), "2.0.0");
    // Download failures are not reported; the retry's success is.
    EXPECT_EQ(collector->reasons(), (std::vector<int>{100, 1, 21}));
}

TEST_F(SetupFlowIntegration, AppLeftInTheBackupOfAnInterruptedInstallIsBackAndCountsAsInstalled) {
    // A run killed after moving the old app aside left it in its marked working folder.
    const fs::path w = root / "Users/tester/0F0F0F0F-0000-4000-8000-000000000000";
    const auto made =
        runScript(sim / "make-app.sh", {(w / "Corvane.app.bak").string(), "--version", "1.0.0"});
    ASSERT_TRUE(made.succeeded()) << made.output;
    test::writeFile(w / ".corvane-setup-work", "install 1\n");

    ContentView& v = makeView();
    EXPECT_EQ(installedVersion(), "1.0.0");
    EXPECT_FALSE(fs::exists(w));
    EXPECT_TRUE(v.isOverwriteInstallation());
    EXPECT_TRUE(reporter->data.bCoverInstall);
}

TEST_F(SetupFlowIntegration, CorruptImageFailsTwiceAndKeepsTheOldApplication) {
    const auto made = runScript(
        sim / "make-app.sh", {(root / "Applications/Corvane.app").string(), "--version", "1.0.0"});
    ASSERT_TRUE(made.succeeded()) << made.output;
    test::writeFile(docroot / "velodoc/corvanereader_x86_64.dmg",
                    std::string(3 * 1024 * 1024, 'x'));

    ContentView& v = makeView();
    EXPECT_TRUE(v.isOverwriteInstallation());
    EXPECT_TRUE(reporter->data.bCoverInstall);
    v.setIsConfirmProtocol(true);
    v.installButtonPressed();
    ASSERT_TRUE(driveUntil([&] { return v.installerStatus() == Status::Install_failed; }));
    EXPECT_EQ(v.installerStatusToChange(), Status::Install_failed);
    EXPECT_EQ(installedVersion(), "1.0.0");

    // "重新安装" installs the same file again, without a new download, and fails again.
    logs.clear();
    v.reinstall();
    EXPECT_FALSE(logs.contains("fnDownload"));
    EXPECT_EQ(v.installerStatus(), Status::Installing);
    ASSERT_TRUE(driveUntil([&] { return v.installerStatus() == Status::Install_failed; }));
    EXPECT_EQ(installedVersion(), "1.0.0");
    EXPECT_TRUE(exitService->statuses().empty());
    EXPECT_EQ(iniValue(ini(), "setDefault"), "(absent)");

    ASSERT_TRUE(reporter->flush(5s));
    EXPECT_EQ(collector->reasons(), (std::vector<int>{100}));
}

// A server that takes connections into its backlog and never answers: posts hang until the
// client gives up.
class SilentServer {
  public:
    SilentServer() : mFd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        auto* generic = reinterpret_cast<sockaddr*>(&addr);
        if (mFd >= 0 && ::bind(mFd, generic, len) == 0 && ::listen(mFd, 16) == 0 &&
            ::getsockname(mFd, generic, &len) == 0) {
            mPort = ntohs(addr.sin_port);
        }
    }
    ~SilentServer() {
        if (mFd >= 0) {
            ::close(mFd);
        }
    }
    SilentServer(const SilentServer&) = delete;
    SilentServer& operator=(const SilentServer&) = delete;
    [[nodiscard]] int port() const { return mPort; }

  private:
    int mFd;
    int mPort = 0;
};

// Telemetry is best effort: whatever the collector does, the setup installs, records and ends
// with status 0, and a collector that never answers holds the end for the flush bound only.
TEST_F(SetupFlowIntegration, TelemetryFaultsNeverStopTheSetup) {
    const fs::path vfmt = test::sourceDir() / "resources/vfmt.dat";
    buildImage();
    struct Case {
        const char* name;
        std::function<int()> start;  // the port the reports go to
    };
    std::unique_ptr<Collector> faulty;
    std::unique_ptr<SilentServer> silent;
    auto faultyCollector = [&](std::string mode) {
        return [&, mode] {
            faulty = std::make_unique<Collector>(vfmt, work.path(), mode);
            return faulty->port();
        };
    };
    const std::vector<Case> cases{
        {"collector down",
         [&] {
             const int port = collector->port();
             collector->stop();
             return port;
         }},
        {"collector hung",
         [&] {
             silent = std::make_unique<SilentServer>();
             return silent->port();
         }},
        {"garbage answer", faultyCollector("non-ascii")},
        {"answer without result", faultyCollector("no-result")},
        {"connection dropped", faultyCollector("close")},
        {"status 500", faultyCollector("status-500")},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int port = c.start();
        ASSERT_GT(port, 0);
        reportTo(port);
        fs::remove_all(root / "Applications/Corvane.app");
        fs::remove(ini());
        const size_t endsBefore = exitService->statuses().size();
        ContentView& v = makeView();
        v.setIsConfirmProtocol(true);
        v.installButtonPressed();
        // driveUntil's own bound is the hang guard.
        ASSERT_TRUE(driveUntil([&] { return exitService->statuses().size() > endsBefore; }));
        EXPECT_EQ(exitService->statuses().back(), 0);
        EXPECT_EQ(installedVersion(), "2.0.0");
        EXPECT_EQ(iniValue(ini(), "setDefault"), "1");
        if (std::string(c.name) == "status 500") {
            // The answer's text decides, not its status: these batches count as delivered.
            EXPECT_EQ(faulty->reasons(), (std::vector<int>{100, 1, 21}));
        }
        loop->drain();
        view.reset();
        // The opened Corvane would count as running for the next case. Only the app's programs:
        // the package server's files also live in the simulated root.
        stopProgramsUnder(root / "Applications");
    }
}

}  // namespace
}  // namespace corvane
