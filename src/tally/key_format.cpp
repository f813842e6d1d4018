#include "tally/key_format.h"

#include <algorithm>
#include <limits>
#include <string>

#include "tally/vo_log_util.h"
#include "tally/vo_tally_util.h"

namespace tally {
namespace {

std::string kindOf(const std::optional<TallyValue>& value) {
    return value ? std::string(kindName(*value)) : "no value";
}

std::string describe(const KeyFormat& field) {
    return "field '" + field.keyName.value_or("") + "' (" + field.keyType.value_or("") + ")";
}

// Appends the 16-bit little-endian count and the bytes; the caller has checked the count fits.
void appendCounted(ByteBuffer& buffer, const ByteBuffer& bytes) {
    const auto count = VoTallyUtil::toByteArray(static_cast<std::uint16_t>(bytes.size()));
    buffer.insert(buffer.end(), count.begin(), count.end());
    buffer.insert(buffer.end(), bytes.begin(), bytes.end());
}

[[noreturn]] void refuseTooLong(const KeyFormat& field, const char* operation, std::size_t bytes) {
    const std::string text = describe(field) + " holds " + std::to_string(bytes) +
                             " bytes, more than the 65535 its count can carry";
    VoLogUtil::e(std::string(operation) + " => ERROR: " + text);
    throw TallyException(TallyError::data_invalid, text);
}

template <class Narrow>
ByteBuffer narrowBytes(const std::optional<TallyValue>& value) {
    if (!value || !value->isInteger()) {
        return ByteBuffer(sizeof(Narrow), 0);
    }
    const std::int64_t v = value->integer();
    if (v < static_cast<std::int64_t>(std::numeric_limits<Narrow>::min()) ||
        (sizeof(Narrow) < sizeof(std::int64_t) &&
         v > static_cast<std::int64_t>(std::numeric_limits<Narrow>::max()))) {
        return ByteBuffer(sizeof(Narrow), 0);
    }
    return VoTallyUtil::toByteArray(static_cast<Narrow>(v));
}

}  // namespace

void KeyFormat::write(ByteBuffer& buffer) {
    // No validity check here: the table writer asks isDataValid() before it writes a
    // fixed-width field (appendTallyValue).
    const ByteBuffer bytes = getByteData();
    const auto width = static_cast<std::size_t>(typeSize < 0 ? 0 : typeSize);
    buffer.insert(buffer.end(), bytes.begin(),
                  bytes.begin() + static_cast<std::ptrdiff_t>(std::min(width, bytes.size())));
}

ByteBuffer KeyFormat::getByteData() const {
    return {};
}

bool KeyFormat::isDataValid() const {
    return true;
}

std::unique_ptr<KeyFormat> KeyFormat::clone() const {
    return std::make_unique<KeyFormat>(*this);
}

bool NumericKeyFormat::isDataValid() const {
    return keyValue && keyValue->isInteger();
}

ByteBuffer IntKeyFormat::getByteData() const {
    return narrowBytes<std::int32_t>(keyValue);
}
std::unique_ptr<KeyFormat> IntKeyFormat::clone() const {
    return std::make_unique<IntKeyFormat>(*this);
}

ByteBuffer Int64KeyFormat::getByteData() const {
    return narrowBytes<std::int64_t>(keyValue);
}
std::unique_ptr<KeyFormat> Int64KeyFormat::clone() const {
    return std::make_unique<Int64KeyFormat>(*this);
}

ByteBuffer ShortKeyFormat::getByteData() const {
    return narrowBytes<std::uint16_t>(keyValue);
}
std::unique_ptr<KeyFormat> ShortKeyFormat::clone() const {
    return std::make_unique<ShortKeyFormat>(*this);
}

ByteBuffer ByteKeyFormat::getByteData() const {
    return narrowBytes<std::uint8_t>(keyValue);
}
std::unique_ptr<KeyFormat> ByteKeyFormat::clone() const {
    return std::make_unique<ByteKeyFormat>(*this);
}

std::unique_ptr<KeyFormat> BitKeyFormat::clone() const {
    return std::make_unique<BitKeyFormat>(*this);
}

std::string StringKeyFormat::getKeyValueAsString() const {
    if (!keyValue) {
        return {};
    }
    if (keyValue->isText()) {
        return keyValue->text();
    }
    if (keyValue->isInteger()) {
        return std::to_string(keyValue->integer());
    }
    return keyValue->boolean() ? "true" : "false";
}

void StringKeyFormat::write(ByteBuffer& buffer) {
    const std::string text = getKeyValueAsString();
    if (text.size() > kMaxFieldBytes) {
        refuseTooLong(*this, "StringKeyFormat", text.size());
    }
    appendCounted(buffer, encode(text));
}

ByteBuffer StringKeyFormat::getByteData() const {
    return encode(getKeyValueAsString());
}

std::unique_ptr<KeyFormat> StringKeyFormat::clone() const {
    return std::make_unique<StringKeyFormat>(*this);
}

bool BinaryKeyFormat::isDataValid() const {
    return keyValue && keyValue->isText();
}

ByteBuffer BinaryKeyFormat::getByteData() const {
    if (!isDataValid() || keyValue->text().empty()) {
        return {};
    }
    return toBinary(keyValue->text());
}

void BinaryKeyFormat::write(ByteBuffer& buffer) {
    if (!isDataValid()) {
        throw TallyException(TallyError::data_invalid,
                             describe(*this) + " needs hexadecimal text, got " + kindOf(keyValue));
    }
    const std::string& text = keyValue->text();
    // Checked before decoding so an oversized value is refused without a log line per bad digit.
    if (text.size() / 2 > kMaxFieldBytes) {
        refuseTooLong(*this, "BinaryKeyFormat", text.size() / 2);
    }
    appendCounted(buffer, text.empty() ? ByteBuffer{} : toBinary(text));
}

std::unique_ptr<KeyFormat> BinaryKeyFormat::clone() const {
    return std::make_unique<BinaryKeyFormat>(*this);
}

std::unique_ptr<KeyFormat> makeKeyFormat(std::string_view keyword, std::string name) {
    if (keyword == "int") {
        return std::make_unique<IntKeyFormat>(std::move(name));
    }
    if (keyword == "int64") {
        return std::make_unique<Int64KeyFormat>(std::move(name));
    }
    if (keyword == "short") {
        return std::make_unique<ShortKeyFormat>(std::move(name));
    }
    if (keyword == "byte") {
        return std::make_unique<ByteKeyFormat>(std::move(name));
    }
    if (keyword == "bit") {
        return std::make_unique<BitKeyFormat>(std::move(name));
    }
    if (keyword == "string") {
        return std::make_unique<StringKeyFormat>(std::move(name));
    }
    if (keyword == "binary") {
        return std::make_unique<BinaryKeyFormat>(std::move(name));
    }
    return nullptr;
}

}  // namespace tally
