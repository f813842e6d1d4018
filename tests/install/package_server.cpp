#include "package_server.h"

#include <httplib.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
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

namespace corvane::test {

ScriptedFaultServer::ScriptedFaultServer(const PackageServer& tls,
                                         const std::filesystem::path& file,
                                         const std::vector<std::string>& faults)
    : mStats(tls.certificate().parent_path() /
             ("fault-stats-" + std::to_string(reinterpret_cast<uintptr_t>(this)))) {
    std::filesystem::remove(mStats);
    std::vector<std::string> args = {"python3", (sourceDir() / "sim/fault_server.py").string(),
                                     "--cert",  tls.certificate().string(),
                                     "--key",   tls.privateKey().string(),
                                     "--file",  file.string(),
                                     "--stats", mStats.string()};
    args.insert(args.end(), faults.begin(), faults.end());
    std::vector<char*> argv;
    for (auto& a : args) {
        argv.push_back(a.data());
    }
    argv.push_back(nullptr);
    int out[2];
    if (::pipe(out) != 0) {
        throw std::runtime_error("pipe failed");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const int rc = ::posix_spawnp(&mPid, "python3", &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    std::string line;
    char ch = 0;
    while (rc == 0 && ::read(out[0], &ch, 1) == 1 && ch != '\n') {
        line += ch;
    }
    ::close(out[0]);
    if (rc != 0 || line.rfind("PORT=", 0) != 0) {
        throw std::runtime_error("fault server did not start: " + line);
    }
    mPort = std::stoi(line.substr(5));
}

ScriptedFaultServer::~ScriptedFaultServer() {
    if (mPid > 0) {
        ::kill(mPid, SIGTERM);
        ::waitpid(mPid, nullptr, 0);
    }
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
