#include "codec/kx_format.h"

#include "codec/little_endian.h"

namespace {

std::int32_t ReadSigned16(const std::uint8_t* p) { return static_cast<std::int16_t>(LoadLe16(p)); }

}  // namespace

int CheckHeader(const std::uint8_t* head) {
  const ImageSize size = ReadImageSize(head);
  // The magic is compared exactly and case-sensitively; a header whose coding
  // byte lacks the delta bit (0x03) is refused too, although the decoder could
  // read its stream: readers have always refused such files.
  if (!HasSignature(head)) return 0;
  if (head[kCodingAt] != kAcceptedCoding) return 0;
  if (head[kBytesPerPixelAt] != kBytesPerPixel) return 0;
  if (size.width <= 0 || size.width > kMaxDimension) return 0;
  if (size.height <= 0 || size.height > kMaxDimension) return 0;
  return 1;
}

ImageSize ReadImageSize(const std::uint8_t* head) {
  return ImageSize{ReadSigned16(head + kWidthAt), ReadSigned16(head + kHeightAt)};
}
