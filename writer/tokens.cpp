// The token writer's literals, and the stretch's buffer the parsers read.
#include <cstring>

#include "writer/encode_internal.h"

namespace kx {

namespace writer {

void EmitLiterals(TokenWriter* w, const std::uint8_t* bytes, std::size_t count) {
  if (count < kRunBase) {
    for (std::size_t k = 0; k < count; ++k) *BeginToken(w, false, 1) = bytes[k];
    return;
  }
  while (count > 0) {
    // Leave at least a run's minimum for the last run.
    std::size_t run = count;
    if (count > kMaxRunBytes) run = count - kMaxRunBytes >= kRunBase ? kMaxRunBytes : count - kRunBase;
    std::uint8_t* o = BeginToken(w, true, 1 + run);
    o[0] = static_cast<std::uint8_t>(((run - kRunBase) << 2) | kRunMark);
    std::memcpy(o + 1, bytes, run);
    bytes += run;
    count -= run;
  }
}

void FillBuffer(const std::uint8_t* pixels, bool delta, std::size_t window_begin, std::size_t end,
                std::uint8_t* buffer) {
  assert(end - window_begin + kPadBytes <= kBufferBytes);
  const std::size_t lane = kBytesPerPixel;
  std::size_t p = window_begin;
  for (; p < end && (!delta || p < lane); ++p) buffer[p - window_begin] = pixels[p];
  for (; p < end; ++p) buffer[p - window_begin] = static_cast<std::uint8_t>(pixels[p] - pixels[p - lane]);
  std::memset(buffer + (end - window_begin), 0, kPadBytes);
}

}  // namespace writer

}  // namespace kx
