#include "tally/decoder.h"

#include <string>

#include "tally/crc32.h"

namespace tally {
namespace {

std::string quoted(const std::optional<std::string>& name) {
    return "'" + name.value_or("") + "'";
}

std::uint64_t readLe(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) {
        v |= static_cast<std::uint64_t>(bytes[at + i]) << (8 * i);
    }
    return v;
}

std::string hex(std::span<const std::uint8_t> bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (std::uint8_t b : bytes) {
        out += kDigits[b >> 4];
        out += kDigits[b & 0x0F];
    }
    return out;
}

std::string byteCount(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

std::optional<TallyValue> fixedValue(const std::string& type, std::uint64_t raw) {
    if (type == "int") {
        return TallyValue(static_cast<std::int32_t>(static_cast<std::uint32_t>(raw)));
    }
    if (type == "int64") {
        return TallyValue(static_cast<std::int64_t>(raw));
    }
    return TallyValue(static_cast<std::int64_t>(raw));  // "short" and "byte" are unsigned
}

}  // namespace

Result<DecodedRecord, std::string> decodeRecord(const VoTallyFormat& format,
                                                std::span<const std::uint8_t> bytes,
                                                std::size_t offset) {
    const std::string where = "record at offset " + std::to_string(offset);
    if (offset > bytes.size() || bytes.size() - offset < 2) {
        return where + ": " + byteCount(offset < bytes.size() ? bytes.size() - offset : 0) +
               " left, too few for its 2-byte table index";
    }
    const auto index = static_cast<std::int64_t>(readLe(bytes, offset, 2));
    const auto candidates = format.tablesWithIndex(index);
    if (candidates.empty()) {
        return where + ": no table has the index " + std::to_string(index);
    }
    if (candidates.size() > 1) {
        std::string names;
        for (const auto* t : candidates) {
            names += (names.empty() ? "" : ", ") + quoted(t->getTableName());
        }
        return where + ": the index " + std::to_string(index) + " is shared by the tables " +
               names + ", so the record cannot be read";
    }
    const TableFormat& table = *candidates.front();

    DecodedRecord record;
    record.tableName = table.getTableName().value_or("");
    record.index = index;
    record.offset = offset;
    const std::string inTable =
        where + " (table '" + record.tableName + "', index " + std::to_string(index) + ")";

    std::size_t pos = offset + 2;
    auto left = [&] { return bytes.size() - pos; };

    std::size_t bitCount = 0;
    for (const auto& field : table.getFields()) {
        if (field->keyType == "bit") {
            ++bitCount;
        }
    }
    const std::size_t bitBytes = (bitCount + 7) / 8;
    const std::size_t bitOffset = pos;
    std::uint8_t mask = 0;
    if (bitBytes > 0) {
        if (left() < bitBytes) {
            return inTable + ": its " + byteCount(bitBytes) + " of bit fields at offset " +
                   std::to_string(pos) + " run past the end (" + byteCount(left()) + " left)";
        }
        mask = bytes[pos];
        const unsigned carried = bitCount >= 8 ? 0xFFu : (1u << bitCount) - 1u;
        if ((mask & ~carried) != 0) {
            return inTable + ": the bit mask " + hex(bytes.subspan(pos, 1)) + " at offset " +
                   std::to_string(pos) + " sets bits past the table's " + std::to_string(bitCount) +
                   " bit fields";
        }
        for (std::size_t i = 1; i < bitBytes; ++i) {
            if (bytes[pos + i] != 0) {
                return inTable + ": the bit byte at offset " + std::to_string(pos + i) + " is " +
                       hex(bytes.subspan(pos + i, 1)) + ", not 00";
            }
        }
        pos += bitBytes;
    }

    std::size_t bitIndex = 0;
    for (const auto& field : table.getFields()) {
        DecodedField out;
        out.name = field->keyName.value_or("");
        out.type = field->keyType.value_or("");
        const std::string fieldWhere = inTable + ": field '" + out.name + "' (" + out.type + ")";
        if (out.type == "bit") {
            out.offset = bitOffset;
            if (bitIndex < 8) {
                out.value = TallyValue(((static_cast<unsigned>(mask) >> bitIndex) & 1u) != 0);
            }
            ++bitIndex;
        } else if (out.type == "string" || out.type == "binary") {
            out.offset = pos;
            if (left() < 2) {
                return fieldWhere + " at offset " + std::to_string(pos) +
                       " needs 2 bytes for its count, " + byteCount(left()) + " left";
            }
            const auto count = static_cast<std::size_t>(readLe(bytes, pos, 2));
            pos += 2;
            if (left() < count) {
                return fieldWhere + " at offset " + std::to_string(out.offset) +
                       " has a count of " + byteCount(count) + ", only " + byteCount(left()) +
                       " left";
            }
            const auto content = bytes.subspan(pos, count);
            if (out.type == "string") {
                std::string text(count, '\0');
                for (std::size_t i = 0; i < count; ++i) {
                    text[i] = static_cast<char>(content[i] ^ 0x5Au);
                }
                out.value = TallyValue(std::move(text));
            } else {
                out.value = TallyValue(hex(content));
            }
            pos += count;
        } else {
            out.offset = pos;
            const auto width = static_cast<std::size_t>(field->typeSize);
            if (left() < width) {
                return fieldWhere + " at offset " + std::to_string(pos) + " needs " +
                       byteCount(width) + ", " + byteCount(left()) + " left";
            }
            out.value = fixedValue(out.type, readLe(bytes, pos, width));
            pos += width;
        }
        record.fields.push_back(std::move(out));
    }
    record.length = pos - offset;
    return record;
}

Result<DecodedBatch, std::string> decodeBatch(const VoTallyFormat& format,
                                              std::span<const std::uint8_t> bytes) {
    const auto header = VoTallyHeader::fromBytes(bytes);
    if (!header) {
        return "the batch has " + byteCount(bytes.size()) + ", fewer than the 13 of its header";
    }
    if (header->version != kBatchVersion) {
        return "the batch version at offset 2 is " + std::to_string(header->version) +
               "; only version 2 is known";
    }
    DecodedBatch batch;
    batch.header = *header;
    batch.actualSize = bytes.size();
    batch.sizeOk = header->size == bytes.size();
    batch.actualCrc = crc32(0, bytes.subspan(kHeaderSize));
    batch.crcOk = header->crc32 == batch.actualCrc;

    std::size_t pos = kHeaderSize;
    for (std::size_t i = 0; i < header->count; ++i) {
        auto record = decodeRecord(format, bytes, pos);
        if (!record) {
            return "record " + std::to_string(i + 1) + " of " + std::to_string(header->count) +
                   ": " + record.error();
        }
        pos += record.value().length;
        batch.records.push_back(std::move(record).value());
    }
    if (pos != bytes.size()) {
        return byteCount(bytes.size() - pos) + " left over after the last of the " +
               std::to_string(header->count) + " records, at offset " + std::to_string(pos);
    }
    return batch;
}

}  // namespace tally
