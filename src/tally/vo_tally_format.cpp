#include "tally/vo_tally_format.h"

#include <cerrno>
#include <fstream>
#include <system_error>

#include "platform/paths.h"
#include "platform/text.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_util.h"

namespace tally {
namespace {

// Reads the whole file into `text`; on failure returns the reason, with the system's
// description of the error.
std::optional<std::string> readWholeFile(const std::filesystem::path& path, std::string& text) {
    std::error_code ec;
    if (std::filesystem::is_directory(path, ec)) {
        return std::string("'" + path.string() + "' is a folder, not a file");
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        const int err = errno;
        return std::string("cannot open '" + path.string() +
                           "': " + std::generic_category().message(err ? err : ENOENT));
    }
    text.clear();
    char chunk[16384];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<std::size_t>(in.gcount()));
    }
    if (in.bad()) {
        return std::string("cannot read '" + path.string() + "'");
    }
    return std::nullopt;
}

// The printable form of a line for a log message: control characters as \xNN, cut after 200
// bytes so one malformed line cannot flood the log.
std::string quoteLine(std::string_view line) {
    constexpr std::size_t kMax = 200;
    std::string out;
    for (std::size_t i = 0; i < line.size() && i < kMax; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (c < 0x20 || c == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (line.size() > kMax) {
        out += "...";
    }
    return out;
}

}  // namespace

VoTallyFormat::VoTallyFormat(std::string_view vfmt) {
    const auto path = corvane::platform::resourcePath(vfmt);
    if (!path) {
        return;
    }
    auto loaded = fromFile(*path);
    if (!loaded) {
        VoLogUtil::e("VoTallyControl => ERROR: load vfmt failed!!! error:" + loaded.error());
        return;
    }
    mTableDict = std::move(loaded.value().mTableDict);
}

Result<VoTallyFormat, std::string> VoTallyFormat::fromFile(const std::filesystem::path& path) {
    std::string text;
    if (auto problem = readWholeFile(path, text)) {
        return *std::move(problem);
    }
    auto format = fromText(text);
    if (!format) {
        return "'" + path.string() + "' " + format.error();
    }
    return std::move(format).value();
}

Result<VoTallyFormat, std::string> VoTallyFormat::fromText(std::string_view text) {
    if (text.starts_with("\xEF\xBB\xBF")) {
        text.remove_prefix(3);
    }
    if (!corvane::platform::isValidUtf8(text)) {
        return std::string("is not valid UTF-8 text");
    }
    VoTallyFormat format;
    std::size_t start = 0;
    std::size_t lineNumber = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        std::string_view line = text.substr(start, end - start);
        // Only a CR right before the LF ends a line; a lone CR stays part of it.
        if (end < text.size() && line.ends_with('\r')) {
            line.remove_suffix(1);
        }
        start = end + 1;
        ++lineNumber;
        if (line.empty()) {
            continue;
        }
        TableFormat table(line);
        if (table.parseProblem()) {
            VoLogUtil::w("VoTallyFormat => WARN: skipped line " + std::to_string(lineNumber) +
                         " '" + quoteLine(line) + "': " + *table.parseProblem());
            continue;
        }
        std::string name = table.getTableName().value_or("");
        format.mTableDict.insert_or_assign(std::move(name), std::move(table));
    }
    return format;
}

TableFormat* VoTallyFormat::getTable(std::string_view tableName) {
    auto it = mTableDict.find(tableName);
    return it == mTableDict.end() ? nullptr : &it->second;
}

const TableFormat* VoTallyFormat::getTable(std::string_view tableName) const {
    auto it = mTableDict.find(tableName);
    return it == mTableDict.end() ? nullptr : &it->second;
}

std::vector<const TableFormat*> VoTallyFormat::tablesWithIndex(std::int64_t index) const {
    std::vector<const TableFormat*> found;
    for (const auto& [name, table] : mTableDict) {
        if (table.getTableIndex() == index) {
            found.push_back(&table);
        }
    }
    return found;
}

}  // namespace tally
