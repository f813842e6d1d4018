#include "support/sim_root.h"

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/process.h"
#include "setup/code_signature.h"

namespace corvane::test {
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::string procFile(pid_t pid, const char* name) {
    try {
        return readFile("/proc/" + std::to_string(pid) + "/" + name);
    } catch (const std::exception&) {
        return {};  // gone meanwhile
    }
}

std::string runScript(const std::string& script, std::vector<std::string> args) {
    args.insert(args.begin(), (sourceDir() / "sim" / script).string());
    const auto r = platform::runProcess("/bin/bash", args);
    if (!r.succeeded()) {
        throw std::runtime_error(script + " failed: " + r.output);
    }
    return r.output;
}

}  // namespace

SimMac::SimMac(const std::string& rootName) : mRoot(mDir.path() / rootName) {
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    std::istringstream lines(runScript("make-root.sh", {mRoot.string(), "--plain"}));
    for (std::string line; std::getline(lines, line);) {
        if (const auto eq = line.find('='); eq != std::string::npos) {
            mEnv.push_back(std::make_unique<ScopedEnv>(line.substr(0, eq), line.substr(eq + 1)));
        }
    }
}

SimMac::~SimMac() {
    const std::string needle = mRoot.string() + "/";
    for (const int sig : {SIGTERM, SIGKILL}) {
        for (const pid_t p : processesMatching(needle)) {
            ::kill(p, sig);
        }
        if (waitForCount(needle, 0)) {
            break;
        }
    }
}

void SimMac::makeApp(const std::string& version, const std::optional<fs::path>& where) const {
    const fs::path target = where.value_or(app());
    // Signing takes the authority's keys, which only root (the release engineer here) may read;
    // what is made then belongs to whoever asked for it, as a user's own copy would.
    fs::path top = target;
    while (!fs::exists(top.parent_path())) {
        top = top.parent_path();
    }
    const uid_t uid = ::geteuid();
    const gid_t gid = ::getegid();
    AsMacUser::asRoot([&] {
        (void)runScript("make-app.sh", {target.string(), "--version", version, "--team",
                                        std::string(expectedTeamId())});
        if (uid != 0) {
            const auto r = platform::runProcess(
                "/bin/chown",
                {"-R", std::to_string(uid) + ":" + std::to_string(gid), top.string()});
            if (!r.succeeded()) {
                throw std::runtime_error("chown failed: " + r.output);
            }
        }
    });
}

std::string SimMac::versionOf(const fs::path& appPath) {
    std::ifstream in(appPath / "Contents/Info.plist");
    for (std::string line; std::getline(in, line);) {
        if (line.find("CFBundleShortVersionString") != std::string::npos &&
            std::getline(in, line)) {
            const auto a = line.find("<string>");
            const auto b = line.find("</string>");
            return a == std::string::npos ? std::string() : line.substr(a + 8, b - a - 8);
        }
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
        const std::string text = readFile(e.path());
        out.push_back(text.substr(0, text.find('\n')));
    }
    return out;
}

void SimMac::startAuthorizationService() {
    AsMacUser::asRoot([&] {
        mAuthorization.emplace(std::vector<std::string>{
            "/usr/bin/python3", (sourceDir() / "sim/authorization-service").string(),
            mRoot.string()});
    });
    if (mAuthorization->readLine() != "ready") {
        throw std::runtime_error("sim/authorization-service did not start");
    }
}

void SimMac::stopAuthorizationService() {
    AsMacUser::asRoot([&] { mAuthorization.reset(); });
}

void SimMac::answerConsent(const std::optional<std::string>& answer) const {
    const fs::path file = mRoot / "private/var/run/authorization-answer";
    AsMacUser::asRoot([&] {
        if (answer) {
            writeFile(file, *answer + "\n");
        } else {
            fs::remove(file);
        }
    });
}

std::vector<std::string> SimMac::consentRequests() const {
    std::vector<std::string> out;
    std::ifstream in(mRoot / "private/var/log/authorization.log");
    for (std::string line; std::getline(in, line);) {
        out.push_back(line);
    }
    return out;
}

