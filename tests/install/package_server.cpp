#include "package_server.h"

#include <httplib.h>

#include <chrono>
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
