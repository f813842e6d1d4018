// The administrator's consent through osascript's `do shell script … with administrator
// privileges`: the system's own authentication dialog, and a command line like every other the
// setup runs, so the same runner, time limit and log apply.
#include "setup/admin_consent.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

#include "platform/log.h"
#include "platform/paths.h"
#include "setup/installer.h"

namespace corvane {
namespace fs = std::filesystem;
namespace {

bool mayWrite(const std::string& path) {
    return ::faccessat(AT_FDCWD, path.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

bool isFolder(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The dialog's own errors, as osascript reports them: cancelled (-128), refused (-60005 no
// right, -60007 wrong name or password), or no session to show a dialog in (-1713).
bool consentNotGiven(const std::string& output) {
    for (const char* code : {"(-128)", "(-60005)", "(-60006)", "(-60007)", "(-1713)"}) {
        if (output.find(code) != std::string::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool userMayMove(const std::string& item) {
    const std::string folder = fs::path(item).parent_path().string();
    if (!mayWrite(folder)) {
        return false;
    }
    return !isFolder(item) || mayWrite(item);
}

bool userMayRemove(const std::string& path) {
    if (!isFolder(path)) {
        return true;
    }
    const uid_t me = ::geteuid();
    std::error_code ec;
    const auto owned = [&](const std::string& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 && (st.st_uid == me || mayWrite(p));
    };
    if (!owned(path)) {
        return false;
    }
    for (fs::recursive_directory_iterator it(path, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError) && !it->is_symlink(typeError) &&
            !owned(it->path().string())) {
            return false;
        }
    }
    return !ec;
}

std::string appleScriptString(std::string_view text) {
    std::string out = "\"";
    for (const char ch : text) {
        if (ch == '"' || ch == '\\') {
            out += '\\';
        }
        out += ch;
    }
    out += '"';
    return out;
}

AdministratorRun runWithAdministratorConsent(const std::string& prompt, const std::string& script) {
    const std::string appleScript = "do shell script " + appleScriptString(script) +
                                    " with prompt " + appleScriptString(prompt) +
                                    " with administrator privileges";
    const std::string command = Installer::shellQuote(platform::macPath("/usr/bin/osascript")) +
                                " -e " + Installer::shellQuote(appleScript);
    platform::logLine("Asking for an administrator's consent: " + script);
    AdministratorRun run;
    const int status = Installer::runCommandLine(command, run.output);
    while (!run.output.empty() && (run.output.back() == '\n' || run.output.back() == '\r')) {
        run.output.pop_back();
    }
    if (status == 0) {
        run.outcome = AdministratorRun::Outcome::done;
    } else if (consentNotGiven(run.output)) {
        run.outcome = AdministratorRun::Outcome::consentNotGiven;
        platform::logLine("The administrator's consent was not given: " + run.output);
    } else {
        run.outcome = AdministratorRun::Outcome::failed;
        platform::logLine("The moves with the administrator's consent failed: " + run.output);
    }
    return run;
}

}  // namespace corvane
