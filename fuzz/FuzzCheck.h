#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the run on a broken property, in the replay as under libFuzzer (assert is off in release
// builds).
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);            \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)
