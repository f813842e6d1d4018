// A test SIGKILLed at its time limit runs no destructor: its servers must go on their own.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <thread>

#include "delivery_support.h"
#include "support/tied_process.h"

namespace tally::test {
namespace {

using namespace std::chrono_literals;

// Running and not a zombie (a zombie has ended; only its exit status is left to collect).
bool running(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

TEST(TiedServers, AKilledTestLeavesNoServerRunning) {
    corvane::test::TempDir dir;
    corvane::test::writeFile(dir / "vfmt.dat", kTestVfmt);
    std::filesystem::create_directories(dir / "docroot");
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    const pid_t testProcess = ::fork();
    ASSERT_GE(testProcess, 0);
    if (testProcess == 0) {
        // The killed test: starts nginx and the collector as tests do, names them, waits.
        ::close(fds[0]);
        try {
            corvane::test::NginxServer nginx(dir / "docroot");
            CollectorProcess collector(dir / "vfmt.dat", dir / "store.db");
            const std::string pids =
                std::to_string(nginx.scriptPid()) + " " + std::to_string(nginx.nginxPid()) + " " +
                std::to_string(collector.pid()) + " " + nginx.work().string() + "\n";
            if (collector.running() && ::write(fds[1], pids.data(), pids.size()) > 0) {
                for (;;) {
                    ::pause();
                }
            }
        } catch (const std::exception&) {
        }
        ::_exit(1);
    }
    ::close(fds[1]);
    std::string said;
    char c = 0;
    while (said.find('\n') == std::string::npos && ::read(fds[0], &c, 1) == 1) {
        said += c;
    }
    ::close(fds[0]);
    // As CTest does at the time limit.
    ::kill(testProcess, SIGKILL);
    ::waitpid(testProcess, nullptr, 0);

    std::istringstream in(said);
    for (const char* name : {"serve.sh", "nginx", "tally-collector"}) {
        SCOPED_TRACE(name);
        pid_t pid = -1;
        in >> pid;
        ASSERT_GT(pid, 0) << "the servers did not start: " << said;
        const auto deadline = std::chrono::steady_clock::now() + 30s;
        while (running(pid) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(20ms);
        }
        EXPECT_FALSE(running(pid)) << "left running: pid " << pid;
    }
    // What a killed test cannot tidy itself.
    std::string nginxWork;
    in >> nginxWork;
    std::error_code ec;
    std::filesystem::remove_all(nginxWork, ec);
}

}  // namespace
}  // namespace tally::test