namespace {
int gUserDepth = 0;

void becomeRoot() {
    if (::setresuid(static_cast<uid_t>(-1), 0, static_cast<uid_t>(-1)) != 0 ||
        ::setresgid(0, 0, 0) != 0 || ::setgroups(0, nullptr) != 0 || ::setresuid(0, 0, 0) != 0) {
        throw std::runtime_error("cannot turn back to root");
    }
}

void becomeUser(bool standard) {
    const gid_t groups[] = {kStaffGroup, kAdminGroup};
    if (::setgroups(standard ? 1 : 2, groups) != 0 ||
        ::setresgid(kStaffGroup, kStaffGroup, 0) != 0 ||
        ::setresuid(kMacUserId, kMacUserId, 0) != 0) {
        throw std::runtime_error("cannot become the Mac user (the tests set the scene as root)");
    }
}
}  // namespace

AsMacUser::AsMacUser(bool standard) : mStandard(standard) {
    becomeUser(standard);
    ++gUserDepth;
}

AsMacUser::~AsMacUser() {
    --gUserDepth;
    becomeRoot();
}

void AsMacUser::asRoot(const std::function<void()>& scene) {
    if (gUserDepth == 0 || ::geteuid() == 0) {
        scene();
        return;
    }
    gid_t groups[2];
    const int count = ::getgroups(2, groups);
    becomeRoot();
    try {
        scene();
    } catch (...) {
        becomeUser(count == 1);
        throw;
    }
    becomeUser(count == 1);
}

bool SimMac::tidy() const {
    return entriesIn(home()).empty() && attachedMountPoints().empty();
}

std::vector<pid_t> processesMatching(const std::string& needle) {
    std::vector<pid_t> out;
    for (const auto& e : fs::directory_iterator("/proc")) {
        const std::string name = e.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) {
            continue;
        }
        const auto pid = static_cast<pid_t>(std::stol(name));
        std::string cmdline = procFile(pid, "cmdline");
        std::replace(cmdline.begin(), cmdline.end(), '\0', ' ');
        if (pid != ::getpid() && cmdline.find(needle) != std::string::npos && alive(pid)) {
            out.push_back(pid);
        }
    }
    return out;
}

bool waitUntil(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (;;) {
        while (::waitpid(-1, nullptr, WNOHANG) > 0) {
        }
        if (done()) {
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(20ms);
    }
}

bool waitForCount(const std::string& needle, size_t count) {
    return waitUntil([&] { return processesMatching(needle).size() == count; });
}

pid_t startMatching(const std::string& command, const std::string& needle) {
    const auto before = processesMatching(needle);
    if (!platform::runProcess("/bin/bash", {"-c", command + " >/dev/null 2>&1 &"}).succeeded()) {
        return -1;
    }
    pid_t found = -1;
    waitUntil([&] {
        for (const pid_t p : processesMatching(needle)) {
            if (std::find(before.begin(), before.end(), p) == before.end()) {
                found = p;
            }
        }
        return found > 0;
    });
    return found;
}

bool alive(pid_t pid) {
    const std::string stat = procFile(pid, "stat");
    const auto close = stat.rfind(')');
    return close != std::string::npos && close + 2 < stat.size() && stat[close + 2] != 'Z';
}

bool waitGone(pid_t pid) {
    return waitUntil([pid] { return !alive(pid); });
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
        // The user's shell set-up, which the root builder lays out in the home folder.
        const std::string name = e.path().filename().string();
        if (name != ".zshenv" && name != ".gnubin") {
            out.push_back(name);
        }
    }
    std::sort(out.begin(), out.end());
    return out;
}

void sign(const fs::path& path, const std::string& team, const std::string& kind) {
    std::vector<std::string> args{path.string(), team};
    if (!kind.empty()) {
        args.push_back(kind);
    }
    (void)runScript("sign.sh", args);
}

fs::path testImage(const std::string& variant) {
    return binaryDir() / "tests/install/images" /
           ("corvane-2.0.0" + (variant.empty() ? "" : "-" + variant) + ".dmg");
}

}  // namespace corvane::test
