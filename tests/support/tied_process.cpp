#include "support/tied_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <thread>

namespace corvane::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

TiedProcess::TiedProcess(std::vector<std::string> argv, const fs::path& errorLog) {
    // Everything the child needs is made before fork: after it, only async-signal-safe calls.
    std::vector<char*> cargv;
    for (auto& a : argv) {
        cargv.push_back(a.data());
    }
    cargv.push_back(nullptr);
    int fds[2];
    if (argv.empty() || ::pipe2(fds, O_CLOEXEC) != 0) {
        return;
    }
    const int in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const int err = errorLog.empty()
                        ? -1
                        : ::open(errorLog.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const pid_t parent = ::getpid();
    mPid = ::fork();
    if (mPid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) {
            ::_exit(127);  // the test ended before the tie was made
        }
        ::dup2(in, STDIN_FILENO);
        ::dup2(fds[1], STDOUT_FILENO);
        if (err >= 0) {
            ::dup2(err, STDERR_FILENO);
        }
        ::execv(cargv[0], cargv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    ::close(in);
    if (err >= 0) {
        ::close(err);
    }
    if (mPid < 0) {
        ::close(fds[0]);
        return;
    }
    mOut = fds[0];
}

TiedProcess::~TiedProcess() {
    stop();
    if (mOut >= 0) {
        ::close(mOut);
    }
}

std::optional<std::string> TiedProcess::readLine() {
    for (;;) {
        if (const auto end = mPending.find('\n'); end != std::string::npos) {
            std::string line = mPending.substr(0, end);
            mPending.erase(0, end + 1);
            return line;
        }
        if (mOut < 0) {
            return std::nullopt;
        }
        char buf[256];
        const ssize_t n = ::read(mOut, buf, sizeof buf);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return std::nullopt;
        }
        mPending.append(buf, static_cast<size_t>(n));
    }
}

int TiedProcess::stop(std::chrono::milliseconds grace) {
    if (mPid <= 0) {
        return -1;
    }
    const pid_t pid = mPid;
    mPid = -1;
    ::kill(pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    const auto deadline = std::chrono::steady_clock::now() + grace;
    while ((done = ::waitpid(pid, &status, WNOHANG)) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(10ms);
    }
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    if (done < 0) {
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

NginxServer::NginxServer(const fs::path& docroot) {
    mProcess.emplace(
        std::vector<std::string>{"/bin/bash", (sourceDir() / "sim/nginx/serve.sh").string(), "run",
                                 mWork.str(), docroot.string()},
        mWork.path() / "serve.log");
    // serve.sh prints BASE, PORT and CA once nginx listens, or ends with nothing when it fails.
    while (mCa.empty()) {
        const auto line = mProcess->readLine();
        if (!line) {
            std::string log;
            try {
                log = readFile(mWork.path() / "serve.log");
            } catch (const std::exception&) {
            }
            throw std::runtime_error("nginx did not start: " + log);
        }
        if (line->rfind("BASE=", 0) == 0) {
            mBase = line->substr(5);
        } else if (line->rfind("CA=", 0) == 0) {
            mCa = line->substr(3);
        }
    }
}

pid_t NginxServer::nginxPid() const {
    try {
        return static_cast<pid_t>(std::stol(readFile(mWork.path() / "nginx.pid")));
    } catch (const std::exception&) {
        return -1;
    }
}

}  // namespace corvane::test
