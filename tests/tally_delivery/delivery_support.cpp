#include "delivery_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

#include "platform/process.h"
#include "tally/batch.h"
#include "tally/vo_tally_format.h"

namespace tally::test {

namespace fs = std::filesystem;

std::vector<std::string> namesIn(const fs::path& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        names.push_back(it->path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

DeliveryWorld::DeliveryWorld() {
    fs::create_directories(home() / "Documents");
    writeResource("vfmt.dat", kTestVfmt);
    mBundle.emplace("CORVANE_BUNDLE", (mDir / "Test.app").string());
    mHome.emplace("HOME", home().string());
    mLoop = std::make_shared<corvane::platform::RunLoop>();
    corvane::platform::setMainQueue(mLoop);
}

DeliveryWorld::~DeliveryWorld() {
    corvane::platform::setMainQueue(nullptr);
}

std::string controlText(long long product, const std::vector<std::pair<int, std::string>>& servers,
                        const std::string& extra) {
    std::string text = "[common]\nproduct=" + std::to_string(product) + "\n";
    for (const auto& [priority, url] : servers) {
        text += "server" + std::to_string(priority) + "=" + url + "\n";
    }
    return text + extra;
}

TallyPayload publicPayload() {
    return {{"uuid", "4f1c-uuid"}, {"tid1", int64_t{1700000000123}},
            {"type", 1},           {"tryno", 3},
            {"svrid", "svr-01"},   {"flag", true}};
}

TallyPayload installPayload(int64_t reason) {
    return {{"result", 1},
            {"reason", reason},
            {"installtype", 0},
            {"silent", 0},
            {"parentproce", "Corvane Setup"}};
}

ByteBuffer testBatch(int64_t product, int64_t reason) {
    auto format = VoTallyFormat::fromText(kTestVfmt);
    auto batch =
        assembleBatch(product, *format.value().getTable("pallo_public"), publicPayload(),
                      *format.value().getTable("pallo_tools_install"), installPayload(reason));
    EXPECT_TRUE(batch.ok());
    return batch.ok() ? std::move(batch).value() : ByteBuffer{};
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += "0123456789abcdef"[b >> 4];
        out += "0123456789abcdef"[b & 0x0F];
    }
    return out;
}

CollectorProcess::CollectorProcess(const fs::path& vfmt, const fs::path& db,
                                   const std::vector<std::string>& args)
    : mDb(db), mLog(db.string() + ".log") {
    std::vector<std::string> argv = {TALLY_COLLECTOR_PATH, "--vfmt", vfmt.string(), "--db",
                                     db.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::error_code ec;
    fs::remove(mLog, ec);
    mProcess.emplace(std::move(argv), mLog);
    // The first line announces the port: "listening on 127.0.0.1:PORT".
    const auto line = mProcess->readLine();
    if (line && line->starts_with("listening on ") && line->rfind(':') != std::string::npos) {
        mPort = std::atoi(line->c_str() + line->rfind(':') + 1);
    }
}

std::vector<nlohmann::json> CollectorProcess::dump() const {
    corvane::platform::ProcessOptions options;
    options.timeout = std::chrono::seconds(30);
    const auto result = corvane::platform::runProcess(TALLY_COLLECTOR_PATH,
                                                      {"dump", "--db", mDb.string()}, options);
    std::vector<nlohmann::json> batches;
    EXPECT_TRUE(result.succeeded()) << "tally-collector dump failed: " << result.output;
    std::istringstream lines(result.succeeded() ? result.output : std::string());
    for (std::string line; std::getline(lines, line);) {
        if (!line.empty()) {
            batches.push_back(nlohmann::json::parse(line));
        }
    }
    return batches;
}

std::string CollectorProcess::log() const {
    std::ostringstream text;
    text << std::ifstream(mLog).rdbuf();
    return text.str();
}

}  // namespace tally::test
