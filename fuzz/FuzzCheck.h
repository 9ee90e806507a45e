// SPDX-License-Identifier: GPL-3.0-or-later
#pragma once

#include <cstdio>
#include <cstdlib>

// Stops the run on a broken property, in the replay too, where assert is off.
#define FUZZ_CHECK(condition)                                                                                \
    do {                                                                                                     \
        if (!(condition)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition);            \
            std::abort();                                                                                    \
        }                                                                                                    \
    } while (0)

// For the target's own reference code: only the code under test should guide the fuzzer, and
// tracing every byte the reference compares made long inputs ten times slower.
#if defined(__clang__)
#define FUZZ_NO_COVERAGE __attribute__((no_sanitize("coverage")))
#else
#define FUZZ_NO_COVERAGE
#endif
