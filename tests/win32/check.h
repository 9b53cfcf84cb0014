// A minimal check list for the Windows test programs, which run under Wine without a
// test framework: each check prints its failures, the program prints its totals.
#pragma once

#include <cstdio>

namespace wintest {

struct Tally {
    int passed = 0;
    int failed = 0;
};

inline Tally &Totals() {
    static Tally tally;
    return tally;
}

inline bool Check(bool ok, const char *what, const char *file, int line) {
    if (ok) {
        ++Totals().passed;
    } else {
        ++Totals().failed;
        std::printf("FAIL %s:%d: %s\n", file, line, what);
        std::fflush(stdout);
    }
    return ok;
}

// Prints "<program>: N passed, M failed" and gives the exit status.
inline int Finish(const char *program) {
    std::printf("%s: %d passed, %d failed\n", program, Totals().passed, Totals().failed);
    return Totals().failed == 0 ? 0 : 1;
}

} // namespace wintest

#define CHECK(condition) ::wintest::Check((condition), #condition, __FILE__, __LINE__)
#define CHECK_EQ(actual, expected)                                                                 \
    do {                                                                                           \
        const long long checkActual_ = static_cast<long long>(actual);                             \
        const long long checkExpected_ = static_cast<long long>(expected);                         \
        if (!::wintest::Check(checkActual_ == checkExpected_, #actual " == " #expected, __FILE__,  \
                              __LINE__)) {                                                         \
            std::printf("     got %lld, expected %lld\n", checkActual_, checkExpected_);           \
        }                                                                                          \
    } while (0)
