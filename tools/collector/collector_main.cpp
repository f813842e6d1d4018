// tally-collector: a reference telemetry collection server for tests, the demo and support.
//
//   tally-collector --vfmt FILE [--db FILE] [--host ADDR] [--port N] [--fault MODE]
//                   [--delay-ms N] [--serial] [--quiet]
//   tally-collector dump --db FILE
//
// The server takes POSTs on any path, checks each batch (size, version 2, count 2, CRC-32),
// decodes both records with the table definitions, stores accepted batches and answers
// "result=1"; anything else gets an error answer without "result=1". Its first line on standard
// output is "listening on HOST:PORT". GET /batches answers what it stored as a JSON array; `dump`
// prints the same objects as JSON lines from a database file. SIGTERM or SIGINT stops it.
#include <httplib.h>
#include <netinet/in.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "collector_store.h"
#include "tally/crc32.h"
#include "tally/decoder.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_format.h"
#include "tally/vo_tally_header.h"

namespace {

enum class Fault {
    None,
    NoResult,   // checks the batch, stores nothing, answers 200 without "result=1"
    Close,      // closes the connection without any answer; stores nothing
    Status500,  // stores an accepted batch and answers 500 with "result=1"
    NonAscii,   // stores an accepted batch and answers "result=1" with a byte above 127
};

struct Options {
    std::string vfmt;
    std::string db = ":memory:";
    std::string host = "127.0.0.1";
    int port = 0;
    Fault fault = Fault::None;
    std::chrono::milliseconds delay{0};
    bool serial = false;
    bool quiet = false;
};

// Far above the largest batch (65535 bytes); larger bodies are refused unread.
constexpr size_t kMaxBody = 1 << 20;

constexpr const char* kUsage =
    "usage: tally-collector --vfmt FILE [--db FILE] [--host ADDR] [--port N]\n"
    "                       [--fault none|no-result|close|status-500|non-ascii]\n"
    "                       [--delay-ms N] [--serial] [--quiet]\n"
    "       tally-collector dump --db FILE\n";

std::optional<long long> parseNumber(std::string_view text) {
    long long value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) {
        return std::nullopt;
    }
    return value;
}

std::optional<Fault> parseFault(std::string_view name) {
    if (name == "none")
        return Fault::None;
    if (name == "no-result")
        return Fault::NoResult;
    if (name == "close")
        return Fault::Close;
    if (name == "status-500")
        return Fault::Status500;
    if (name == "non-ascii")
        return Fault::NonAscii;
    return std::nullopt;
}

// Shuts down the server side of the connection that carried `req`, so the client sees the
// connection end without an answer. The socket is found by its two addresses.
void dropConnection(const httplib::Request& req) {
    const long maxFd = std::min<long>(::sysconf(_SC_OPEN_MAX), 65536);
    for (int fd = 3; fd < maxFd; ++fd) {
        sockaddr_storage local{};
        sockaddr_storage peer{};
        socklen_t localLen = sizeof local;
        socklen_t peerLen = sizeof peer;
        if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &localLen) != 0 ||
            ::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLen) != 0) {
            continue;
        }
        const auto port = [](const sockaddr_storage& a) -> int {
            if (a.ss_family == AF_INET) {
                return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
            }
            if (a.ss_family == AF_INET6) {
                return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
            }
            return -1;
        };
        if (port(local) == req.local_port && port(peer) == req.remote_port) {
            ::shutdown(fd, SHUT_RDWR);
            return;
        }
    }
}

// The checks a batch must pass; the decoded batch or the reason it is refused.
struct Checked {
    std::optional<tally::DecodedBatch> batch;
    std::string reason;
};

Checked checkBatch(const tally::VoTallyFormat& format, std::span<const std::uint8_t> body) {
    Checked out;
    const auto header = tally::VoTallyHeader::fromBytes(body);
    if (!header) {
        out.reason = "batch of " + std::to_string(body.size()) + " bytes is shorter than the " +
                     std::to_string(tally::kHeaderSize) + "-byte header";
        return out;
    }
    if (header->size != body.size()) {
        out.reason = "header size " + std::to_string(header->size) + " but " +
                     std::to_string(body.size()) + " bytes received";
        return out;
    }
    if (header->version != tally::kBatchVersion) {
        out.reason = "version " + std::to_string(header->version) + ", expected 2";
        return out;
    }
    if (header->count != tally::kBatchRecordCount) {
        out.reason = "count " + std::to_string(header->count) + ", expected 2";
        return out;
    }
    const auto records = body.subspan(tally::kHeaderSize);
    const uint32_t crc = tally::crc32(0, records.data(), records.size());
    if (crc != header->crc32) {
        char text[96];
        std::snprintf(text, sizeof text, "crc32 %08x in the header, %08x over the records",
                      header->crc32, crc);
        out.reason = text;
        return out;
    }
    auto decoded = tally::decodeBatch(format, body);
    if (!decoded) {
        out.reason = "records do not decode: " + decoded.error();
        return out;
    }
    out.batch = std::move(decoded).value();
    return out;
}

