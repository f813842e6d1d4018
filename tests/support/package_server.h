#pragma once
// Package servers that misbehave on request, on loopback ports chosen at run time, with the
// certificate of the test's NginxServer (support/tied_process.h).
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/tied_process.h"

namespace httplib {
class SSLServer;
}

namespace corvane::test {

// Our own server, for what neither nginx nor sim/fault_server.py does.
class FaultServer {
  public:
    // GET /drop:  announces `size` bytes with a Content-Disposition, sends `size` / 4, closes.
    // GET /gated: announces and eventually sends `size` bytes with a Content-Disposition, but
    //             holds back the second half until openGate() (or ten seconds).
    FaultServer(const NginxServer& tls, int64_t size);
    ~FaultServer();
    FaultServer(const FaultServer&) = delete;
    FaultServer& operator=(const FaultServer&) = delete;

    [[nodiscard]] std::string base() const { return "https://127.0.0.1:" + std::to_string(mPort); }
    void openGate();

  private:
    std::unique_ptr<httplib::SSLServer> mServer;
    std::thread mThread;
    int mPort = 0;
    std::mutex mMutex;
    std::condition_variable mCv;
    bool mGateOpen = false;
};

// sim/fault_server.py: range-capable, with faults chosen at start (drops, stalls, no ranges,
// changed validators, 416, endless or overlong bodies); it counts what it sent.
class ScriptedFaultServer {
  public:
    // Serves `file` with the given fault options; throws when the server does not start. It ends
    // with the test, even when the test is killed.
    ScriptedFaultServer(const NginxServer& tls, const std::filesystem::path& file,
                        const std::vector<std::string>& faults);

    [[nodiscard]] std::string url() const {
        return "https://127.0.0.1:" + std::to_string(mPort) + "/velodoc/corvanereader_x86_64.dmg";
    }
    struct Stats {
        int requests = 0;
        int64_t bytes = 0;     // body bytes sent, over all requests
        std::string statuses;  // "200,206"
        int open = 0;          // responses still being sent
    };
    // Once every response has ended (or after ten seconds).
    [[nodiscard]] Stats stats() const;

  private:
    [[nodiscard]] Stats readStats() const;
    std::filesystem::path mStats;  // beside the certificate: never in the test's own folders
    TiedProcess mProcess;
    int mPort = 0;
};

}  // namespace corvane::test
