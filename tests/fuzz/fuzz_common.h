#pragma once
// What both fuzzers share: a quiet telemetry log and a check that stops the run on a broken
// promise.
#include <cstdio>
#include <cstdlib>

#include "tally/vo_log_util.h"

namespace tally::fuzz {

// Lines still reach the system log; the sink only keeps them off the fuzzer's output.
inline void quietLog() {
    static const bool installed = [] {
        VoLogUtil::setSink([](std::string_view) {});
        return true;
    }();
    (void)installed;
}

#define FUZZ_CHECK(condition)                                                                  \
    do {                                                                                       \
        if (!(condition)) {                                                                    \
            std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                      \
        }                                                                                      \
    } while (0)

}  // namespace tally::fuzz
