// The install record in the settings file shared with Corvane: making sure the file exists,
// filling the report block from the setup's own bundle name and the file, and writing the
// user's choices and the install facts after a successful install. Every key is in "product".
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "platform/log.h"
#include "platform/paths.h"
#include "platform/text.h"
#include "setup/globals.h"
#include "setup/installer.h"
#include "setup/reg_editer.h"
#include "setup/uuid_generater.h"
#include "setup/work_folder.h"

namespace corvane {
namespace {

namespace fs = std::filesystem;
using platform::logLine;

constexpr std::string_view kAppName = "Corvane";

struct CommonFilePathStore {
    std::mutex mutex;
    bool computed = false;
    std::optional<std::string> path;
};

CommonFilePathStore& commonFilePathStore() {
    static CommonFilePathStore store;
    return store;
}

std::vector<std::string_view> splitAll(std::string_view s, char separator) {
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (;;) {
        const size_t end = s.find(separator, start);
        if (end == std::string_view::npos) {
            pieces.push_back(s.substr(start));
            return pieces;
        }
        pieces.push_back(s.substr(start, end - start));
        start = end + 1;
    }
}

std::string nowSeconds() {
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(now).count());
}

using Pairs = std::vector<std::pair<std::string, std::string>>;

std::string swiftQuoted(std::string_view s) {
    std::string q = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\') {
            q += '\\';
        }
        q += c;
    }
    return q + "\"";
}

// ["key": "value", ...]
std::string describe(const Pairs& pairs) {
    std::string text = "[";
    for (size_t i = 0; i < pairs.size(); ++i) {
        if (i != 0) {
            text += ", ";
        }
        text += swiftQuoted(pairs[i].first) + ": " + swiftQuoted(pairs[i].second);
    }
    return text + "]";
}

void writePairs(const Pairs& pairs, const std::string& path) {
    // Each write logs its own outcome; a failed key does not stop the others.
    static_cast<void>(RegEditer::setIniValuesWithGroup(pairs, path));
}

}  // namespace

const std::optional<std::string>& g_commonFilePath() {
    CommonFilePathStore& store = commonFilePathStore();
    std::lock_guard lock(store.mutex);
    if (!store.computed) {
        store.computed = true;
        if (const auto appData =
                Installer::getAppDataLocationPath(std::string(kAppName), std::string(kAppName))) {
            store.path = *appData + "/reg/common.ini";
            logLine("get appDataPath " + *store.path);
        }
    }
    return store.path;
}

void resetCommonFilePathForTesting() {
    CommonFilePathStore& store = commonFilePathStore();
    std::lock_guard lock(store.mutex);
    store.computed = false;
    store.path.reset();
}

std::optional<std::string> Installer::getAppDataLocationPath(const std::string& appName,
                                                             const std::string& /*orgName*/) {
    const std::optional<std::string> support = platform::applicationSupportDirectory();
    if (!support) {
        logLine("Failed to access AppDataLocation.");
        return std::nullopt;
    }
    return *support + "/" + appName;
}

void Installer::ensureIniFileExisted() {
    const std::string home = platform::homeDirectory();
    if (home.empty()) {
        // Without a home folder every path below would land at the filesystem root.
        logLine("Error creating directory: the home folder is unknown");
        return;
    }
    const std::string support = home + "/Library/Application Support";
    const std::string iniPath = support + "/Corvane/reg/common.ini";
    std::error_code ec;
    if (fs::exists(iniPath, ec)) {
        return;
    }
    // macOS gives every user this folder; a bare (simulated) home may lack it, and without it
    // none of the copies below could land.
    fs::create_directories(support, ec);

    const std::string seed = generateRandomPath();
    const std::string seedReg = seed + "/Corvane/reg";
    // The seed is a fresh folder of ours; it goes again whatever happens below.
    const bool seedIsNew = !fs::exists(seed, ec);
    const auto removeSeed = [&] {
        std::error_code removeError;
        if (seedIsNew && fs::exists(seed, removeError)) {
            fs::remove_all(seed, removeError);
            if (removeError) {
                logLine("Error removing directory: " + seed + ": " + removeError.message());
            }
        }
    };
    if (!seedIsNew) {
        logLine("Error creating directory: " + seed + ": " +
                std::make_error_code(std::errc::file_exists).message());
        return;
    }
    fs::create_directories(seedReg, ec);
    if (ec) {
        logLine("Error creating directory: " + seedReg + ": " + ec.message());
        removeSeed();
        return;
    }
    // Marked, so that a run cut short here leaves nothing a later run would not clear away.
    const std::optional<WorkFolderMark> seedMark =
        WorkFolderMark::place(seed, WorkFolderKind::settingsSeed);
    {
        const std::string seedFile = seedReg + "/common.ini";
        // A new empty file in a folder nobody else knows yet: nothing can see it half-written.
        std::FILE* f = std::fopen(seedFile.c_str(), "wx");
        if (f == nullptr) {
            logLine("Error create file: " + seedFile + ": " +
                    std::error_code(errno, std::generic_category()).message());
        } else if (std::fclose(f) != 0) {
            logLine("Error create file: " + seedFile + ": " +
                    std::error_code(errno, std::generic_category()).message());
        }
    }
    // Whole folder when Corvane has none yet, else its "reg" folder, else only the file.
    if (!cpFile(seed + "/Corvane", support + "/Corvane") &&
        !cpFile(seedReg, support + "/Corvane/reg")) {
        static_cast<void>(cpFile(seedReg + "/common.ini", iniPath));
    }
    removeSeed();
}

