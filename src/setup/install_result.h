#pragma once
#include <cstdint>

namespace corvane {

// Milestone of a setup, sent by its raw value as the field "reason" of the install record.
// Only some members are sent by this program; the others keep their numbers for the server.
enum class ENUMInstallResult : int32_t {
    Install_succeeded = 1,
    Quit_over_existing = 2,
    Quit = 3,
    Download_failed = 4,
    Download_retried = 5,
    Install_failed = 6,
    Install_retried = 7,
    Product_running = 8,
    Agreement_missing = 9,
    Agreement_accepted = 10,
    Agreement_closed = 11,
    Agreement_cancelled = 12,
    Options_opened = 13,
    Options_closed = 14,
    Default_reader_chosen = 15,
    Default_reader_declined = 16,
    Services_permitted = 17,
    Services_declined = 18,
    Exit_cancelled = 19,
    Window_minimised = 20,
    Product_opened = 21,
    Silent_setup_started = 22,
    Setup_started = 100,
    Setup_ended = 200,
};

[[nodiscard]] constexpr int32_t rawValue(ENUMInstallResult r) {
    return static_cast<int32_t>(r);
}

}  // namespace corvane
