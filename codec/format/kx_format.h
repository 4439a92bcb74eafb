// The KX file format: the 16-byte header and the recognition test.
//
// A KX file is a 16-byte header followed by a compressed pixel stream that
// runs to the end of the file. All multi-byte fields are little-endian.
//
//   offset  size  field
//   0       2     magic "KX"
//   2       1     coding byte: 0x83 in every file a reader accepts; bit 7 means
//                 the stream is delta-coded (see DecompressPixels)
//   3       1     bytes per pixel: 3
//   4       8     not read
//   12      2     width, signed 16-bit, 1..8192 in an accepted file
//   14      2     height, signed 16-bit, 1..8192 in an accepted file
//   16      ...   pixel stream
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

inline constexpr std::size_t kHeaderBytes = 16;
inline constexpr std::int32_t kMaxDimension = 8192;
inline constexpr std::int32_t kBytesPerPixel = 3;
inline constexpr std::uint8_t kAcceptedCoding = 0x83;
inline constexpr std::uint8_t kDeltaCodingBit = 0x80;

struct ImageHeader {
  std::uint8_t magic[2];
  std::uint8_t coding;
  std::uint8_t bytes_per_pixel;
  std::uint8_t unused[8];
  std::uint8_t width_le[2];
  std::uint8_t height_le[2];
};
static_assert(sizeof(ImageHeader) == kHeaderBytes, "the header is 16 packed bytes");

// Where the fields sit, taken from the record.
inline constexpr std::size_t kMagicAt = offsetof(ImageHeader, magic);
inline constexpr std::size_t kCodingAt = offsetof(ImageHeader, coding);
inline constexpr std::size_t kBytesPerPixelAt = offsetof(ImageHeader, bytes_per_pixel);
inline constexpr std::size_t kWidthAt = offsetof(ImageHeader, width_le);
inline constexpr std::size_t kHeightAt = offsetof(ImageHeader, height_le);

// True when the coding byte of `src` (src_bytes bytes, possibly shorter than
// a header) is there and asks for the delta step.
constexpr bool AsksForDelta(const std::uint8_t* src, std::size_t src_bytes) {
  return src_bytes > kCodingAt && (src[kCodingAt] & kDeltaCodingBit) != 0;
}

struct ImageSize {
  std::int32_t width;
  std::int32_t height;
};

// True when head[0] and head[1], the only bytes read, hold the signature "KX"
// (exact, case-sensitive).
constexpr bool HasSignature(const std::uint8_t* head) { return head[0] == 'K' && head[1] == 'X'; }

// What readers make of a header: accepted, or the first reason it is
// refused. The recognition test gives the first six; decoding, which asks
// less of a header (PlanFromHeader, codec/format/bitmap.h), the first three and
// the last two.
enum class HeaderCheck : std::uint8_t {
  kOk,
  kTruncated,  // fewer than kHeaderBytes
  kNotKx,      // no "KX" signature
  kCoding,     // coding byte other than kAcceptedCoding
  kPixelSize,  // bytes per pixel other than kBytesPerPixel
  kSideRange,  // width or height outside 1..kMaxDimension
  kNoPixels,   // width or height of 0 or less
  kTooLarge,   // the bitmap would exceed kMaxPictureBytes
};

// The recognition test of the head_bytes bytes at `head` (only the first 16
// are read, none when there are fewer): kOk for the header of a picture a
// reader accepts, else the first reason it fails, in the order above.
HeaderCheck RecognizeHeader(const std::uint8_t* head, std::size_t head_bytes);

// 1 when the 16 bytes at `head` are the header of a picture a reader accepts,
// else 0. Reads exactly head[0..15] and nothing else; the stream after the
// header is never examined.
int CheckHeader(const std::uint8_t* head);

// The width and height fields of the header at `head` (16 readable bytes),
// as signed 16-bit values widened to 32 bits. Checks nothing.
ImageSize ReadImageSize(const std::uint8_t* head);

}  // namespace kx
