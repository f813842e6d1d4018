#pragma once
// The seven field types of a table definition. A field knows its name, its type keyword and its
// width, holds the value of the record being written, and turns that value into bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "tally/tally_value.h"

namespace tally {

// The largest byte count a string or binary field can carry (its count is 16 bits).
inline constexpr std::size_t kMaxFieldBytes = 65535;

class KeyFormat {
  public:
    KeyFormat() = default;
    KeyFormat(std::optional<std::string> name, std::optional<std::string> type, std::ptrdiff_t size)
        : keyName(std::move(name)), keyType(std::move(type)), typeSize(size) {}
    KeyFormat(const KeyFormat&) = default;
    KeyFormat& operator=(const KeyFormat&) = default;
    KeyFormat(KeyFormat&&) = default;
    KeyFormat& operator=(KeyFormat&&) = default;
    virtual ~KeyFormat() = default;

    // Appends this field's bytes for `keyValue` to `buffer`. Base: the first `typeSize` bytes of
    // getByteData(), without asking isDataValid() (appendTallyValue does). Subclasses throw
    // TallyException(data_invalid) when the value cannot be written (a string or binary over
    // kMaxFieldBytes, a binary value that is not text), appending nothing.
    virtual void write(ByteBuffer& buffer);
    // This field's value as bytes. Base: empty.
    [[nodiscard]] virtual ByteBuffer getByteData() const;
    // Whether `keyValue` is acceptable. Base: true.
    [[nodiscard]] virtual bool isDataValid() const;

    // A deep copy of this field (same type, name, width and value).
    [[nodiscard]] virtual std::unique_ptr<KeyFormat> clone() const;

    std::optional<std::string> keyName;
    std::optional<std::string> keyType;
    std::ptrdiff_t typeSize = 0;
    std::optional<TallyValue> keyValue;
};

// Fixed-width integers: acceptable when the value is an integer; a value outside the field's
// integer range is written as `typeSize` zero bytes (no error, no log).
class NumericKeyFormat : public KeyFormat {
  public:
    using KeyFormat::KeyFormat;
    [[nodiscard]] bool isDataValid() const override;
};

// "int": signed 32-bit, 4 bytes little-endian.
class IntKeyFormat : public NumericKeyFormat {
  public:
    explicit IntKeyFormat(std::optional<std::string> name = std::nullopt)
        : NumericKeyFormat(std::move(name), "int", 4) {}
    [[nodiscard]] ByteBuffer getByteData() const override;
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;
};

// "int64": signed 64-bit, 8 bytes little-endian.
class Int64KeyFormat : public NumericKeyFormat {
  public:
    explicit Int64KeyFormat(std::optional<std::string> name = std::nullopt)
        : NumericKeyFormat(std::move(name), "int64", 8) {}
    [[nodiscard]] ByteBuffer getByteData() const override;
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;
};

// "short": unsigned 16-bit, 2 bytes little-endian.
class ShortKeyFormat : public NumericKeyFormat {
  public:
    explicit ShortKeyFormat(std::optional<std::string> name = std::nullopt)
        : NumericKeyFormat(std::move(name), "short", 2) {}
    [[nodiscard]] ByteBuffer getByteData() const override;
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;
};

// "byte": unsigned 8-bit, 1 byte.
class ByteKeyFormat : public NumericKeyFormat {
  public:
    explicit ByteKeyFormat(std::optional<std::string> name = std::nullopt)
        : NumericKeyFormat(std::move(name), "byte", 1) {}
    [[nodiscard]] ByteBuffer getByteData() const override;
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;
};

// "bit": one bit of the record's bit bytes; only the value's presence counts. The table writer
// handles it by its type.
class BitKeyFormat : public KeyFormat {
  public:
    explicit BitKeyFormat(std::optional<std::string> name = std::nullopt)
        : KeyFormat(std::move(name), "bit", 0) {}
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;
};

// "string": a 16-bit little-endian byte count, then the UTF-8 bytes each XOR 0x5A. Every value
// kind is acceptable and written as text.
class StringKeyFormat : public KeyFormat {
  public:
    explicit StringKeyFormat(std::optional<std::string> name = std::nullopt)
        : KeyFormat(std::move(name), "string", 0) {}
    // Count and masked bytes; an empty text writes 00 00. Over kMaxFieldBytes UTF-8 bytes:
    // throws TallyException(data_invalid) after one log line, appending nothing.
    void write(ByteBuffer& buffer) override;
    // The masked bytes of the value rendered as text, without a count.
    [[nodiscard]] ByteBuffer getByteData() const override;
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;

  private:
    // No value: ""; text: itself; integer: decimal; boolean: "true"/"false".
    [[nodiscard]] std::string getKeyValueAsString() const;
};

// "binary": a 16-bit little-endian byte count, then the bytes decoded from hexadecimal text.
class BinaryKeyFormat : public KeyFormat {
  public:
    explicit BinaryKeyFormat(std::optional<std::string> name = std::nullopt)
        : KeyFormat(std::move(name), "binary", 0) {}
    // True when the value is present and is text.
    [[nodiscard]] bool isDataValid() const override;
    // Empty text: nothing; otherwise toBinary() of the text (a lone digit decodes to nothing).
    [[nodiscard]] ByteBuffer getByteData() const override;
    // Count and decoded bytes; empty text (or a lone digit) writes 00 00. A value that is not
    // text, or more than kMaxFieldBytes decoded bytes: throws TallyException(data_invalid),
    // appending nothing (the second after one log line).
    void write(ByteBuffer& buffer) override;
    [[nodiscard]] std::unique_ptr<KeyFormat> clone() const override;
};

// The field object for a type keyword ("int", "int64", "short", "byte", "bit", "string",
// "binary", matched exactly), named `name`; nullptr for any other keyword.
[[nodiscard]] std::unique_ptr<KeyFormat> makeKeyFormat(std::string_view keyword, std::string name);

}  // namespace tally
