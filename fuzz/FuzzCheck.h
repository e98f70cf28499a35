// The fuzz targets' one way to fail: a broken promise stops the run, and
// the file and line tell which one.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Check(bool ok, const char* file = __builtin_FILE(), int line = __builtin_LINE()) {
  if (ok) return;
  std::fprintf(stderr, "%s:%d: check failed\n", file, line);
  std::abort();
}
