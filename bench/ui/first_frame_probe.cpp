// Starts a program and reports how long it took until its window, found by title, was mapped and
// until something had been drawn into it.
//   first_frame_probe TITLE TIMEOUT_SECONDS PROGRAM [ARGS...]
// Talks to the X server of $DISPLAY, which must have a black root (Xvfb -br) and no window
// manager: a top-level window that nothing has drawn into yet then reads back black. Prints
// "mapped_ms=M drawn_ms=D" (from just before the program is started) and exits 0. Exits 1 when
// the program ends or the time runs out first, 2 on bad usage or without a display. The program
// runs in a process group of its own, which is ended (SIGTERM, SIGKILL after 5 s) before exit;
// its standard output goes to the probe's standard error, so the result line stands alone.
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct FreeDeleter {
    void operator()(void* p) const { std::free(p); }
};
template <class T>
using Reply = std::unique_ptr<T, FreeDeleter>;

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

xcb_atom_t intern(xcb_connection_t* c, const char* name) {
    const Reply<xcb_intern_atom_reply_t> r(xcb_intern_atom_reply(
        c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr));
    return r ? r->atom : xcb_atom_t{XCB_ATOM_NONE};
}

std::string textProperty(xcb_connection_t* c, xcb_window_t w, xcb_atom_t atom) {
    const Reply<xcb_get_property_reply_t> r(xcb_get_property_reply(
        c, xcb_get_property(c, 0, w, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, 1024), nullptr));
    if (!r || r->format != 8) {
        return {};
    }
    const auto length = xcb_get_property_value_length(r.get());
    return std::string(static_cast<const char*>(xcb_get_property_value(r.get())),
                       static_cast<std::size_t>(length < 0 ? 0 : length));
}

// True when any pixel of three rows across the window is not black. Rows rather than the whole
// window keep each look cheap for the server the measured program also needs.
bool hasDrawnPixels(xcb_connection_t* c, xcb_window_t w) {
    const Reply<xcb_get_geometry_reply_t> geo(
        xcb_get_geometry_reply(c, xcb_get_geometry(c, w), nullptr));
    if (!geo || geo->width == 0 || geo->height < 4) {
        return false;
    }
    for (const int quarter : {1, 2, 3}) {
        const auto y = static_cast<std::int16_t>(geo->height * quarter / 4);
        const Reply<xcb_get_image_reply_t> img(xcb_get_image_reply(
            c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, w, 0, y, geo->width, 1, ~0U), nullptr));
        if (!img) {
            return false;  // not viewable (yet)
        }
        const std::uint8_t* data = xcb_get_image_data(img.get());
        const auto length = static_cast<std::size_t>(xcb_get_image_data_length(img.get()));
        const bool fourBytes = length >= std::size_t{geo->width} * 4;
        for (std::size_t i = 0; i < length; ++i) {
            // With four bytes a pixel the fourth is padding or alpha, not colour.
            if ((!fourBytes || i % 4 != 3) && data[i] != 0) {
                return true;
            }
        }
    }
    return false;
}

void endGroup(pid_t pid) {
    ::kill(-pid, SIGTERM);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (Clock::now() < deadline) {
        if (::waitpid(pid, nullptr, WNOHANG) != 0) {
            ::kill(-pid, SIGKILL);  // whatever it started and left behind
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(-pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s TITLE TIMEOUT_SECONDS PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    const std::string title = argv[1];
    const double timeoutMs = std::strtod(argv[2], nullptr) * 1000.0;

    int screenNumber = 0;
    xcb_connection_t* c = xcb_connect(nullptr, &screenNumber);
    const std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> connection(c,
                                                                                    xcb_disconnect);
    if (xcb_connection_has_error(c)) {
        std::fprintf(stderr, "first_frame_probe: cannot open the display\n");
        return 2;
    }
    auto roots = xcb_setup_roots_iterator(xcb_get_setup(c));
    for (int i = 0; i < screenNumber && roots.rem > 0; ++i) {
        xcb_screen_next(&roots);
    }
    const xcb_window_t root = roots.data->root;
    const std::uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY;
    xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
    const xcb_atom_t netWmName = intern(c, "_NET_WM_NAME");  // a round trip: the mask is set

    const auto start = Clock::now();
    const pid_t pid = ::fork();
    if (pid < 0) {
        std::perror("first_frame_probe: fork");
        return 1;
    }
    if (pid == 0) {
        ::setpgid(0, 0);
        ::dup2(STDERR_FILENO, STDOUT_FILENO);
        ::execvp(argv[3], argv + 3);
        std::perror("first_frame_probe: exec");
        ::_exit(127);
    }
    ::setpgid(pid, pid);

    std::vector<xcb_window_t> mapped;
    std::optional<xcb_window_t> target;
    double mappedMs = 0;
    std::string failure;
    pollfd pfd{xcb_get_file_descriptor(c), POLLIN, 0};
    for (;;) {
        while (xcb_generic_event_t* ev = xcb_poll_for_event(c)) {
            const Reply<xcb_generic_event_t> event(ev);
            if ((event->response_type & 0x7F) == XCB_MAP_NOTIFY) {
                mapped.push_back(reinterpret_cast<xcb_map_notify_event_t*>(ev)->window);
            }
        }
        if (xcb_connection_has_error(c)) {
            failure = "lost the display";
            break;
        }
        if (!target) {
            // Titles are checked again on every pass: a window may be named after it is mapped.
            for (const xcb_window_t w : mapped) {
                if (textProperty(c, w, netWmName) == title ||
                    textProperty(c, w, XCB_ATOM_WM_NAME) == title) {
                    target = w;
                    mappedMs = msSince(start);
                    break;
                }
            }
        }
        if (target && hasDrawnPixels(c, *target)) {
            std::printf("mapped_ms=%.1f drawn_ms=%.1f\n", mappedMs, msSince(start));
            std::fflush(stdout);
            break;
        }
        int status = 0;
        if (::waitpid(pid, &status, WNOHANG) == pid) {
            std::fprintf(stderr, "first_frame_probe: %s ended (status %d) before its frame\n",
                         argv[3], status);
            ::kill(-pid, SIGKILL);
            return 1;
        }
        if (msSince(start) > timeoutMs) {
            failure = "no drawn window titled \"" + title + "\" in time";
            break;
        }
        ::poll(&pfd, 1, 2);
    }
    endGroup(pid);
    if (!failure.empty()) {
        std::fprintf(stderr, "first_frame_probe: %s\n", failure.c_str());
        return 1;
    }
    return 0;
}
