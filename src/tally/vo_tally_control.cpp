#include "tally/vo_tally_control.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <utility>

#include "platform/paths.h"
#include "platform/text.h"
#include "tally/vo_log_util.h"

namespace tally {
namespace {

// Reads a whole file; on failure answers the reason instead.
bool readWholeFile(const std::string& path, std::string& out, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = std::strerror(errno);
        return false;
    }
    char chunk[4096];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        out.append(chunk, static_cast<size_t>(in.gcount()));
    }
    if (in.bad()) {
        error = "read error";
        return false;
    }
    return true;
}

}  // namespace

VoTallyControl::VoTallyControl(std::string_view vctrl) {
    const auto path = corvane::platform::resourcePath(vctrl);
    if (!path) {
        return;
    }
    std::string text;
    std::string error;
    if (!readWholeFile(*path, text, error)) {
        VoLogUtil::e("VoTallyControl => ERROR: load vctrl failed!!! error:" + error);
        return;
    }
    parse(text);
}

VoTallyControl VoTallyControl::fromText(std::string_view text) {
    VoTallyControl control;
    control.parse(text);
    return control;
}

std::optional<std::string> VoTallyControl::parseSection(std::string_view s) {
    const auto open = s.find('[');
    if (open == std::string_view::npos) {
        return std::nullopt;
    }
    const auto close = s.rfind(']');
    if (close == std::string_view::npos || close <= open) {
        return std::nullopt;
    }
    return std::string(s.substr(open + 1, close - open - 1));
}

void VoTallyControl::parse(std::string_view text) {
    std::optional<std::string> currentName;
    std::optional<Section> currentMap;
    // A block replaces an earlier one of the same name only when it holds a key, so an empty
    // repeat does not wipe out settings.
    const auto store = [&] {
        if (currentName && currentMap && !currentMap->empty()) {
            mSections[*currentName] = std::move(*currentMap);
        }
    };

    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        // Only CR LF ends a line; a CR anywhere else is an ordinary character.
        if (end < text.size() && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.empty()) {
            continue;
        }
        if (auto name = parseSection(line)) {
            store();
            currentMap.emplace();
            currentName = std::move(name);
            continue;
        }
        const auto eq = line.find('=');
        if (eq == std::string_view::npos || eq == 0 || !currentMap) {
            continue;
        }
        (*currentMap)[std::string(line.substr(0, eq))] = std::string(line.substr(eq + 1));
    }
    store();
}

std::string VoTallyControl::getPrivateProfileString(std::string_view section,
                                                    std::string_view variable,
                                                    std::string_view defaultValue) const {
    const auto s = mSections.find(std::string(section));
    if (s == mSections.end()) {
        return std::string(defaultValue);
    }
    const auto k = s->second.find(std::string(variable));
    if (k == s->second.end() || k->second.empty()) {
        return std::string(defaultValue);
    }
    return k->second;
}

int64_t VoTallyControl::getPrivateProfileInt(std::string_view section, std::string_view variable,
                                             int64_t defaultValue) const {
    const std::string text =
        getPrivateProfileString(section, variable, std::to_string(defaultValue));
    return corvane::platform::parseDecimalInteger(text).value_or(defaultValue);
}

std::string VoTallyControl::getServerUrl(int64_t priority) const {
    const std::string key = "server" + std::to_string(priority);
    std::string url = getPrivateProfileString("common", key, "");
    if (url.empty() && priority == DEFAULT_PRIORITY) {
        VoLogUtil::e("VoTallyControl => ERROR: missing url for server" + std::to_string(priority) +
                     "!!!");
    }
    return url;
}

std::string VoTallyControl::getServerUrl(std::string_view tableName) const {
    return getServerUrl(getPriority(tableName));
}

int64_t VoTallyControl::getPriority(std::string_view tableName) const {
    return getPrivateProfileInt(tableName, "priority", DEFAULT_PRIORITY);
}

int64_t VoTallyControl::getProductId() const {
    return getPrivateProfileInt("common", "product", 0);
}

}  // namespace tally
