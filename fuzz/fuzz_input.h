// Splits a fuzzer's bytes into the few numbers a target needs and the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Stops the run with the property's name: libFuzzer then keeps the input.
inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

struct FuzzInput {
  const std::uint8_t* data;
  std::size_t size;

  // The next byte, or 0 once the input is used up.
  std::uint8_t Byte() {
    if (size == 0) return 0;
    const std::uint8_t b = *data;
    ++data;
    --size;
    return b;
  }
  // A number in [lo, hi] from the next two bytes.
  int Range(int lo, int hi) {
    const unsigned v = Byte() | (unsigned{Byte()} << 8);
    return lo + static_cast<int>(v % static_cast<unsigned>(hi - lo + 1));
  }
};
