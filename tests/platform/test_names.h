// Object names private to one test run, so parallel runs never meet.
#pragma once

#include "platform/platform.h"

#include <string>

namespace quillon::test {

inline std::string uniqueName(const char* tag) {
    static int counter = 0;
    return std::string("quillon-test ") + tag + " " + std::to_string(platform::perfCounter()) +
           "-" + std::to_string(++counter);
}

// Elapsed milliseconds since a perfCounter reading.
inline double elapsedMs(std::int64_t start) {
    std::int64_t frequency = 0;
    platform::perfFrequency(&frequency);
    return static_cast<double>(platform::perfCounter() - start) * 1000.0 /
           static_cast<double>(frequency);
}

} // namespace quillon::test
