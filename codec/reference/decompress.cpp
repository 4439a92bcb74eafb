#include "codec/reference/decompress.h"

#include <cstring>

#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"

namespace kx {

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
        const unsigned b = src[j++];
        const TokenForm form = ClassifyControl(b);
        if (form == TokenForm::kLiteralRun) {
          std::size_t length = RunLength(b);
          while (length-- > 0 && j < src_bytes && i < total_bytes) out[i++] = src[j++];
        } else {
          // A medium or long copy missing c or d writes nothing.
          const unsigned operand_bytes = OperandBytes(form);
          if (src_bytes - j < operand_bytes) break;
          const unsigned c = operand_bytes > 0 ? src[j] : 0u;
          const unsigned d = operand_bytes > 1 ? src[j + 1] : 0u;
          j += operand_bytes;
          const CopyToken copy = DecodeCopy(form, b, c, d);
          i = CopyMatch(out, i, total_bytes, copy.distance, copy.length);
        }
      }
      flags <<= 1;
      if (j >= src_bytes) break;
    }
  }
  const std::size_t produced_bytes = i;
  if (produced_bytes < total_bytes) std::memset(out + produced_bytes, 0, total_bytes - produced_bytes);
  if (AsksForDelta(src, src_bytes)) UndoDelta(out, total_bytes);
  return produced_bytes;
}

void UndoDelta(std::uint8_t* out, std::size_t total_bytes) {
  for (std::size_t p = 3; p < total_bytes; ++p) out[p] = static_cast<std::uint8_t>(out[p] + out[p - 3]);
}

}  // namespace kx
