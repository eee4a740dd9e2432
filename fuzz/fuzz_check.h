// Shared by the fuzz targets: a property that does not hold stops the run
// with a message, so that libFuzzer keeps the input as a crash artifact.
#pragma once

#include <cstdio>

#define FUZZ_CHECK(condition)                                                       \
  do {                                                                              \
    if (!(condition)) {                                                             \
      fprintf(stderr, "%s:%d: property failed: %s\n", __FILE__, __LINE__, #condition); \
      fflush(stderr);                                                               \
      __builtin_trap();                                                             \
    }                                                                               \
  } while (0)
