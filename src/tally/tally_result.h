#pragma once
// A value or the reason there is none: how the telemetry library reports failures to other
// modules without throwing.
#include <utility>
#include <variant>

#include "tally/tally_value.h"

namespace tally {

template <class T, class E = TallyFailure>
class [[nodiscard]] Result {
  public:
    Result(T value) : mData(std::in_place_index<0>, std::move(value)) {}
    Result(E error) : mData(std::in_place_index<1>, std::move(error)) {}

    [[nodiscard]] bool ok() const { return mData.index() == 0; }
    explicit operator bool() const { return ok(); }

    // The value; only when ok() (otherwise std::bad_variant_access).
    [[nodiscard]] T& value() & { return std::get<0>(mData); }
    [[nodiscard]] const T& value() const& { return std::get<0>(mData); }
    [[nodiscard]] T&& value() && { return std::get<0>(std::move(mData)); }

    // The failure; only when !ok() (otherwise std::bad_variant_access).
    [[nodiscard]] const E& error() const { return std::get<1>(mData); }

  private:
    std::variant<T, E> mData;
};

}  // namespace tally
