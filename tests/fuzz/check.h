#pragma once
// A fuzz target's property check: names the broken property, then crashes so the fuzzer keeps
// the input.
#include <cstdio>
#include <cstdlib>

inline void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "broken: %s\n", what);
  std::abort();
}
#define CHECK(x) Check((x), #x)
