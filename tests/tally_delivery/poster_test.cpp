// The poster against real servers on loopback: the reference collector in each of its modes, and
// a scripted server that records the exact request and gives exact answers.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
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

// What one post ended with, seen from the main thread.
struct Outcome {
    bool done = false;
    bool resolved = false;
    std::optional<PostError> error;
    bool onMainThread = false;
};

// Posts `data` and records the outcome; the callbacks note whether they ran on this thread.
void postTo(VoHttpPoster& poster, const std::string& url, ByteBuffer data, Outcome& outcome) {
    const auto mainThread = std::this_thread::get_id();
    poster.post(
        url, std::move(data),
        [&outcome, mainThread] {
            outcome.done = true;
            outcome.resolved = true;
            outcome.onMainThread = std::this_thread::get_id() == mainThread;
        },
        [&outcome, mainThread](const PostError& e) {
            outcome.done = true;
            outcome.error = e;
            outcome.onMainThread = std::this_thread::get_id() == mainThread;
        });
}

Outcome postAndWait(DeliveryWorld& world, VoHttpPoster& poster, const std::string& url,
                    ByteBuffer data) {
    Outcome outcome;
    postTo(poster, url, std::move(data), outcome);
    EXPECT_TRUE(world.loop().runUntil([&] { return outcome.done; }, 30s));
    return outcome;
}

void expectRejected(const Outcome& o, int code) {
    EXPECT_TRUE(o.done);
    EXPECT_FALSE(o.resolved);
    ASSERT_TRUE(o.error.has_value());
    EXPECT_EQ(o.error->domain, "post failed");
    EXPECT_EQ(o.error->code, code);
    EXPECT_TRUE(o.onMainThread);
}

sockaddr_in loopback() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// A one-connection-at-a-time HTTP server that records each raw request and sends the next
// scripted answer verbatim, then closes the connection.
class ScriptedServer {
  public:
    explicit ScriptedServer(std::vector<std::string> answers) : mAnswers(std::move(answers)) {
        mListen = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr = loopback();
        socklen_t len = sizeof addr;
        if (::bind(mListen, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
            ::listen(mListen, 16) != 0 ||
            ::getsockname(mListen, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
            ADD_FAILURE() << "scripted server cannot listen";
            return;
        }
        mPort = ntohs(addr.sin_port);
        mThread = std::thread([this] { serve(); });
    }
    ~ScriptedServer() {
        ::shutdown(mListen, SHUT_RDWR);
        if (mThread.joinable()) {
            mThread.join();
        }
        ::close(mListen);
    }
    [[nodiscard]] std::string url() const {
        return "http://127.0.0.1:" + std::to_string(mPort) + "/collect";
    }
    [[nodiscard]] std::vector<std::string> requests() const {
        std::lock_guard lock(mMutex);
        return mRequests;
    }

  private:
    void serve() {
        for (const std::string& answer : mAnswers) {
            const int fd = ::accept4(mListen, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) {
                return;
            }
            std::string request = readRequest(fd);
            {
                std::lock_guard lock(mMutex);
                mRequests.push_back(std::move(request));
            }
            size_t sent = 0;
            while (sent < answer.size()) {
                const ssize_t n =
                    ::send(fd, answer.data() + sent, answer.size() - sent, MSG_NOSIGNAL);
                if (n <= 0) {
                    break;
                }
                sent += static_cast<size_t>(n);
            }
            ::shutdown(fd, SHUT_WR);
            ::close(fd);
        }
    }

    static std::string readRequest(int fd) {
        std::string data;
        size_t expected = std::string::npos;
        while (data.size() < expected) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 10000) <= 0) {
                break;
            }
            char buf[4096];
            const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
            if (n <= 0) {
                break;
            }
            data.append(buf, static_cast<size_t>(n));
            const auto end = data.find("\r\n\r\n");
            if (end != std::string::npos && expected == std::string::npos) {
                const auto cl = data.find("Content-Length: ");
                const size_t length =
                    cl == std::string::npos ? 0 : std::stoul(data.substr(cl + 16));
                expected = end + 4 + length;
            }
        }
        return data;
    }

    std::vector<std::string> mAnswers;
    int mListen = -1;
    int mPort = 0;
    std::thread mThread;
    mutable std::mutex mMutex;
    std::vector<std::string> mRequests;
};

std::string answer(const std::string& status, const std::string& body) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

