#include "ui/quit_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>

#include "platform/log.h"

namespace corvane::ui {
namespace {

// The write end of the self-pipe: all a signal handler may touch. -1 while no instance exists.
std::atomic<int> gSignalPipe{-1};

extern "C" void onQuitSignal(int signalNumber) {
    const int savedErrno = errno;
    if (const int fd = gSignalPipe.load(); fd >= 0) {
        const auto byte = static_cast<unsigned char>(signalNumber);
        // A full pipe already holds an unanswered request; losing this byte loses nothing.
        [[maybe_unused]] const ssize_t written = ::write(fd, &byte, 1);
    }
    errno = savedErrno;
}

constexpr std::array<int, 2> kSignals{SIGTERM, SIGINT};

bool setFlags(int fd) {
    const int fdFlags = ::fcntl(fd, F_GETFD);
    const int statusFlags = ::fcntl(fd, F_GETFL);
    return fdFlags >= 0 && statusFlags >= 0 && ::fcntl(fd, F_SETFD, fdFlags | FD_CLOEXEC) == 0 &&
           ::fcntl(fd, F_SETFL, statusFlags | O_NONBLOCK) == 0;
}

}  // namespace

QuitSignals::QuitSignals(std::function<void()> onQuit, QObject* parent)
    : QObject(parent), mOnQuit(std::move(onQuit)) {
    int fds[2] = {-1, -1};
    if (::pipe(fds) != 0 || !setFlags(fds[0]) || !setFlags(fds[1])) {
        platform::logLine("quit signals not handled: no pipe");
        for (const int fd : fds) {
            if (fd >= 0) {
                ::close(fd);
            }
        }
        return;
    }
    mReadEnd = fds[0];
    mWriteEnd = fds[1];
    gSignalPipe = mWriteEnd;
    mNotifier = std::make_unique<QSocketNotifier>(mReadEnd, QSocketNotifier::Read);
    connect(mNotifier.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char buffer[16];
        while (::read(mReadEnd, buffer, sizeof buffer) > 0) {
        }
        if (mOnQuit) {
            mOnQuit();
        }
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signalNumber : kSignals) {
        ::sigaction(signalNumber, &action, nullptr);
    }
}

QuitSignals::~QuitSignals() {
    if (mWriteEnd < 0) {
        return;
    }
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signalNumber : kSignals) {
        ::sigaction(signalNumber, &action, nullptr);
    }
    gSignalPipe = -1;
    mNotifier.reset();
    ::close(mReadEnd);
    ::close(mWriteEnd);
}

}  // namespace corvane::ui
