// The one way a fuzz target reports a broken invariant: it names the
// invariant on stderr and aborts, so libFuzzer keeps the input as a crash
// (a plain return would only count as one more uninteresting input).
#pragma once

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)
