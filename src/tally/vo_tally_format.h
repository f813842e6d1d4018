#pragma once
// The table registry: every table of a definition file ("vfmt.dat"), by name.
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "tally/table_format.h"
#include "tally/tally_result.h"

namespace tally {

class VoTallyFormat {
  public:
    using TableDict = std::map<std::string, TableFormat, std::less<>>;

    // An empty registry.
    VoTallyFormat() = default;

    // Loads the bundle resource named `vfmt` (full file name, such as "vfmt.dat"). Never fails:
    // a missing resource gives an empty registry silently; an unreadable one (or one that is not
    // UTF-8 text) gives an empty registry and the line "[VoTally] VoTallyControl => ERROR: load
    // vfmt failed!!! error:" + the reason. Lines the syntax does not cover are skipped with one
    // log line each.
    explicit VoTallyFormat(std::string_view vfmt);

    // Loads a definition file by path. Fails, without logging, when it cannot be read or is not
    // UTF-8 text; the description names the path and the reason. Skipped lines are logged.
    [[nodiscard]] static Result<VoTallyFormat, std::string> fromFile(
        const std::filesystem::path& path);

    // Builds the registry from the file's text: lines end with LF or CR LF, empty lines are
    // skipped, every other line defines a table; a later line with the same name replaces the
    // earlier table. A line the syntax does not cover is skipped with the log line
    // "[VoTally] VoTallyFormat => WARN: skipped line N '...': reason". Fails only when the text
    // is not valid UTF-8 (a leading byte-order mark is ignored).
    [[nodiscard]] static Result<VoTallyFormat, std::string> fromText(std::string_view text);

    // The table registered under exactly `tableName` (case-sensitive), or nullptr.
    [[nodiscard]] TableFormat* getTable(std::string_view tableName);
    [[nodiscard]] const TableFormat* getTable(std::string_view tableName) const;

    // Every table whose index is `index`, in name order.
    [[nodiscard]] std::vector<const TableFormat*> tablesWithIndex(std::int64_t index) const;

    [[nodiscard]] const TableDict& tables() const { return mTableDict; }

  private:
    TableDict mTableDict;
};

}  // namespace tally
