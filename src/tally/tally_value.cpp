#include "tally/tally_value.h"

namespace tally {

std::string_view kindName(const TallyValue& value) {
    if (value.isText()) {
        return "text";
    }
    return value.isInteger() ? "an integer" : "a boolean";
}

std::string_view toString(TallyError error) {
    switch (error) {
        case TallyError::empty:
            return "empty";
        case TallyError::parse:
            return "parse";
        case TallyError::data_invalid:
            return "data_invalid";
    }
    return "unknown";
}

}  // namespace tally
