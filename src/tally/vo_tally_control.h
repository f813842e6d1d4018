#pragma once
// The telemetry control file ("vctrl.dat"): product id, collection server addresses and table
// priorities, read once from the application's resources into sections of keys.
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace tally {

// The control file's resource name.
inline constexpr std::string_view VCTRL_PATH = "vctrl.dat";

class VoTallyControl {
  public:
    // The priority of a table that names none; its server is the one that must be configured.
    static constexpr int64_t DEFAULT_PRIORITY = 2;

    using Section = std::map<std::string, std::string>;

    // Reads the resource `vctrl` (a full file name among the bundle's resources). Never fails:
    // a missing resource gives no sections silently, an unreadable one gives no sections and one
    // error line.
    explicit VoTallyControl(std::string_view vctrl);

    // Parses control-file text as the constructor does (for tools and tests that hold the text).
    [[nodiscard]] static VoTallyControl fromText(std::string_view text);

    // The value of `variable` in `section`; `defaultValue` when the section or key is missing or
    // the value is empty. Names match exactly (case-sensitive, untrimmed).
    [[nodiscard]] std::string getPrivateProfileString(std::string_view section,
                                                      std::string_view variable,
                                                      std::string_view defaultValue) const;

    // The string lookup read as a whole decimal integer (optional sign, digits only, signed
    // 64-bit range); `defaultValue` when missing, empty or not such a number.
    [[nodiscard]] int64_t getPrivateProfileInt(std::string_view section, std::string_view variable,
                                               int64_t defaultValue) const;

    // Key "server<priority>" of section "common", or the empty text. An empty answer for the
    // default priority writes one error line per call; other priorities stay silent.
    [[nodiscard]] std::string getServerUrl(int64_t priority) const;

    // The server of the table's priority.
    [[nodiscard]] std::string getServerUrl(std::string_view tableName) const;

    // Key "priority" of the section named like the table, DEFAULT_PRIORITY by default.
    [[nodiscard]] int64_t getPriority(std::string_view tableName) const;

    // Key "product" of section "common", 0 by default.
    [[nodiscard]] int64_t getProductId() const;

    [[nodiscard]] const std::map<std::string, Section>& sections() const { return mSections; }

  private:
    VoTallyControl() = default;
    void parse(std::string_view text);
    // The section name of a line holding "[" and a later "]": the text between the first "["
    // and the last "]"; nothing for any other line.
    [[nodiscard]] static std::optional<std::string> parseSection(std::string_view s);

    std::map<std::string, Section> mSections;
};

}  // namespace tally
