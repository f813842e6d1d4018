#pragma once
// Starting a child process and waiting for it: the one seam every shell command goes through.
#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace corvane::platform {

struct ProcessOptions {
    // Where the child's standard output and standard error go.
    enum class Output {
        Merged,      // both into one pipe, returned in ProcessResult::output
        Discarded,   // both into one pipe that is drained and thrown away
        Inherited,   // the parent's own standard output and error
        StdoutOnly,  // standard output into a pipe, returned in ProcessResult::output; standard
                     // error stays the parent's, so a tool's warnings never mix into its answer
    };
    Output output = Output::Merged;
    // After this long the child's whole process group is killed and the run counts as failed.
    std::chrono::milliseconds timeout = std::chrono::minutes(30);
};

struct ProcessResult {
    bool started = false;    // false: the executable could not be started (nothing else is set)
    bool timedOut = false;   // true: killed at the time-out; exitStatus is then -1
    int exitStatus = -1;     // the child's exit status; 128 + N when killed by signal N
    std::string output;      // the captured output (Merged, StdoutOnly), raw bytes
    std::string startError;  // why the start failed, when it did

    [[nodiscard]] bool succeeded() const { return started && !timedOut && exitStatus == 0; }
};

// Runs `executable` (an absolute path, not looked up in PATH) with `arguments` (not including
// argv[0]), standard input from /dev/null, the parent's environment and working folder, in a
// process group of its own. Blocks until the child itself has exited: a grandchild left running
// in the background that still holds the output pipe does not delay the return; whatever it
// writes later is lost. Safe to call from any thread.
[[nodiscard]] ProcessResult runProcess(const std::string& executable,
                                       const std::vector<std::string>& arguments,
                                       const ProcessOptions& options = {});

}  // namespace corvane::platform
