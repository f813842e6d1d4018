#include "package_server.h"

#include <httplib.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <chrono>
#include <sstream>
#include <stdexcept>

#include "platform/process.h"

namespace corvane::test {
using namespace std::chrono_literals;

PackageServer::PackageServer(const std::filesystem::path& docroot) {
    // nginx daemonises; as the reaper of orphans this process can collect it once stopped.
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    const auto script = (sourceDir() / "sim/nginx/serve.sh").string();
    const auto r =
        platform::runProcess("/bin/bash", {script, "start", mWork.str(), docroot.string()});
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind("BASE=", 0) == 0) {
            mBase = line.substr(5);
        } else if (line.rfind("CA=", 0) == 0) {
            mCa = line.substr(3);
        }
    }
    if (!r.succeeded() || mBase.empty() || mCa.empty()) {
        throw std::runtime_error("nginx did not start: " + r.output);
    }
}

PackageServer::~PackageServer() {
    const auto script = (sourceDir() / "sim/nginx/serve.sh").string();
    (void)platform::runProcess("/bin/bash", {script, "stop", mWork.str()});
    while (::waitpid(-1, nullptr, WNOHANG) > 0) {
    }
}

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
