#include "sim_mac.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/process.h"
#include "setup/code_signature.h"

namespace corvane::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string cmdline(pid_t pid) {
    std::string s;
    const int fd =
        ::open(("/proc/" + std::to_string(pid) + "/cmdline").c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return s;
    }
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(fd, buf, sizeof buf)) > 0) {
        s.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    for (char& c : s) {
        if (c == '\0') {
            c = ' ';
        }
    }
    return s;
}

bool isZombie(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string stat;
    std::getline(in, stat);
    const auto close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() || stat[close + 2] == 'Z';
}

void reapOrphans() {
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

}  // namespace

SimMac::SimMac(const std::string& rootName) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    mRoot = mDir.path() / rootName;
    const auto r = platform::runProcess(
        "/bin/bash", {(sourceDir() / "sim/make-root.sh").string(), mRoot.string(), "--plain"});
    if (!r.succeeded()) {
        throw std::runtime_error("make-root.sh failed: " + r.output);
    }
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        const auto eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        mEnv.push_back(std::make_unique<ScopedEnv>(line.substr(0, eq), line.substr(eq + 1)));
    }
}

SimMac::~SimMac() {
    stopStandIns();
}

fs::path SimMac::home() const {
    return mRoot / "Users/tester";
}

void SimMac::makeApp(const std::string& version, const std::optional<fs::path>& where) const {
    const auto r = platform::runProcess(
        "/bin/bash", {(sourceDir() / "sim/make-app.sh").string(), where.value_or(app()).string(),
                      "--version", version, "--team", std::string(expectedTeamId())});
    if (!r.succeeded()) {
        throw std::runtime_error("make-app.sh failed: " + r.output);
    }
}

std::string SimMac::appVersion(const fs::path& appPath) {
    std::ifstream in(appPath / "Contents/Info.plist");
    std::string line;
    bool next = false;
    while (std::getline(in, line)) {
        if (next) {
            const auto a = line.find("<string>");
            const auto b = line.find("</string>");
            return a == std::string::npos ? std::string() : line.substr(a + 8, b - a - 8);
        }
        next = line.find("CFBundleShortVersionString") != std::string::npos;
    }
    return {};
}

bool SimMac::appIsComplete() const {
    for (const char* exe :
         {"viewerapp", "transcoder", "perkpanel", "sentinel", "transcodeaide", "enginesvc"}) {
        std::error_code ec;
        const auto st = fs::status(executable(exe), ec);
        if (ec || (st.permissions() & fs::perms::owner_exec) == fs::perms::none) {
            return false;
        }
    }
    return fs::is_regular_file(app() / "Contents/Resources/payload.bin");
}

std::vector<std::string> SimMac::attachedMountPoints() const {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(mRoot / "private/var/run/hdiutil-sim", ec)) {
        std::ifstream in(e.path());
        std::string mp;
        std::getline(in, mp);
        out.push_back(mp);
    }
    return out;
}

std::vector<pid_t> SimMac::processesMatching(const std::string& needle) {
    std::vector<pid_t> out;
    DIR* d = ::opendir("/proc");
    if (!d) {
        return out;
    }
    while (const dirent* e = ::readdir(d)) {
        char* end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == ::getpid()) {
            continue;
        }
        const auto p = static_cast<pid_t>(pid);
        if (cmdline(p).find(needle) != std::string::npos && !isZombie(p)) {
            out.push_back(p);
        }
    }
    ::closedir(d);
    return out;
}

bool SimMac::waitForCount(const std::string& needle, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        reapOrphans();
        if (processesMatching(needle).size() == count) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

pid_t SimMac::startMatching(const std::string& command, const std::string& needle) {
    const auto before = processesMatching(needle);
    if (!platform::runProcess("/bin/bash", {"-c", command + " >/dev/null 2>&1 &"}).succeeded()) {
        return -1;
    }
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        for (const pid_t p : processesMatching(needle)) {
            if (std::find(before.begin(), before.end(), p) == before.end()) {
                return p;
            }
        }
        std::this_thread::sleep_for(20ms);
    }
    return -1;
}

bool SimMac::alive(pid_t pid) {
    return ::kill(pid, 0) == 0 && !isZombie(pid);
}

bool SimMac::waitGone(pid_t pid) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
        reapOrphans();
        if (!alive(pid)) {
            return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

void SimMac::stopStandIns() const {
    const std::string needle = mRoot.string() + "/";
    for (const pid_t p : processesMatching(needle)) {
        ::kill(p, SIGTERM);
    }
    if (!waitForCount(needle, 0)) {
        for (const pid_t p : processesMatching(needle)) {
            ::kill(p, SIGKILL);
        }
        waitForCount(needle, 0);
    }
    reapOrphans();
}

std::map<std::string, std::string> fileTree(const fs::path& folder) {
    std::map<std::string, std::string> out;
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->is_regular_file()) {
            const auto mode = static_cast<unsigned>(it->status().permissions());
            out[fs::relative(it->path(), folder).string()] =
                std::to_string(mode) + ":" + readFile(it->path());
        }
    }
    return out;
}

std::vector<std::string> entriesIn(const fs::path& folder) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto& e : fs::directory_iterator(folder, ec)) {
        out.push_back(e.path().filename().string());
    }
    return out;
}

fs::path testImage() {
    return CORVANE_TEST_IMAGE;
}

}  // namespace corvane::test
