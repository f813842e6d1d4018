#pragma once
// One table definition (one line of the definition file) and the writer of its records.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tally/key_format.h"
#include "tally/tally_value.h"

namespace tally {

// The largest table index a record can carry (it is written as 16 bits).
inline constexpr std::int64_t kMaxTableIndex = 65535;

class TableFormat {
  public:
    // No name, no index, no fields.
    TableFormat() = default;
    // Parses one definition line: "name:index field:type field:type ...", tokens separated by
    // one or more spaces (U+0020 only), pieces inside a token by ":" (empty pieces dropped, pieces
    // after the second ignored). A line the syntax does not cover (no table name, a first token
    // without a second piece, a field without a type piece, an unknown type keyword) leaves
    // parseProblem() set; the table then holds what was read before the problem. An index piece
    // that is not a whole decimal number (optional sign) leaves the index absent.
    explicit TableFormat(std::optional<std::string_view> table);

    // Deep copies: the copy owns its own field objects.
    TableFormat(const TableFormat& other);
    TableFormat& operator=(const TableFormat& other);
    TableFormat(TableFormat&&) noexcept = default;
    TableFormat& operator=(TableFormat&&) noexcept = default;
    ~TableFormat() = default;

    [[nodiscard]] std::optional<std::string> getTableName() const { return mTableName; }
    [[nodiscard]] std::optional<std::int64_t> getTableIndex() const { return mTableIndex; }
    [[nodiscard]] const std::vector<std::unique_ptr<KeyFormat>>& getFields() const {
        return mFields;
    }
    // Why the line is not a table definition ("field token 'x' has no type"); none when it is.
    [[nodiscard]] const std::optional<std::string>& parseProblem() const { return mParseProblem; }

    // Appends one record for `valueDict` to `buffer`: the index (16 bits), the bit bytes, then
    // the other fields in definition order. Sets every field's keyValue to the payload's entry.
    // Throws TallyException: parse when a field has no entry; data_invalid when a fixed-width
    // value is not an integer, a binary value is not text, a string or binary exceeds 65535
    // bytes, or the table has no index or one outside 0..65535 (the last two after one log
    // line). On a throw `buffer` may hold a partial record; the caller discards it. Two writes
    // through the same table must not overlap.
    void write(ByteBuffer& buffer, const TallyPayload& valueDict);

    // write() without throwing: appends the record and returns none, or leaves `buffer` exactly
    // as it was and returns the failure.
    [[nodiscard]] std::optional<TallyFailure> tryWrite(ByteBuffer& buffer,
                                                       const TallyPayload& valueDict) noexcept;

  private:
    void parse(std::string_view line);
    // The number of fields whose keyType is "bit".
    [[nodiscard]] std::size_t getBitCount() const;

    std::optional<std::string> mTableName;
    std::optional<std::int64_t> mTableIndex;
    std::vector<std::unique_ptr<KeyFormat>> mFields;
    std::optional<std::string> mParseProblem;
};

}  // namespace tally
