// The settings file on arbitrary contents, addresses and values: the input is the file's bytes,
// then optionally a NUL and a "group/key" address, then optionally a NUL and the new value. Both
// lookups must not crash; a refused write leaves the file's bytes as they were; an accepted write
// reads back through the group lookup (unless a line of the file is both its group's opening and
// its key line), leaves the value of every key of another name as it was (unless the new or the
// replaced value holds a "[", which can open a group of its own), stays within the size bound, and
// writing the same again changes nothing.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "fuzz_common.h"
#include "platform/log.h"
#include "platform/text.h"
#include "setup/reg_editer.h"

namespace {

namespace fs = std::filesystem;
using corvane::RegEditer;

// One folder per process, removed at exit.
const std::string& settingsPath() {
    static const std::string path = [] {
        corvane::platform::setLogSink([](std::string_view) {});
        // A memory file system keeps the fsync of every write cheap.
        std::error_code ec;
        const fs::path base =
            fs::is_directory("/dev/shm", ec) ? fs::path("/dev/shm") : fs::temp_directory_path();
        std::string dir = (base / "fuzz-ini-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(dir.data()) != nullptr);
        static const std::string folder = dir;
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(folder, ec);
        });
        return dir + "/common.ini";
    }();
    return path;
}

void store(const std::string& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    FUZZ_CHECK(out.good());
}

std::string load(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Group and key names as the file's own lines suggest them: "[name]" anywhere, "key=" at the
// start. Only names the writer accepts, a few of each.
std::vector<std::string> addressesIn(std::string_view text) {
    std::set<std::string> groups{"product"};
    std::set<std::string> keys{"version"};
    size_t start = 0;
    while (start <= text.size() && groups.size() + keys.size() < 16) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        const size_t open = line.find('[');
        const size_t close = open == std::string_view::npos ? open : line.find(']', open);
        if (close != std::string_view::npos) {
            const std::string_view group = line.substr(open + 1, close - open - 1);
            if (group.find_first_of("[]/") == std::string_view::npos) {
                groups.emplace(group);
            }
        }
        if (const size_t eq = line.find('='); eq != std::string_view::npos) {
            const std::string_view key = line.substr(0, eq);
            if (key.find_first_of("[]/=\r") == std::string_view::npos) {
                keys.emplace(key);
            }
        }
    }
    std::vector<std::string> addresses;
    for (const std::string& group : groups) {
        for (const std::string& key : keys) {
            addresses.push_back(group + "/" + key);
        }
    }
    return addresses;
}

// A line that holds "[group]" and starts with "key=" opens the group and is its key line at once
// to the lookup, which then answers from it, while the writer only counts it as the opening. Such
// a file reads back its own line, not the one written.
bool opensItsOwnGroup(std::string_view written, std::string_view address, std::string_view value) {
    const size_t slash = address.find('/');
    const std::string opening = "[" + std::string(address.substr(0, slash)) + "]";
    const std::string prefix = std::string(address.substr(slash + 1)) + "=";
    const std::string keyLine = prefix + std::string(value);
    size_t start = 0;
    while (start <= written.size()) {
        size_t end = written.find('\n', start);
        if (end == std::string_view::npos) {
            end = written.size();
        }
        const std::string_view line = written.substr(start, end - start);
        start = end + 1;
        if (line != keyLine && line.starts_with(prefix) &&
            line.find(opening) != std::string_view::npos) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string& path = settingsPath();
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::string_view contents = input;
    std::string address = "product/version";
    std::string value = "1.0.0.1";
    if (const size_t nul = input.find('\0'); nul != std::string_view::npos) {
        contents = input.substr(0, nul);
        std::string_view rest = input.substr(nul + 1);
        const size_t nul2 = rest.find('\0');
        address = std::string(rest.substr(0, nul2));
        value = nul2 == std::string_view::npos ? std::string() : std::string(rest.substr(nul2 + 1));
    }
    store(path, contents);

    static_cast<void>(RegEditer::getIniValue(address, "d", path));
    const std::string absent =
        "\x01"
        "absent";
    const std::string oldValue = RegEditer::getIniValueWithGroup(address, absent, path);
    // Keys of another name: a line that merely holds "[b]" inside group "a" opens "b" as well, so
    // the same key in another group may share the written line.
    const std::string key = address.substr(address.find('/') + 1);
    std::vector<std::pair<std::string, std::string>> others;
    for (std::string& other : addressesIn(contents)) {
        if (other.substr(other.find('/') + 1) != key) {
            std::string before = RegEditer::getIniValueWithGroup(other, absent, path);
            others.emplace_back(std::move(other), std::move(before));
        }
    }

    if (!RegEditer::setIniValueWithGroup(address, value, path)) {
        FUZZ_CHECK(load(path) == contents);
        return 0;
    }
    const std::string written = load(path);
    FUZZ_CHECK(written.size() <= RegEditer::kMaxFileSize);
    FUZZ_CHECK(corvane::platform::isValidUtf8(written));
    if (!opensItsOwnGroup(written, address, value)) {
        FUZZ_CHECK(RegEditer::getIniValueWithGroup(address, absent, path) == value);
    }
    // A "[x]" in the new line, or in the line it replaced, opens (or no longer opens) group x.
    if (value.find('[') == std::string::npos && oldValue.find('[') == std::string::npos) {
        for (const auto& [other, before] : others) {
            FUZZ_CHECK(RegEditer::getIniValueWithGroup(other, absent, path) == before);
        }
    }
    FUZZ_CHECK(RegEditer::setIniValueWithGroup(address, value, path));
    FUZZ_CHECK(load(path) == written);
    return 0;
}
