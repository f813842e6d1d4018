#pragma once
// Servers for download tests, on loopback ports chosen at run time:
//  - PackageServer: a private nginx (sim/nginx/serve.sh) serving a folder over HTTPS with a test
//    certificate authority made for it;
//  - FaultServer: our own HTTPS server for what nginx will not do on request: a body cut off
//    mid-transfer, and a body held back until the test lets it go;
//  - ScriptedFaultServer: sim/fault_server.py, a range-capable server whose faults are chosen at
//    start (drops, stalls, no range support, changed validators, 416, endless or overlong bodies)
//    and which counts what it sent.
#include <sys/types.h>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/test_support.h"
#include "support/tied_process.h"

namespace httplib {
class SSLServer;
}

namespace corvane::test {

class PackageServer {
  public:
    // Serves `docroot`; throws when nginx does not start. nginx ends with the test, even when
    // the test is killed (NginxServer).
    explicit PackageServer(const std::filesystem::path& docroot) : mNginx(docroot) {}

    [[nodiscard]] const std::string& base() const { return mNginx.base(); }
    [[nodiscard]] const std::string& caBundle() const { return mNginx.caBundle(); }
    [[nodiscard]] std::filesystem::path certificate() const { return mNginx.work() / "server.crt"; }
    [[nodiscard]] std::filesystem::path privateKey() const { return mNginx.work() / "server.key"; }

  private:
    NginxServer mNginx;
};

class FaultServer {
  public:
    // GET /drop:  announces `size` bytes with a Content-Disposition, sends `size` / 4, closes.
    // GET /gated: announces and eventually sends `size` bytes with a Content-Disposition, but
    //             holds back the second half until openGate() (or ten seconds).
    FaultServer(const PackageServer& tls, int64_t size);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    [[nodiscard]] std::string base() const { return "https://127.0.0.1:" + std::to_string(mPort); }
    void openGate();

  private:
    std::unique_ptr<httplib::SSLServer> mServer;
    std::thread mThread;
    int mPort;
    std::mutex mMutex;
    std::condition_variable mCv;
    bool mGateOpen = false;
};

class ScriptedFaultServer {
  public:
    // Serves `file` with the given fault options (see sim/fault_server.py); throws when the
    // server does not start. Its statistics file goes to `tls`'s own folder.
    ScriptedFaultServer(const PackageServer& tls, const std::filesystem::path& file,
                        const std::vector<std::string>& faults);
    ScriptedFaultServer(const ScriptedFaultServer&) = delete;
    ScriptedFaultServer& operator=(const ScriptedFaultServer&) = delete;

    [[nodiscard]] std::string url() const {
        return "https://127.0.0.1:" + std::to_string(mPort) + "/velodoc/corvanereader_x86_64.dmg";
    }
    struct Stats {
        int requests = 0;
        int64_t bytes = 0;     // body bytes sent, over all requests
        std::string statuses;  // "200,206"
    };
    [[nodiscard]] Stats stats() const;

  private:
    std::filesystem::path mStats;
    TiedProcess mProcess;  // ends with the test, even when the test is killed
    int mPort = 0;
};

}  // namespace corvane::test