std::string describeRecords(const tally::DecodedBatch& batch) {
    std::string names;
    for (const auto& r : batch.records) {
        names += (names.empty() ? "" : ",") + r.tableName;
    }
    return names;
}

int runDump(const std::vector<std::string>& args) {
    std::string db;
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--db" && i + 1 < args.size()) {
            db = args[++i];
        } else {
            std::fprintf(stderr, "tally-collector dump: unknown argument '%s'\n%s", args[i].c_str(),
                         kUsage);
            return 2;
        }
    }
    if (db.empty()) {
        std::fprintf(stderr, "tally-collector dump: --db FILE is required\n%s", kUsage);
        return 2;
    }
    collector::CollectorStore store;
    if (auto error = store.open(db, true)) {
        std::fprintf(stderr, "tally-collector dump: %s\n", error->c_str());
        return 1;
    }
    std::string error;
    const nlohmann::json batches = store.dump(error);
    if (!error.empty()) {
        std::fprintf(stderr, "tally-collector dump: %s\n", error.c_str());
        return 1;
    }
    for (const auto& b : batches) {
        std::cout << b.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << '\n';
    }
    std::cout.flush();
    return std::cout ? 0 : 1;
}

std::optional<Options> parseServeArgs(const std::vector<std::string>& args) {
    Options o;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--vfmt" && hasValue) {
            o.vfmt = args[++i];
        } else if (a == "--db" && hasValue) {
            o.db = args[++i];
        } else if (a == "--host" && hasValue) {
            o.host = args[++i];
        } else if (a == "--port" && hasValue) {
            const auto n = parseNumber(args[++i]);
            if (!n || *n < 0 || *n > 65535) {
                std::fprintf(stderr, "tally-collector: bad port '%s'\n", args[i].c_str());
                return std::nullopt;
            }
            o.port = static_cast<int>(*n);
        } else if (a == "--fault" && hasValue) {
            const auto f = parseFault(args[++i]);
            if (!f) {
                std::fprintf(stderr, "tally-collector: unknown fault mode '%s'\n", args[i].c_str());
                return std::nullopt;
            }
            o.fault = *f;
        } else if (a == "--delay-ms" && hasValue) {
            const auto n = parseNumber(args[++i]);
            if (!n || *n < 0) {
                std::fprintf(stderr, "tally-collector: bad delay '%s'\n", args[i].c_str());
                return std::nullopt;
            }
            o.delay = std::chrono::milliseconds(*n);
        } else if (a == "--serial") {
            o.serial = true;
        } else if (a == "--quiet") {
            o.quiet = true;
        } else {
            std::fprintf(stderr, "tally-collector: unknown argument '%s'\n", a.c_str());
            return std::nullopt;
        }
    }
    if (o.vfmt.empty()) {
        std::fprintf(stderr, "tally-collector: --vfmt FILE is required\n");
        return std::nullopt;
    }
    return o;
}

