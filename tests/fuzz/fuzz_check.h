// What the fuzz targets share: a check that stops the run with a message,
// so libFuzzer records the input that broke a property.
#pragma once

#include <cstdio>
#include <cstdlib>

#define KV318_FUZZ_CHECK(cond, what)                                                                    \
    do {                                                                                                \
        if (!(cond)) {                                                                                  \
            std::fprintf(stderr, "%s:%d: property broken: %s (%s)\n", __FILE__, __LINE__, what, #cond); \
            std::abort();                                                                               \
        }                                                                                               \
    } while (0)