void Installer::getPackageInfo(ReportBlock& toRecord) {
    if (const std::optional<std::string>& path = g_commonFilePath()) {
        const std::string generated =
            RegEditer::getIniValueWithGroup("product/generated", "0", *path);
        if (generated == "0") {
            const std::string id = assembleUUID();
            toRecord.uuid = id;
            toRecord.svrid = id;
        } else {
            toRecord.uuid = RegEditer::getIniValueWithGroup("product/uuid", "", *path);
            toRecord.svrid = RegEditer::getIniValueWithGroup("product/svrid", "", *path);
        }
    }

    std::string bundle = platform::bundlePath();
    while (bundle.size() > 1 && bundle.back() == '/') {
        bundle.pop_back();
    }
    const std::string lastComponent = bundle.substr(bundle.find_last_of('/') + 1);
    if (lastComponent.empty()) {
        logLine("无法获取应用程序名称");
        return;
    }
    const std::string name = fs::path(lastComponent).stem().string();
    logLine("应用程序名称：" + name);

    parsePackageName(name, toRecord);
}

void Installer::parsePackageName(std::string_view name, ReportBlock& toRecord) {
    // product _ [v]version _ shortCode _ tid1.tid2.tod1.tod2[ suffix]
    const std::vector<std::string_view> pieces = splitAll(name, '_');
    if (pieces.size() < 4) {
        return;
    }
    std::string_view version = pieces[1];
    if (const size_t v = version.rfind('v'); v != std::string_view::npos) {
        version.remove_prefix(v + 1);
    }
    toRecord.version = std::string(version);
    toRecord.shortCode = std::string(pieces[2]);

    const std::vector<std::string_view> numbers = splitAll(pieces[3], '.');
    if (numbers.size() < 4) {
        return;
    }
    toRecord.tid1 = platform::parseDecimalInteger(numbers[0]).value_or(0);
    toRecord.tid2 = platform::parseDecimalInteger(numbers[1]).value_or(0);
    toRecord.tod1 = platform::parseDecimalInteger(numbers[2]).value_or(0);
    // A browser's copy carries a suffix after a space, such as " (1)".
    const std::string_view last = numbers[3];
    if (const size_t space = last.find(' '); space != std::string_view::npos) {
        toRecord.tod2 = platform::parseDecimalInteger(last.substr(0, space)).value_or(1);
    } else {
        toRecord.tod2 = platform::parseDecimalInteger(last).value_or(0);
    }
}

void Installer::setDefault(const std::string& isDefault) {
    if (const std::optional<std::string>& path = g_commonFilePath()) {
        static_cast<void>(RegEditer::setIniValueWithGroup("product/setDefault", isDefault, *path));
    }
}

void Installer::installService() {
    if (const std::optional<std::string>& path = g_commonFilePath()) {
        static_cast<void>(RegEditer::setIniValueWithGroup("product/engageService", "1", *path));
    }
}

void Installer::recordPackageDetail(const ReportBlock& toRecord, bool isOverwrite) {
    if (isOverwrite) {
        Pairs pairs{{"product/cover_install", "1"}};
        logLine("overwrite installation with：" + describe(pairs));
        const std::optional<std::string>& path = g_commonFilePath();
        if (!path) {
            return;
        }
        pairs.emplace_back("product/cover_installtime", nowSeconds());
        writePairs(pairs, *path);
        return;
    }

    Pairs pairs{
        {"product/version", toRecord.version},
        {"product/shortCode", toRecord.shortCode},
        {"product/tid1", std::to_string(toRecord.tid1)},
        {"product/tid2", std::to_string(toRecord.tid2)},
        {"product/tod1", std::to_string(toRecord.tod1)},
        {"product/tod2", std::to_string(toRecord.tod2)},
        {"product/cover_install", "0"},
    };
    logLine("completely installation with：" + describe(pairs));
    const std::optional<std::string>& path = g_commonFilePath();
    if (!path) {
        return;
    }
    // The identity is written once; later installs keep reporting the stored one.
    if (RegEditer::getIniValue("generated", "0", *path) == "0") {
        pairs.emplace_back("product/generated", "1");
        pairs.emplace_back("product/uuid", toRecord.uuid);
        pairs.emplace_back("product/svrid", toRecord.svrid);
    }
    pairs.emplace_back("product/installtime", nowSeconds());
    writePairs(pairs, *path);
}

}  // namespace corvane
