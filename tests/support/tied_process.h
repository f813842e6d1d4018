#pragma once
// Servers and helper programs that a test starts and that must not outlive it. CTest kills a
// test that runs past its time limit with SIGKILL, so no destructor runs: each child here gets
// SIGKILL from the kernel when the thread that started it ends (PR_SET_PDEATHSIG). Start them
// from the test's own thread (the fixture or the test body), never from a short-lived worker
// thread, whose end would stop them early.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace corvane::test {

class TiedProcess {
  public:
    // Starts argv[0] (an absolute path) with argv, standard input from /dev/null, standard
    // output into a pipe read by readLine(), standard error appended to `errorLog` (the test's
    // own standard error when empty). started() tells whether it could be started.
    explicit TiedProcess(std::vector<std::string> argv, const std::filesystem::path& errorLog = {});
    // stop()
    ~TiedProcess();
    TiedProcess(const TiedProcess&) = delete;
    TiedProcess& operator=(const TiedProcess&) = delete;

    [[nodiscard]] bool started() const { return mPid > 0; }
    [[nodiscard]] pid_t pid() const { return mPid; }
    // The next line of its standard output, without the line end; nullopt once the output has
    // ended (the program exited or closed it). Blocks until then: a program that neither writes
    // nor ends is stopped by the test's own time limit, which also stops the program.
    [[nodiscard]] std::optional<std::string> readLine();
    // SIGTERM, then up to `grace` for it to end, then SIGKILL. Its exit status (128 + N when a
    // signal N ended it), or -1 when it had to be killed or was not running.
    int stop(std::chrono::milliseconds grace = std::chrono::seconds(20));

  private:
    pid_t mPid = -1;
    int mOut = -1;
    std::string mPending;
};

// The test package server: sim/nginx/serve.sh `run` (nginx as one process in the foreground)
// as a TiedProcess, serving `docroot` over HTTPS on a free loopback port with a certificate
// authority made for it. Throws when it does not start. Stopped on destruction.
class NginxServer {
  public:
    explicit NginxServer(const std::filesystem::path& docroot);
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    [[nodiscard]] const std::string& base() const { return mBase; }    // https://127.0.0.1:PORT
    [[nodiscard]] const std::string& caBundle() const { return mCa; }  // the CA to trust
    [[nodiscard]] const std::filesystem::path& work() const { return mWork.path(); }
    // The server's own certificate and key, for other servers of the test.
    [[nodiscard]] std::filesystem::path certificate() const { return work() / "server.crt"; }
    [[nodiscard]] std::filesystem::path privateKey() const { return work() / "server.key"; }
    // The nginx process itself (its pid file).
    [[nodiscard]] pid_t nginxPid() const;
    // The serve.sh process that holds nginx.
    [[nodiscard]] pid_t scriptPid() const { return mProcess->pid(); }

  private:
    TempDir mWork;
    std::optional<TiedProcess> mProcess;
    std::string mBase;
    std::string mCa;
};

}  // namespace corvane::test
