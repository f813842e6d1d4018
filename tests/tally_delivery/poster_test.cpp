// The poster against loopback servers: the reference collector, and a raw socket served by hand.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "delivery_support.h"
#include "tally/vo_http_poster.h"

namespace tally {
namespace {

using namespace std::chrono_literals;
using test::CollectorProcess;
using test::DeliveryWorld;

// What one post ended with: 0 delivered, else the PostError code; nothing while it runs.
struct Outcome {
    std::optional<int> code;
    bool onMainThread = false;
};

void postTo(VoHttpPoster& poster, const std::string& url, ByteBuffer data, Outcome& outcome) {
    const auto end = [&outcome, main = std::this_thread::get_id()](int code) {
        outcome.code = code;
        outcome.onMainThread = std::this_thread::get_id() == main;
    };
    poster.post(
        url, std::move(data), [end] { end(0); },
        [end](const PostError& e) {
            EXPECT_EQ(e.domain, "post failed");
            end(e.code);
        });
}

// Posts, runs `between` (a server's part), then the main loop until the outcome is in.
int postAndWait(DeliveryWorld& world, VoHttpPoster& poster, const std::string& url,
                const std::function<void()>& between = {}) {
    Outcome o;
    postTo(poster, url, test::testBatch(1044, 1), o);
    if (between) {
        between();
    }
    EXPECT_TRUE(world.loop().runUntil([&] { return o.code.has_value(); }, 30s));
    EXPECT_TRUE(o.onMainThread);
    return o.code.value_or(-1);
}

// A listening loopback socket on a free port, served by hand from the test's thread.
class Listener {
  public:
    Listener() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        EXPECT_EQ(::bind(mFd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(::listen(mFd, 16), 0);
        ::getsockname(mFd, reinterpret_cast<sockaddr*>(&addr), &len);
        mPort = ntohs(addr.sin_port);
    }
    ~Listener() { ::close(mFd); }

    [[nodiscard]] int port() const { return mPort; }
    [[nodiscard]] std::string url() const {
        return "http://127.0.0.1:" + std::to_string(mPort) + "/collect";
    }

    // Reads the next whole request, answers `answer` verbatim and closes; the raw request.
    std::string serve(const std::string& answer) const {
        pollfd listening{mFd, POLLIN, 0};
        const int fd =
            ::poll(&listening, 1, 10000) > 0 ? ::accept4(mFd, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        EXPECT_GE(fd, 0) << "no connection came";
        std::string request;
        for (std::size_t expected = std::string::npos; fd >= 0 && request.size() < expected;) {
            pollfd p{fd, POLLIN, 0};
            char buf[4096];
            const ssize_t n = ::poll(&p, 1, 10000) > 0 ? ::recv(fd, buf, sizeof buf, 0) : -1;
            if (n <= 0) {
                break;
            }
            request.append(buf, static_cast<size_t>(n));
            const auto end = request.find("\r\n\r\n");
            const auto length = request.find("Content-Length: ");
            if (end != std::string::npos && length < end) {
                expected = end + 4 + std::stoul(request.substr(length + 16));
            }
        }
        (void)::send(fd, answer.data(), answer.size(), MSG_NOSIGNAL);
        ::close(fd);
        return request;
    }

  private:
    int mFd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int mPort = 0;
};

std::string answer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(PosterRequest, SendsTheBatchWithFourHeaderFieldsAndOnlyTheAnswerTextDecides) {
    const std::pair<std::string, int> rows[] = {
        {answer("200 OK", "result=1"), 0},
        {answer("200 OK", "ok&result=10&more"), 0},
        {answer("500 Internal Server Error", "result=1"), 0},
        {answer("200 OK", ""), PostError::kRejected},
        {answer("200 OK", "result=0"), PostError::kRejected},
        {answer("200 OK", "RESULT=1"), PostError::kRejected},
        {answer("200 OK", "result=1 \xff"), PostError::kRejected},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nresult=1 until closed", 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nresult=1 cut short", PostError::kTransport},
        {"not http at all\r\n\r\n", PostError::kTransport},
        {"", PostError::kTransport},
    };
    DeliveryWorld world;
    Listener server;
    VoHttpPoster poster;
    std::string r;
    for (const auto& [text, code] : rows) {
        SCOPED_TRACE(text);
        EXPECT_EQ(postAndWait(world, poster, server.url(), [&] { r = server.serve(text); }), code);
    }
    EXPECT_TRUE(r.starts_with("POST /collect HTTP/1.1\r\n")) << r;
    std::size_t last = 0;
    for (const char* header : {"\r\nContent-Type: application/x-www-form-urlencoded\r\n",
                               "\r\nUser-Agent: Mozilla/5.0\r\n", "\r\nX-Cf-Platform: pc\r\n",
                               "\r\nX-Cf-Device-Id: 1\r\n"}) {
        const auto at = r.find(header);
        ASSERT_NE(at, std::string::npos) << header << r;
        EXPECT_GT(at, last) << header;
        last = at;
    }
    EXPECT_EQ(r.find("Expect:"), std::string::npos) << "the body goes out without a 100 wait";
    const ByteBuffer batch = test::testBatch(1044, 1);
    EXPECT_EQ(r.substr(r.find("\r\n\r\n") + 4), std::string(batch.begin(), batch.end()));
}

TEST(PosterUrls, UnusableUrlsAreTransportFailures) {
    DeliveryWorld world;
    const int closedPort = Listener().port();  // just free: nothing listens there
    VoHttpPoster poster;
    for (const std::string& url :
         {std::string(), std::string("not a url"), std::string("http://"),
          std::string("file:///etc/hostname"), std::string("ftp://127.0.0.1/x"),
          "http://127.0.0.1:" + std::to_string(closedPort) + "/report"}) {
        SCOPED_TRACE(url);
        EXPECT_EQ(postAndWait(world, poster, url), PostError::kTransport);
    }
}

class PosterCollector : public ::testing::Test {
  protected:
    std::unique_ptr<CollectorProcess> start(const std::vector<std::string>& args) {
        auto c =
            std::make_unique<CollectorProcess>(world.vfmtPath(), world.dir() / "store.db", args);
        EXPECT_TRUE(c->running()) << c->log();
        return c;
    }
    DeliveryWorld world;
};

TEST_F(PosterCollector, SlowServerRunsIntoTheTimeout) {
    auto collector = start({"--delay-ms", "20000"});
    VoHttpPoster poster(300ms);
    EXPECT_EQ(postAndWait(world, poster, collector->url()), PostError::kTransport);
    EXPECT_EQ(collector->stop(), 0) << "a delayed answer does not keep the collector from stopping";
}

// The server takes one connection at a time, so it stores them in the order they were opened.
TEST_F(PosterCollector, RequestsStartInQueueOrderAndWaitUntilIdleSeesThemAllAnswered) {
    auto collector = start({"--serial"});
    VoHttpPoster poster;
    std::vector<Outcome> outcomes(6);
    for (size_t i = 0; i < outcomes.size(); ++i) {
        postTo(poster, collector->url(), test::testBatch(1044, 100 + static_cast<int64_t>(i)),
               outcomes[i]);
    }
    EXPECT_TRUE(poster.waitUntilIdle(60s));
    EXPECT_EQ(poster.inFlight(), 0u);
    world.loop().drain();
    for (const auto& o : outcomes) {
        EXPECT_EQ(o.code, 0);
    }
    const auto stored = collector->dump();
    ASSERT_EQ(stored.size(), outcomes.size());
    for (size_t i = 0; i < outcomes.size(); ++i) {
        EXPECT_EQ(stored[i]["records"][1]["fields"]["reason"], 100 + i);
    }
}

TEST_F(PosterCollector, DebugUrlReplacesEveryUrl) {
    auto collector = start({});
    VoHttpPoster poster;
    poster.mDebugURL = collector->url("/debug");
    EXPECT_EQ(postAndWait(world, poster, "http://127.0.0.1:1/elsewhere"), 0);
    const auto stored = collector->dump();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["path"], "/debug");
    EXPECT_EQ(stored[0]["raw"], test::hexOf(test::testBatch(1044, 1)));
}

TEST_F(PosterCollector, ShutdownAbandonsPostsToAServerThatNeverAnswers) {
    auto collector = start({"--delay-ms", "600000"});
    std::vector<Outcome> outcomes(3);
    {
        VoHttpPoster poster;
        for (auto& o : outcomes) {
            postTo(poster, collector->url(), test::testBatch(1044, 1), o);
        }
        EXPECT_FALSE(poster.waitUntilIdle(200ms));
        EXPECT_EQ(poster.inFlight(), 3u);
    }  // joins its worker without waiting for the answers
    world.loop().drain();
    for (const auto& o : outcomes) {
        EXPECT_FALSE(o.code) << "abandoned posts call neither callback";
    }
    EXPECT_EQ(collector->stop(), 0);
}

}  // namespace
}  // namespace tally
