#include "platform/utf16.h"

#include <cstdint>

namespace kx {

namespace {

bool IsHighSurrogate(char16_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(char16_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

// The UTF-8 bytes of `code_point` (at most U+10FFFF) into bytes[0, 4);
// returns how many.
std::size_t EncodeUtf8(std::uint32_t code_point, char* bytes) {
  if (code_point < 0x80) {
    bytes[0] = static_cast<char>(code_point);
    return 1;
  }
  if (code_point < 0x800) {
    bytes[0] = static_cast<char>(0xC0 | (code_point >> 6));
    bytes[1] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 2;
  }
  if (code_point < 0x10000) {
    bytes[0] = static_cast<char>(0xE0 | (code_point >> 12));
    bytes[1] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    bytes[2] = static_cast<char>(0x80 | (code_point & 0x3F));
    return 3;
  }
  bytes[0] = static_cast<char>(0xF0 | (code_point >> 18));
  bytes[1] = static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
  bytes[2] = static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
  bytes[3] = static_cast<char>(0x80 | (code_point & 0x3F));
  return 4;
}

}  // namespace

bool Utf16ToUtf8(const char16_t* wide, char* out, std::size_t out_bytes) {
  constexpr std::size_t kMaxUtf8Bytes = 4;
  std::size_t written = 0;
  for (std::size_t k = 0; wide[k] != 0; ++k) {
    std::uint32_t code_point = wide[k];
    if (IsHighSurrogate(wide[k])) {
      if (!IsLowSurrogate(wide[k + 1])) return false;  // also stops at the terminating zero
      code_point = 0x10000 + ((code_point - 0xD800) << 10) + (wide[k + 1] - 0xDC00u);
      ++k;
    } else if (IsLowSurrogate(wide[k])) {
      return false;
    }
    char bytes[kMaxUtf8Bytes];
    const std::size_t n = EncodeUtf8(code_point, bytes);
    if (out_bytes - written <= n) return false;  // keeps room for the zero
    for (std::size_t b = 0; b < n; ++b) out[written + b] = bytes[b];
    written += n;
  }
  if (written >= out_bytes) return false;
  out[written] = '\0';
  return true;
}

}  // namespace kx
