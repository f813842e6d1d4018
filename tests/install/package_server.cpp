#include "package_server.h"

#include <httplib.h>

#include <chrono>
#include <fstream>
#include <stdexcept>

namespace corvane::test {
using namespace std::chrono_literals;

FaultServer::FaultServer(const PackageServer& tls, int64_t size)
    : mServer(std::make_unique<httplib::SSLServer>(tls.certificate().c_str(),
                                                   tls.privateKey().c_str())),
      mPort(0) {
    const auto total = static_cast<size_t>(size);
    auto headers = [](httplib::Response& res) {
        res.set_header("Content-Disposition", "attachment; filename=\"corvanereader_x86_64.dmg\"");
    };
    mServer->Get("/drop", [total, headers](const httplib::Request&, httplib::Response& res) {
        headers(res);
        res.set_content_provider(total, "application/octet-stream",
                                 [total](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset >= total / 4) {
                                         return false;  // closes the connection mid-body
                                     }
                                     const std::string chunk(total / 4, 'd');
                                     sink.write(chunk.data(), chunk.size());
                                     return true;
                                 });
    });
    mServer->Get("/gated", [this, total, headers](const httplib::Request&, httplib::Response& res) {
        headers(res);
        res.set_content_provider(total, "application/octet-stream",
                                 [this, total](size_t offset, size_t, httplib::DataSink& sink) {
                                     if (offset >= total / 2) {
                                         std::unique_lock lock(mMutex);
                                         mCv.wait_for(lock, 10s, [this] { return mGateOpen; });
                                     }
                                     const size_t n =
                                         offset < total / 2 ? total / 2 - offset : total - offset;
                                     const std::string chunk(n, 'g');
                                     sink.write(chunk.data(), chunk.size());
                                     return true;
                                 });
    });
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

}  // namespace corvane::test

namespace corvane::test {

namespace {

std::vector<std::string> faultServerCommand(const PackageServer& tls,
                                            const std::filesystem::path& file,
                                            const std::filesystem::path& stats,
                                            const std::vector<std::string>& faults) {
    // The server writes its figures as it goes; none of an earlier server may be read.
    std::filesystem::remove(stats);
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

ScriptedFaultServer::ScriptedFaultServer(const PackageServer& tls,
                                         const std::filesystem::path& file,
                                         const std::vector<std::string>& faults)
    : mStats(tls.certificate().parent_path() /
             ("fault-stats-" + std::to_string(reinterpret_cast<uintptr_t>(this)))),
      mProcess(faultServerCommand(tls, file, mStats, faults)) {
    // Its first line names the port.
    const std::optional<std::string> line = mProcess.readLine();
    if (!line || line->rfind("PORT=", 0) != 0) {
        throw std::runtime_error("fault server did not start: " + line.value_or("(no output)"));
    }
    mPort = std::stoi(line->substr(5));
}

ScriptedFaultServer::Stats ScriptedFaultServer::stats() const {
    Stats s;
    std::ifstream in(mStats);
    std::string word;
    while (in >> word) {
        if (word.rfind("requests=", 0) == 0) {
            s.requests = std::stoi(word.substr(9));
        } else if (word.rfind("bytes=", 0) == 0) {
            s.bytes = std::stoll(word.substr(6));
        } else if (word.rfind("statuses=", 0) == 0) {
            s.statuses = word.substr(9);
            break;
        }
    }
    return s;
}

}  // namespace corvane::test