int runServer(const Options& options) {
    const bool quiet = options.quiet;
    (void)tally::VoLogUtil::setSink([quiet](std::string_view line) {
        if (!quiet) {
            std::fprintf(stderr, "%.*s\n", static_cast<int>(line.size()), line.data());
        }
    });
    auto loaded = tally::VoTallyFormat::fromFile(options.vfmt);
    if (!loaded) {
        std::fprintf(stderr, "tally-collector: %s\n", loaded.error().c_str());
        return 1;
    }
    const tally::VoTallyFormat format = std::move(loaded).value();

    collector::CollectorStore store;
    if (auto error = store.open(options.db, false)) {
        std::fprintf(stderr, "tally-collector: %s\n", error->c_str());
        return 1;
    }

    // Stop requests reach the server from a thread of their own: a signal handler may not
    // stop it.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    std::mutex stopMutex;
    std::condition_variable stopCv;
    bool stopping = false;

    httplib::Server server;
    server.set_payload_max_length(kMaxBody);
    server.set_keep_alive_timeout(1);
    if (options.serial) {
        // One connection at a time, closed after its answer: requests are handled in the order
        // their connections were opened.
        server.new_task_queue = [] { return std::make_unique<httplib::ThreadPool>(1).release(); };
        server.set_keep_alive_max_count(1);
    }

    server.Get("/batches", [&](const httplib::Request&, httplib::Response& res) {
        std::string error;
        const nlohmann::json batches = store.dump(error);
        if (!error.empty()) {
            res.status = 500;
            res.set_content(error + "\n", "text/plain");
            return;
        }
        res.set_content(batches.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace),
                        "application/json");
    });

    // The poster labels its binary body as a form; read it through a content reader so it is
    // taken as it is, whatever its size, instead of being parsed (and capped) as form fields.
    const httplib::Server::HandlerWithContentReader onPost =
        [&](const httplib::Request& req, httplib::Response& res,
            const httplib::ContentReader& reader) {
            std::string raw;
            const bool complete = reader([&](const char* data, size_t length) {
                raw.append(data, length);
                return raw.size() <= kMaxBody;
            });
            if (!complete) {
                res.status = 413;
                res.set_content("result=0\nerror=body too large or cut short\n", "text/plain");
                return;
            }
            const std::span<const std::uint8_t> body(
                reinterpret_cast<const std::uint8_t*>(raw.data()), raw.size());
            const Checked checked = checkBatch(format, body);
            std::string log = "POST " + req.path + " " + std::to_string(body.size()) + " bytes: ";
            if (!checked.batch) {
                log += "refused: " + checked.reason;
                res.status = 400;
                res.set_content("result=0\nerror=" + checked.reason + "\n", "text/plain");
            } else if (options.fault == Fault::NoResult || options.fault == Fault::Close) {
                log += options.fault == Fault::Close ? "dropped the connection (fault mode)"
                                                     : "answered without result (fault mode)";
                res.set_content("result=0\nerror=fault mode\n", "text/plain");
            } else {
                collector::RequestInfo info{req.path, req.get_header_value("Content-Type"),
                                            req.get_header_value("User-Agent"),
                                            req.get_header_value("X-Cf-Platform"),
                                            req.get_header_value("X-Cf-Device-Id")};
                std::string error;
                if (const auto id = store.store(body, *checked.batch, info, error)) {
                    log += "stored batch " + std::to_string(*id) + " (" +
                           describeRecords(*checked.batch) + ")";
                    res.status = options.fault == Fault::Status500 ? 500 : 200;
                    res.set_content(
                        options.fault == Fault::NonAscii ? "result=1 \xC3\xA9\n" : "result=1\n",
                        "text/plain");
                } else {
                    log += "not stored: " + error;
                    res.status = 500;
                    res.set_content("result=0\nerror=store failed\n", "text/plain");
                }
            }
            if (!quiet) {
                std::fprintf(stderr, "tally-collector: %s\n", log.c_str());
            }
            if (options.delay.count() > 0) {
                std::unique_lock lock(stopMutex);
                stopCv.wait_for(lock, options.delay, [&] { return stopping; });
            }
            if (options.fault == Fault::Close && checked.batch) {
                dropConnection(req);
            }
        };
    server.Post(R"(/.*)", onPost);

    const int port = options.port == 0
                         ? server.bind_to_any_port(options.host)
                         : (server.bind_to_port(options.host, options.port) ? options.port : -1);
    if (port <= 0) {
        std::fprintf(stderr, "tally-collector: cannot listen on %s:%d\n", options.host.c_str(),
                     options.port);
        return 1;
    }

    std::thread signalThread([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        {
            std::lock_guard lock(stopMutex);
            stopping = true;
        }
        stopCv.notify_all();
        server.stop();
    });

    std::printf("listening on %s:%d\n", options.host.c_str(), port);
    std::fflush(stdout);
    const bool listened = server.listen_after_bind();

    // The server may end without a signal (its socket failed); wake the signal thread then.
    {
        std::lock_guard lock(stopMutex);
        if (!stopping) {
            pthread_kill(signalThread.native_handle(), SIGTERM);
        }
    }
    signalThread.join();
    if (!quiet) {
        std::fprintf(stderr, "tally-collector: stopped\n");
    }
    return listened ? 0 : 1;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
// cpp-httplib comes as a prebuilt, uninstrumented library: ThreadSanitizer sees the memory its
// worker threads touch through intercepted calls but not the locking around it, and reports
// races that are not there. Our own code stays fully checked.
extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libcpp-httplib.so\n";
}
#endif

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && (args[0] == "--help" || args[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!args.empty() && args[0] == "dump") {
        return runDump({args.begin() + 1, args.end()});
    }
    if (!args.empty() && args[0] == "serve") {
        args.erase(args.begin());
    }
    const auto options = parseServeArgs(args);
    if (!options) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    return runServer(*options);
}
