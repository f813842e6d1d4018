#include "delivery_support.h"

#include <algorithm>
#include <sstream>

#include <gtest/gtest.h>

#include "platform/process.h"
#include "tally/batch.h"
#include "tally/vo_tally_format.h"

namespace tally::test {

std::vector<std::string> namesIn(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    if (!std::filesystem::exists(dir)) {
        return names;
    }
    for (const auto& e : std::filesystem::directory_iterator(dir)) {
        names.push_back(e.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}
namespace fs = std::filesystem;

DeliveryWorld::DeliveryWorld() {
    fs::create_directories(resources());
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

fs::path DeliveryWorld::resources() const {
    return mDir / "Test.app" / "Contents" / "Resources";
}

void DeliveryWorld::writeResource(const std::string& name, const std::string& text) const {
    corvane::test::writeFile(resources() / name, text);
}

std::string controlText(long long product, const std::vector<std::pair<int, std::string>>& servers,
                        const std::string& extra) {
    std::string text = "[common]\nproduct=" + std::to_string(product) + "\n";
    for (const auto& [priority, url] : servers) {
        text += "server" + std::to_string(priority) + "=" + url + "\n";
    }
    return text + extra;
}

TallyPayload publicPayload(const std::string& uuid) {
    return {{"uuid", uuid},      {"tid1", int64_t{1700000000123}},
            {"type", 1},         {"tryno", 3},
            {"svrid", "svr-01"}, {"flag", true}};
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
    if (!format) {
        ADD_FAILURE() << format.error();
        return {};
    }
    auto batch =
        assembleBatch(product, *format.value().getTable("pallo_public"), publicPayload(),
                      *format.value().getTable("pallo_tools_install"), installPayload(reason));
    if (!batch) {
        ADD_FAILURE() << batch.error().description;
        return {};
    }
    return std::move(batch).value();
}

std::string collectorPath() {
    return TALLY_COLLECTOR_PATH;
}

std::string hexOf(const std::vector<std::uint8_t>& bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    for (const std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

CollectorProcess::CollectorProcess(const fs::path& vfmt, const fs::path& db,
                                   const std::vector<std::string>& args)
    : mDb(db), mLog(db.string() + ".log") {
    std::vector<std::string> argv = {collectorPath(), "--vfmt", vfmt.string(), "--db", db.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::error_code ec;
    fs::remove(mLog, ec);
    mProcess.emplace(std::move(argv), mLog);
    // The first line announces the port: "listening on 127.0.0.1:PORT".
    const auto line = mProcess->readLine();
    const auto colon = line ? line->rfind(':') : std::string::npos;
    if (line && line->rfind("listening on ", 0) == 0 && colon != std::string::npos) {
        mPort = std::atoi(line->c_str() + colon + 1);
    }
}

CollectorProcess::~CollectorProcess() = default;

std::string CollectorProcess::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(mPort) + path;
}

int CollectorProcess::stop() {
    mPort = -1;
    return mProcess ? mProcess->stop() : -1;
}

std::vector<nlohmann::json> CollectorProcess::dump() const {
    corvane::platform::ProcessOptions options;
    options.timeout = std::chrono::seconds(30);
    const auto result =
        corvane::platform::runProcess(collectorPath(), {"dump", "--db", mDb.string()}, options);
    std::vector<nlohmann::json> batches;
    if (!result.succeeded()) {
        ADD_FAILURE() << "tally-collector dump failed: " << result.output;
        return batches;
    }
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        if (!line.empty()) {
            batches.push_back(nlohmann::json::parse(line));
        }
    }
    return batches;
}

std::string CollectorProcess::log() const {
    try {
        return corvane::test::readFile(mLog);
    } catch (const std::exception&) {
        return {};
    }
}

}  // namespace tally::test
