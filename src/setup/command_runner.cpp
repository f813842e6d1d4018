// The command runner and the process checks built on it. Every outside action goes through
// "/bin/zsh -c <line>"; every path put into a line is quoted with shellQuote so that a home
// folder with a space, a quote or a "$" is passed on as the name it is and never run.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/text.h"
#include "setup/installer.h"

namespace corvane {
namespace {

using platform::logLine;
using platform::macPath;

constexpr std::string_view kAppPath = "/Applications/Corvane.app";

// How Swift describes an optional string in a log line: Optional("arm64\n") or nil.
std::string describeOptional(const std::optional<std::string>& value) {
    if (!value) {
        return "nil";
    }
    std::string out = "Optional(\"";
    for (const char ch : *value) {
        switch (ch) {
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            default:
                out += ch;
        }
    }
    out += "\")";
    return out;
}

// Every tool by its absolute macOS path: zsh reads the user's ~/.zshenv, whose PATH, aliases or
// functions could put another tool (GNU xargs, which runs `kill` on empty input) behind a name.
std::string tool(std::string_view absolutePath) {
    return Installer::shellQuote(macPath(absolutePath));
}

std::string appExecutable(std::string_view folder, std::string_view name) {
    return macPath(kAppPath) + "/Contents/" + std::string(folder) + "/" + std::string(name);
}

// One executable as an alternative of pgrep's extended regular expression: the path with every
// character that is special there escaped, anchored to the start of the command line, and ended
// by the space before the first argument or the end of the line. A process that only mentions
// the path in its arguments (`tail -f …/MacOS/sentinel.log`), a second copy whose path ends with
// ours (~/Applications/Corvane.app) or a sibling whose name starts with ours is not the program.
std::string executablePattern(std::string_view path) {
    std::string out = "^";
    for (const char ch : path) {
        if (std::string_view(".[\\()*+?{|^$").find(ch) != std::string_view::npos) {
            out += '\\';
        }
        out += ch;
    }
    out += "( |$)";
    return out;
}

// The executables' patterns joined by "|", quoted as one shell word.
std::string quotedPattern(const std::vector<std::string>& paths) {
    std::string joined;
    for (const auto& p : paths) {
        if (!joined.empty()) {
            joined += '|';
        }
        joined += executablePattern(p);
    }
    return Installer::shellQuote(joined);
}

// zsh -c with the runner's pipe, time limit and status line; nullopt when zsh did not start.
std::optional<platform::ProcessResult> runZsh(const std::vector<std::string>& arguments,
                                              bool keepOutput, std::chrono::milliseconds timeout) {
    platform::ProcessOptions options;
    options.output = keepOutput ? platform::ProcessOptions::Output::Merged
                                : platform::ProcessOptions::Output::Discarded;
    options.timeout = timeout;
    platform::ProcessResult r = platform::runProcess(macPath("/bin/zsh"), arguments, options);
    if (!r.started) {
        return std::nullopt;
    }
    if (r.timedOut) {
        logLine("command timed out after " +
                std::to_string(std::chrono::duration_cast<std::chrono::seconds>(timeout).count()) +
                " s; its process group was killed");
    }
    logLine("task terminationStatus " + std::to_string(r.exitStatus));
    return r;
}

bool runShell(const std::vector<std::string>& arguments, std::optional<std::string>* output,
              std::chrono::milliseconds timeout) {
    const std::optional<platform::ProcessResult> run =
        runZsh(arguments, output != nullptr, timeout);
    if (!run) {
        return false;
    }
    const platform::ProcessResult& r = *run;
    if (!r.succeeded()) {
        return false;
    }
    if (output) {
        if (platform::isValidUtf8(r.output)) {
            *output = r.output;
        } else {
            output->reset();
        }
    }
    return true;
}

}  // namespace

std::string Installer::shellQuote(std::string_view path) {
    std::string out;
    out.reserve(path.size() + 2);
    out += '\'';
    for (const char ch : path) {
        if (ch == '\'') {
            out += "'\\''";
        } else {
            out += ch;
        }
    }
    out += '\'';
    return out;
}

bool Installer::executeCMD(const std::vector<std::string>& arguments) {
    return executeCMD(arguments, kCommandTimeout);
}

bool Installer::executeCMD(const std::vector<std::string>& arguments,
                           std::optional<std::string>& output) {
    return executeCMD(arguments, output, kCommandTimeout);
}

bool Installer::executeCMD(const std::vector<std::string>& arguments,
                           std::chrono::milliseconds timeout) {
    return runShell(arguments, nullptr, timeout);
}

bool Installer::executeCMD(const std::vector<std::string>& arguments,
                           std::optional<std::string>& output, std::chrono::milliseconds timeout) {
    return runShell(arguments, &output, timeout);
}

int Installer::runCommandLine(const std::string& commandLine, std::string& output) {
    const std::optional<platform::ProcessResult> r =
        runZsh({"-c", commandLine}, true, kCommandTimeout);
    if (!r) {
        output.clear();
        return -1;
    }
    output = r->output;
    return r->succeeded() ? 0 : (r->exitStatus == 0 ? -1 : r->exitStatus);
}

std::string Installer::checkIfUsingNowCommand() {
    std::vector<std::string> paths;
    for (const char* folder : {"MacOS", "MacOS_SymLink"}) {
        for (const char* name : {"viewerapp", "transcoder", "perkpanel"}) {
            paths.push_back(appExecutable(folder, name));
        }
    }
    return tool("/usr/bin/pgrep") + " -lf " + quotedPattern(paths);
}

std::string Installer::shutDownServicesCommand() {
    std::vector<std::string> paths;
    for (const char* name : {"sentinel", "transcodeaide", "enginesvc"}) {
        paths.push_back(appExecutable("MacOS", name));
    }
    return tool("/usr/bin/pgrep") + " -lf " + quotedPattern(paths) + " | " + tool("/usr/bin/awk") +
           " '{print $1}' | " + tool("/usr/bin/xargs") + " " + tool("/bin/kill");
}

std::string Installer::resumeServicesCommand() {
    // The service outlives the command line: with the runner's pipe as its output, its first
    // line after the runner has closed the pipe would end it with SIGPIPE.
    return shellQuote(appExecutable("MacOS", "sentinel")) + " /start </dev/null >/dev/null 2>&1 &";
}

std::string Installer::startUseCommand() {
    return tool("/usr/bin/open") + " -a " + shellQuote(macPath(kAppPath));
}

bool Installer::checkIfUsingNow() {
    std::optional<std::string> output;
    if (!executeCMD({"-c", checkIfUsingNowCommand()}, output)) {
        logLine("checkIfUsingNow An error occurred");
        return false;
    }
    return output.has_value();
}

void Installer::shutDownServices() {
    if (!executeCMD({"-c", shutDownServicesCommand()})) {
        logLine("shutDownServices An error occurred");
    }
}

void Installer::resumeServices() {
    if (!executeCMD({"-c", resumeServicesCommand()})) {
        logLine("resumeServices sentinel error occurred");
    }
}

bool Installer::startUse() {
    const bool ok = executeCMD({"-c", startUseCommand()});
    if (!ok) {
        logLine("open An error occurred");
    }
    return ok;
}

OS_TYPE Installer::checkOSArch() {
    std::optional<std::string> output;
    (void)executeCMD({"-c", tool("/usr/bin/uname") + " -m"}, output);
    logLine("Check OS version " + describeOptional(output));
    if (!output) {
        return OS_TYPE::undetermined;
    }
    if (output->find("arm64") != std::string::npos) {
        logLine("choose version arm");
        return OS_TYPE::arm;
    }
    if (output->find("x86") != std::string::npos) {
        logLine("choose version x86");
        return OS_TYPE::x86;
    }
    return OS_TYPE::undetermined;
}

}  // namespace corvane
