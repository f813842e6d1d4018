#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "platform/files.h"
#include "platform/process.h"

extern char** environ;

namespace corvane::platform {
namespace {

using Clock = std::chrono::steady_clock;

int statusToExitCode(int status) {
    if (WIFEXITED(status)) {
        return WEXITSTATUS(status);
    }
    if (WIFSIGNALED(status)) {
        return 128 + WTERMSIG(status);
    }
    return -1;
}

// Reads what is available now; returns false at end of file or on error.
bool readAvailable(int fd, std::string* sink) {
    char buf[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0) {
            if (sink) {
                sink->append(buf, static_cast<size_t>(n));
            }
            continue;
        }
        if (n == 0) {
            return false;
        }
        if (errno == EINTR) {
            continue;
        }
        return errno == EAGAIN || errno == EWOULDBLOCK;
    }
}

// A pipe whose ends are not inherited by children started from other threads.
bool makePipe(int fds[2]) {
#if defined(__APPLE__)
    // No pipe2 here; the child side is protected by POSIX_SPAWN_CLOEXEC_DEFAULT instead.
    if (::pipe(fds) != 0) {
        return false;
    }
    ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
    return true;
#else
    return ::pipe2(fds, O_CLOEXEC) == 0;
#endif
}

}  // namespace

ProcessResult runProcess(const std::string& executable, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
    ProcessResult result;
    const bool piped = options.output != ProcessOptions::Output::Inherited;

    int pipeFds[2] = {-1, -1};
    if (piped && !makePipe(pipeFds)) {
        result.startError = std::strerror(errno);
        return result;
    }
    UniqueFd readEnd(pipeFds[0]);
    UniqueFd writeEnd(pipeFds[1]);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    const bool stderrInherited = options.output == ProcessOptions::Output::StdoutOnly;
    if (piped) {
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDOUT_FILENO);
        if (!stderrInherited) {
            posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), STDERR_FILENO);
        }
    }
#if defined(__APPLE__)
    if (!piped) {
        posix_spawn_file_actions_addinherit_np(&actions, STDOUT_FILENO);
    }
    if (!piped || stderrInherited) {
        posix_spawn_file_actions_addinherit_np(&actions, STDERR_FILENO);
    }
#endif
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    // A group of its own, so a time-out can stop the command with everything it started.
    auto flags =
        static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
#if defined(__APPLE__)
    flags = static_cast<short>(flags | POSIX_SPAWN_CLOEXEC_DEFAULT);
#endif
    posix_spawnattr_setflags(&attr, flags);
    posix_spawnattr_setpgroup(&attr, 0);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attr, &none);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attr, &defaults);

    std::vector<std::string> argvStore;
    argvStore.reserve(arguments.size() + 1);
    argvStore.push_back(executable);
    argvStore.insert(argvStore.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (auto& a : argvStore) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);

    pid_t pid = -1;
    const int rc = ::posix_spawn(&pid, executable.c_str(), &actions, &attr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attr);
    if (rc != 0) {
        result.startError = std::strerror(rc);
        return result;
    }
    result.started = true;
    writeEnd.reset();

    std::string* sink = options.output == ProcessOptions::Output::Merged ||
                                options.output == ProcessOptions::Output::StdoutOnly
                            ? &result.output
                            : nullptr;
    if (piped) {
        ::fcntl(readEnd.get(), F_SETFL, ::fcntl(readEnd.get(), F_GETFL) | O_NONBLOCK);
    }
    bool pipeOpen = piped;
    const auto deadline = Clock::now() + options.timeout;
    int status = 0;
    for (;;) {
        const pid_t w = ::waitpid(pid, &status, WNOHANG);
        if (w == pid) {
            break;
        }
        if (w < 0 && errno != EINTR) {
            result.exitStatus = -1;
            return result;
        }
        if (Clock::now() >= deadline) {
            ::kill(-pid, SIGKILL);
            ::waitpid(pid, &status, 0);
            result.timedOut = true;
            result.exitStatus = -1;
            return result;
        }
        if (pipeOpen) {
            pollfd p{readEnd.get(), POLLIN, 0};
            if (::poll(&p, 1, 20) > 0) {
                pipeOpen = readAvailable(readEnd.get(), sink);
            }
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    // The child is gone. Take what it left in the pipe; a background grandchild may keep the pipe
    // open for ever, so this waits only briefly for the end of the data.
    if (pipeOpen) {
        const auto graceEnd = Clock::now() + std::chrono::milliseconds(100);
        while (pipeOpen && Clock::now() < graceEnd) {
            pollfd p{readEnd.get(), POLLIN, 0};
            if (::poll(&p, 1, 10) > 0) {
                pipeOpen = readAvailable(readEnd.get(), sink);
            } else {
                // Quiet for a while: take what is there and stop, since whoever still holds the
                // pipe is not our child.
                static_cast<void>(readAvailable(readEnd.get(), sink));
                break;
            }
        }
    }
    result.exitStatus = statusToExitCode(status);
    return result;
}

}  // namespace corvane::platform
