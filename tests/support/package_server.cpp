#include "support/package_server.h"

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

namespace corvane::test {
using namespace std::chrono_literals;

FaultServer::FaultServer(const NginxServer& tls, int64_t size)
    : mServer(std::make_unique<httplib::SSLServer>(tls.certificate().c_str(),
                                                   tls.privateKey().c_str())) {
    const auto total = static_cast<size_t>(size);
    // Sends the body up to `upTo(offset)` bytes at a time; stops (closing the connection) at 0.
    auto serve = [total](auto upTo) {
        return [total, upTo](const httplib::Request&, httplib::Response& res) {
            res.set_header("Content-Disposition",
                           "attachment; filename=\"corvanereader_x86_64.dmg\"");
            res.set_content_provider(total, "application/octet-stream",
                                     [upTo](size_t offset, size_t, httplib::DataSink& sink) {
                                         const std::string chunk(upTo(offset), 'd');
                                         return !chunk.empty() &&
                                                sink.write(chunk.data(), chunk.size());
                                     });
        };
    };
    mServer->Get("/drop", serve([total](size_t offset) {
                     return offset >= total / 4 ? 0 : total / 4 - offset;
                 }));
    mServer->Get("/gated", serve([this, total](size_t offset) {
                     if (offset >= total / 2) {
                         std::unique_lock lock(mMutex);
                         mCv.wait_for(lock, 10s, [this] { return mGateOpen; });
                     }
                     return offset < total / 2 ? total / 2 - offset : total - offset;
                 }));
    mPort = mServer->bind_to_any_port("127.0.0.1");
    if (mPort <= 0) {
        throw std::runtime_error("fault server could not bind");
    }
    mThread = std::thread([this] { mServer->listen_after_bind(); });
}

FaultServer::~FaultServer() {
    openGate();
    mServer->stop();
    mThread.join();
}

void FaultServer::openGate() {
    {
        std::lock_guard lock(mMutex);
        mGateOpen = true;
    }
    mCv.notify_all();
}

namespace {

std::vector<std::string> faultServerCommand(const NginxServer& tls,
                                            const std::filesystem::path& file,
                                            const std::filesystem::path& stats,
                                            const std::vector<std::string>& faults) {
    std::filesystem::remove(stats);  // none of an earlier server's figures may be read
    std::vector<std::string> args = {"/usr/bin/python3",
                                     (sourceDir() / "sim/fault_server.py").string(),
                                     "--cert",
                                     tls.certificate().string(),
                                     "--key",
                                     tls.privateKey().string(),
                                     "--file",
                                     file.string(),
                                     "--stats",
                                     stats.string()};
    args.insert(args.end(), faults.begin(), faults.end());
    return args;
}

}  // namespace

ScriptedFaultServer::ScriptedFaultServer(const NginxServer& tls, const std::filesystem::path& file,
                                         const std::vector<std::string>& faults)
    : mStats(tls.work() / ("fault-stats-" + std::to_string(reinterpret_cast<uintptr_t>(this)))),
      mProcess(faultServerCommand(tls, file, mStats, faults)) {
    const std::optional<std::string> line = mProcess.readLine();  // "PORT=N" once it listens
    if (!line || line->rfind("PORT=", 0) != 0) {
        throw std::runtime_error("fault server did not start: " + line.value_or("(no output)"));
    }
    mPort = std::stoi(line->substr(5));
}

ScriptedFaultServer::Stats ScriptedFaultServer::stats() const {
    // A connection the client has cut is still being written to for a moment; its bytes count
    // once the server notices.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    Stats s = readStats();
    while (s.open > 0 && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        s = readStats();
    }
    return s;
}

ScriptedFaultServer::Stats ScriptedFaultServer::readStats() const {
    Stats s;
    std::ifstream in(mStats);
    for (std::string word; in >> word && s.statuses.empty();) {
        if (word.rfind("open=", 0) == 0) {
            s.open = std::stoi(word.substr(5));
        } else if (word.rfind("requests=", 0) == 0) {
            s.requests = std::stoi(word.substr(9));
        } else if (word.rfind("bytes=", 0) == 0) {
            s.bytes = std::stoll(word.substr(6));
        } else if (word.rfind("statuses=", 0) == 0) {
            s.statuses = word.substr(9);
        }
    }
    return s;
}

}  // namespace corvane::test