TEST(PosterRequest, SendsTheBatchWithTheFourHeaderFieldsInOrder) {
    DeliveryWorld world;
    ScriptedServer server({answer("200 OK", "result=1")});
    VoHttpPoster poster;
    const ByteBuffer batch = test::testBatch(1044, 100);
    const Outcome o = postAndWait(world, poster, server.url(), batch);
    EXPECT_TRUE(o.resolved);
    EXPECT_TRUE(o.onMainThread);

    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    const std::string& r = requests[0];
    EXPECT_EQ(r.rfind("POST /collect HTTP/1.1\r\n", 0), 0u) << r;
    // The four header fields, in this order.
    std::size_t last = 0;
    for (const char* header : {"\r\nContent-Type: application/x-www-form-urlencoded\r\n",
                               "\r\nUser-Agent: Mozilla/5.0\r\n", "\r\nX-Cf-Platform: pc\r\n",
                               "\r\nX-Cf-Device-Id: 1\r\n"}) {
        const auto at = r.find(header);
        ASSERT_NE(at, std::string::npos) << header << r;
        EXPECT_GT(at, last) << header;
        last = at;
    }
    const auto at = [&](const char* header) { return r.find(header); };
    EXPECT_EQ(at("Expect:"), std::string::npos) << "the body goes out without a 100-continue wait";
    const std::string body = r.substr(r.find("\r\n\r\n") + 4);
    EXPECT_EQ(body, std::string(batch.begin(), batch.end()));
}

TEST(PosterRequest, OnlyTheAnswerTextDecides) {
    struct Case {
        std::string answer;
        bool resolved;
        int code;
    };
    const std::vector<Case> cases = {
        {answer("200 OK", "result=1"), true, 0},
        {answer("200 OK", "ok&result=10&more"), true, 0},
        {answer("500 Internal Server Error", "result=1"), true, 0},
        {answer("200 OK", ""), false, 2},
        {answer("200 OK", "result=0"), false, 2},
        {answer("200 OK", "RESULT=1"), false, 2},
        {answer("200 OK", "result=1 \xff"), false, 2},
        {"HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nresult=1 until closed", true, 0},
        {"HTTP/1.1 200 OK\r\nContent-Length: 50\r\n\r\nresult=1 cut short", false, 1},
        {"not http at all\r\n\r\n", false, 1},
        {"", false, 1},
    };
    std::vector<std::string> answers;
    for (const auto& c : cases) {
        answers.push_back(c.answer);
    }
    DeliveryWorld world;
    ScriptedServer server(answers);
    VoHttpPoster poster;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.answer);
        const Outcome o = postAndWait(world, poster, server.url(), test::testBatch(1, 1));
        if (c.resolved) {
            EXPECT_TRUE(o.resolved);
            EXPECT_FALSE(o.error.has_value());
        } else {
            expectRejected(o, c.code);
        }
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

TEST_F(PosterCollector, AcceptedBatchArrivesAsSent) {
    auto collector = start({});
    const ByteBuffer batch = test::testBatch(1044, 100);
    {
        VoHttpPoster poster;
        EXPECT_TRUE(postAndWait(world, poster, collector->url("/tally"), batch).resolved);
    }
    const auto stored = collector->dump();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["raw"], test::hexOf(batch));
    EXPECT_EQ(stored[0]["path"], "/tally");
    EXPECT_EQ(collector->stop(), 0) << "the collector stops cleanly on SIGTERM";
}

TEST_F(PosterCollector, SlowServerRunsIntoTheTimeout) {
    auto collector = start({"--delay-ms", "20000"});
    VoHttpPoster poster(300ms);
    expectRejected(postAndWait(world, poster, collector->url(), test::testBatch(1044, 1)), 1);
    EXPECT_EQ(collector->stop(), 0) << "a delayed answer does not keep the collector from stopping";
}

// One connection at a time on the server, so it handles them in the order they were opened;
// waitUntilIdle returns once every outcome is queued on the main thread.
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
        EXPECT_TRUE(o.resolved && o.onMainThread);
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
    EXPECT_TRUE(postAndWait(world, poster, "http://127.0.0.1:1/elsewhere", test::testBatch(1044, 1))
                    .resolved);
    const auto stored = collector->dump();
    ASSERT_EQ(stored.size(), 1u);
    EXPECT_EQ(stored[0]["path"], "/debug");
}

TEST(PosterUrls, UnusableUrlsAreTransportFailures) {
    DeliveryWorld world;
    // A port that was just free: nothing listens there.
    const int closedPort = [] {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr = loopback();
        socklen_t len = sizeof addr;
        ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
        ::close(fd);
        return ntohs(addr.sin_port);
    }();
    VoHttpPoster poster;
    for (const std::string& url :
         {std::string(), std::string("not a url"), std::string("http://"),
          std::string("file:///etc/hostname"), std::string("ftp://127.0.0.1/x"),
          "http://127.0.0.1:" + std::to_string(closedPort) + "/report"}) {
        SCOPED_TRACE(url);
        expectRejected(postAndWait(world, poster, url, test::testBatch(1, 1)), 1);
    }
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
        EXPECT_FALSE(o.done) << "abandoned posts call neither callback";
    }
    EXPECT_EQ(collector->stop(), 0);
}

}  // namespace
}  // namespace tally
