#include "codec/format/kx_format.h"

#include "codec/format/little_endian.h"

namespace kx {

namespace {

std::int32_t ReadSigned16(const std::uint8_t* p) { return static_cast<std::int16_t>(LoadLe16(p)); }

}  // namespace

HeaderCheck RecognizeHeader(const std::uint8_t* head, std::size_t head_bytes) {
  if (head_bytes < kHeaderBytes) return HeaderCheck::kTruncated;
  // The magic is compared exactly and case-sensitively; a header whose coding
  // byte lacks the delta bit (0x03) is refused too, although the decoder could
  // read its stream: readers have always refused such files.
  if (!HasSignature(head)) return HeaderCheck::kNotKx;
  if (head[kCodingAt] != kAcceptedCoding) return HeaderCheck::kCoding;
  if (head[kBytesPerPixelAt] != kBytesPerPixel) return HeaderCheck::kPixelSize;
  const ImageSize size = ReadImageSize(head);
  if (size.width <= 0 || size.width > kMaxDimension) return HeaderCheck::kSideRange;
  if (size.height <= 0 || size.height > kMaxDimension) return HeaderCheck::kSideRange;
  return HeaderCheck::kOk;
}

int CheckHeader(const std::uint8_t* head) { return RecognizeHeader(head, kHeaderBytes) == HeaderCheck::kOk ? 1 : 0; }

ImageSize ReadImageSize(const std::uint8_t* head) {
  return ImageSize{ReadSigned16(head + kWidthAt), ReadSigned16(head + kHeightAt)};
}

}  // namespace kx
