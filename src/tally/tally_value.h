#pragma once
// The values a caller hands to the telemetry encoder, and the encoder's error kinds.
#include <concepts>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tally {

// A growable byte buffer: records and batches are built in one.
using ByteBuffer = std::vector<std::uint8_t>;

// One payload value: text, signed 64-bit integer or boolean. Integer literals of any signed
// width and unsigned widths up to 32 bits convert implicitly; a `const char*` becomes text (never
// a boolean).
class TallyValue {
  public:
    TallyValue() : mValue(std::string()) {}
    TallyValue(std::string text) : mValue(std::move(text)) {}
    TallyValue(std::string_view text) : mValue(std::string(text)) {}
    TallyValue(const char* text) : mValue(std::string(text)) {}
    TallyValue(bool value) : mValue(value) {}
    template <std::integral T>
    requires(!std::same_as<T, bool> && !std::same_as<T, char> &&
             (std::signed_integral<T> || sizeof(T) < sizeof(std::int64_t))) TallyValue(T value)
        : mValue(static_cast<std::int64_t>(value)) {}

    [[nodiscard]] bool isText() const { return std::holds_alternative<std::string>(mValue); }
    [[nodiscard]] bool isInteger() const { return std::holds_alternative<std::int64_t>(mValue); }
    [[nodiscard]] bool isBool() const { return std::holds_alternative<bool>(mValue); }

    // Accessors for the kind the value holds; calling one for another kind is a programming
    // error (std::bad_variant_access).
    [[nodiscard]] const std::string& text() const { return std::get<std::string>(mValue); }
    [[nodiscard]] std::int64_t integer() const { return std::get<std::int64_t>(mValue); }
    [[nodiscard]] bool boolean() const { return std::get<bool>(mValue); }

    [[nodiscard]] const std::variant<std::string, std::int64_t, bool>& variant() const {
        return mValue;
    }

    friend bool operator==(const TallyValue&, const TallyValue&) = default;

  private:
    std::variant<std::string, std::int64_t, bool> mValue;
};

// "text", "an integer" or "a boolean", for messages about a value of the wrong kind.
[[nodiscard]] std::string_view kindName(const TallyValue& value);

// The values of one record, by field name. A field with no entry has no value.
using TallyPayload = std::map<std::string, TallyValue, std::less<>>;

// The encoder's error kinds; the numeric code of each is its position.
enum class TallyError : int {
    empty = 0,         // declared for completeness; never raised
    parse = 1,         // a field has no value in the payload
    data_invalid = 2,  // a value is not acceptable for its field, or the format cannot hold it
};

// "empty", "parse" or "data_invalid".
[[nodiscard]] std::string_view toString(TallyError error);

// A failed encoding as a value: the kind and a sentence naming the table and field involved.
struct TallyFailure {
    TallyError error = TallyError::empty;
    std::string description;
};

// What the encoder throws inside the telemetry library (TableFormat::write, appendTallyValue).
// Other modules use the non-throwing entry points (TableFormat::tryWrite, assembleBatch).
class TallyException : public std::runtime_error {
  public:
    TallyException(TallyError error, const std::string& description)
        : std::runtime_error(description), mError(error) {}
    [[nodiscard]] TallyError error() const { return mError; }
    [[nodiscard]] TallyFailure failure() const { return {mError, what()}; }

  private:
    TallyError mError;
};

}  // namespace tally
