#include "codec/decompress.h"

#include <cstring>

#include "codec/kx_format.h"
#include "codec/kx_stream.h"

namespace {

// Copies up to `length` bytes from `distance` back, stopping at the cap.
// Bytes before the start of the output count as zero.
std::size_t CopyMatch(std::uint8_t* out, std::size_t i, std::size_t total_bytes, std::size_t distance,
                      std::size_t length) {
  const std::size_t end = (total_bytes - i < length) ? total_bytes : i + length;
  for (; i < end; ++i) out[i] = (i >= distance) ? out[i - distance] : 0;
  return i;
}

}  // namespace

std::size_t DecompressPixels(const std::uint8_t* src, std::size_t src_bytes, std::uint8_t* out,
                             std::size_t total_bytes) {
  std::size_t i = 0;
  if (src_bytes > kHeaderBytes) {
    std::size_t j = kHeaderBytes;
    std::uint32_t flags = 0;
    while (i < total_bytes) {
      if ((flags & kFlagsLeft) == 0) flags = src[j++] | kFlagLoadMark;
      if (j >= src_bytes) break;
      if ((flags & kCurrentFlag) == 0) {
        out[i++] = src[j++];
      } else {
        const std::uint8_t b = src[j++];
        if (b < 0x80) {
          if ((b & 3) == 3) {
            std::size_t length = (b >> 2) + kRunBase;
            while (length-- > 0 && j < src_bytes && i < total_bytes) out[i++] = src[j++];
          } else {
            i = CopyMatch(out, i, total_bytes, (b >> 2) + 1u, (b & 3u) + kShortBase);
          }
        } else if (b < 0xC0) {
          if (j >= src_bytes) break;
          const std::uint8_t c = src[j++];
          i = CopyMatch(out, i, total_bytes, ((b & 0x3Fu) << 4) + (c >> 4) + 1u, (c & 0x0Fu) + kMediumBase);
        } else {
          if (j + 1 >= src_bytes) break;  // a long copy missing c or d writes nothing
          const std::uint8_t c = src[j];
          const std::uint8_t d = src[j + 1];
          j += 2;
          i = CopyMatch(out, i, total_bytes, ((b & 0x3Fu) << 8) + c + 1u, LongLength(d));
        }
      }
      flags <<= 1;
      if (j >= src_bytes) break;
    }
  }
  const std::size_t produced_bytes = i;
  if (produced_bytes < total_bytes) std::memset(out + produced_bytes, 0, total_bytes - produced_bytes);
  if (src_bytes > 2 && (src[2] & kDeltaCodingBit) != 0) UndoDelta(out, total_bytes);
  return produced_bytes;
}

void UndoDelta(std::uint8_t* out, std::size_t total_bytes) {
  for (std::size_t p = 3; p < total_bytes; ++p) out[p] = static_cast<std::uint8_t>(out[p] + out[p - 3]);
}
