// A failed property is a crash for libFuzzer, with the condition on stderr.
#pragma once

#include <cstdio>
#include <cstdlib>

#define HV_FUZZ_CHECK(condition)                                                      \
  do {                                                                                \
    if (!(condition)) {                                                               \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                   \
    }                                                                                 \
  } while (false)
