#include "tally/table_format.h"

#include "platform/text.h"
#include "tally/vo_log_util.h"
#include "tally/vo_tally_util.h"

namespace tally {
namespace {

// Splits at `separator`, dropping empty pieces.
std::vector<std::string_view> splitNonEmpty(std::string_view text, char separator) {
    std::vector<std::string_view> pieces;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = text.find(separator, start);
        if (end == std::string_view::npos) {
            end = text.size();
        }
        if (end > start) {
            pieces.push_back(text.substr(start, end - start));
        }
        start = end + 1;
    }
    return pieces;
}

}  // namespace

TableFormat::TableFormat(std::optional<std::string_view> table) {
    if (table) {
        parse(*table);
    } else {
        mParseProblem = "no definition line";
    }
}

TableFormat::TableFormat(const TableFormat& other)
    : mTableName(other.mTableName),
      mTableIndex(other.mTableIndex),
      mParseProblem(other.mParseProblem) {
    mFields.reserve(other.mFields.size());
    for (const auto& field : other.mFields) {
        mFields.push_back(field->clone());
    }
}

TableFormat& TableFormat::operator=(const TableFormat& other) {
    if (this != &other) {
        TableFormat copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void TableFormat::parse(std::string_view line) {
    const auto tokens = splitNonEmpty(line, ' ');
    if (tokens.empty()) {
        mParseProblem = "no table name (the line holds only spaces)";
        return;
    }
    const auto head = splitNonEmpty(tokens[0], ':');
    if (head.empty()) {
        mParseProblem = "no table name in '" + std::string(tokens[0]) + "'";
        return;
    }
    mTableName = std::string(head[0]);
    if (head.size() < 2) {
        mParseProblem = "table token '" + std::string(tokens[0]) + "' has no ':' index part";
        return;
    }
    mTableIndex = corvane::platform::parseDecimalInteger(head[1]);

    for (std::size_t i = 1; i < tokens.size(); ++i) {
        const auto pieces = splitNonEmpty(tokens[i], ':');
        if (pieces.empty()) {
            mParseProblem = "field token '" + std::string(tokens[i]) + "' has no name";
            return;
        }
        if (pieces.size() < 2) {
            mParseProblem = "field token '" + std::string(tokens[i]) + "' has no type";
            return;
        }
        auto field = makeKeyFormat(pieces[1], std::string(pieces[0]));
        if (!field) {
            mParseProblem = "field token '" + std::string(tokens[i]) + "' has the unknown type '" +
                            std::string(pieces[1]) + "'";
            return;
        }
        mFields.push_back(std::move(field));
    }
}

std::size_t TableFormat::getBitCount() const {
    std::size_t count = 0;
    for (const auto& field : mFields) {
        if (field->keyType == "bit") {
            ++count;
        }
    }
    return count;
}

void TableFormat::write(ByteBuffer& buffer, const TallyPayload& valueDict) {
    const std::string tableName = mTableName.value_or("");
    // The index is written as 16 bits: refusing here keeps a cut index from naming another table.
    if (!mTableIndex || *mTableIndex < 0 || *mTableIndex > kMaxTableIndex) {
        const std::string text = mTableIndex
                                     ? "table '" + tableName + "' has the index " +
                                           std::to_string(*mTableIndex) + ", outside 0..65535"
                                     : "table '" + tableName + "' has no index";
        VoLogUtil::e("TableFormat => ERROR: " + text);
        throw TallyException(TallyError::data_invalid, text);
    }
    const auto index = VoTallyUtil::toByteArray(static_cast<std::uint16_t>(*mTableIndex));
    buffer.insert(buffer.end(), index.begin(), index.end());

    const std::size_t bitOffset = buffer.size();
    const std::size_t bitBytes = (getBitCount() + 7) / 8;
    buffer.insert(buffer.end(), bitBytes, 0);

    std::size_t bitsSeen = 0;
    try {
        for (auto& field : mFields) {
            field->keyValue.reset();
            if (field->keyName) {
                if (auto it = valueDict.find(*field->keyName); it != valueDict.end()) {
                    field->keyValue = it->second;
                }
            }
            if (!field->keyValue) {
                throw TallyException(TallyError::parse, "field '" + field->keyName.value_or("") +
                                                            "' (" + field->keyType.value_or("") +
                                                            ") has no value");
            }
            const std::string& type = field->keyType.value_or("");
            if (type == "string" || type == "binary") {
                field->write(buffer);
            } else if (type == "bit") {
                ++bitsSeen;
            } else {
                appendTallyValue(buffer, *field);
            }
        }
    } catch (const TallyException& e) {
        throw TallyException(e.error(), "table '" + tableName + "': " + e.what());
    }

    if (bitsSeen > 0) {
        // Only the first bit byte carries bits; from the ninth bit field on nothing is set.
        std::uint8_t mask = 0;
        for (std::size_t i = 0; i < bitsSeen && i < 8; ++i) {
            mask = static_cast<std::uint8_t>(mask | (1u << i));
        }
        buffer[bitOffset] = mask;
    }
}

std::optional<TallyFailure> TableFormat::tryWrite(ByteBuffer& buffer,
                                                  const TallyPayload& valueDict) noexcept {
    const std::size_t before = buffer.size();
    try {
        write(buffer, valueDict);
        return std::nullopt;
    } catch (const TallyException& e) {
        buffer.resize(before);
        return e.failure();
    } catch (const std::exception& e) {
        buffer.resize(before);
        return TallyFailure{TallyError::data_invalid, e.what()};
    }
}

}  // namespace tally
