// The public library's writing half (kx.h): the bound of a file and the
// encoder, over the threaded writer.
#include <cstddef>
#include <cstring>
#include <memory>
#include <new>

#include "codec/format/kx_format.h"
#include "kx.h"
#include "writer/threaded_encode.h"

namespace kx {

static_assert(KX_MIN_LEVEL == kMinEncodeLevel && KX_MAX_LEVEL == kMaxEncodeLevel, "");
static_assert(KX_DEFAULT_LEVEL == kDefaultEncodeLevel, "");

namespace {

static_assert(KX_MAX_DECODE_SPEED == kMaxDecodeSpeed, "");

// The first version of the options ended before decode_speed.
constexpr std::size_t kOptionsV1Bytes = offsetof(kx_encode_options, decode_speed);
constexpr std::size_t kOptionsDecodeSpeedBytes = offsetof(kx_encode_options, decode_speed) + sizeof(int);

bool SideInRange(std::int32_t side) { return side >= 1 && side <= kMaxDimension; }

// Row r of the caller's pixels (r = 0 at the top) as the writer takes it:
// blue, green, red, no gaps.
void GatherRow(const std::uint8_t* row, int layout, std::int32_t width, std::uint8_t* raw) {
  const auto n = static_cast<std::size_t>(width);
  switch (layout) {
    case KX_LAYOUT_BGR_BOTTOM_UP:
    case KX_LAYOUT_BGR: std::memcpy(raw, row, 3 * n); return;
    case KX_LAYOUT_RGB:
      for (std::size_t k = 0; k < n; ++k, row += 3, raw += 3) {
        raw[0] = row[2];
        raw[1] = row[1];
        raw[2] = row[0];
      }
      return;
    default: break;
  }
  const bool red_first = layout == KX_LAYOUT_RGBA;
  for (std::size_t k = 0; k < n; ++k, row += 4, raw += 3) {
    raw[0] = red_first ? row[2] : row[0];
    raw[1] = row[1];
    raw[2] = red_first ? row[0] : row[2];
  }
}

}  // namespace

}  // namespace kx

// The entry points reach the internals through this alone.
using namespace kx;

extern "C" {

uint64_t kx_encode_bound(int32_t width, int32_t height) { return EncodeBoundBytes(width, height); }

kx_result kx_encode(const void* pixels, size_t pixels_bytes, int32_t width, int32_t height, int layout,
                    size_t stride_bytes, const kx_encode_options* options, void* dst, size_t dst_bytes,
                    size_t* file_bytes) {
  if (pixels == nullptr || dst == nullptr || file_bytes == nullptr) return KX_ERR_NULL_POINTER;
  if (options != nullptr && options->struct_bytes < kOptionsV1Bytes) return KX_ERR_BAD_STRUCT_SIZE;
  if (!SideInRange(width) || !SideInRange(height)) return KX_ERR_BAD_SIZE;
  const std::size_t pixel_bytes = kx_layout_pixel_bytes(layout);
  if (pixel_bytes == 0) return KX_ERR_BAD_LAYOUT;
  const int level = options == nullptr || options->level == 0 ? kDefaultEncodeLevel : options->level;
  if (level < kMinEncodeLevel || level > kMaxEncodeLevel) return KX_ERR_BAD_LEVEL;
  const int decode_speed =
      options != nullptr && options->struct_bytes >= kOptionsDecodeSpeedBytes ? options->decode_speed : 0;
  if (decode_speed < 0 || decode_speed > kMaxDecodeSpeed) return KX_ERR_BAD_LEVEL;
  const std::size_t row_bytes = pixel_bytes * static_cast<std::size_t>(width);
  if (stride_bytes < row_bytes) return KX_ERR_BAD_STRIDE;
  // Sides and layout are known good here: 0 is a size past 2^64.
  const std::uint64_t need_bytes = kx_buffer_bytes(width, height, layout, stride_bytes);
  if (need_bytes == 0 || need_bytes > pixels_bytes) return KX_ERR_BUFFER_TOO_SMALL;
  if (EncodeBoundBytes(width, height) > dst_bytes) return KX_ERR_BUFFER_TOO_SMALL;

  EncodeOptions encode_options;
  encode_options.level = level;
  encode_options.decode_speed = decode_speed;
  encode_options.delta = options == nullptr || (options->flags & KX_ENCODE_NO_DELTA) == 0;
  const unsigned threads = options == nullptr ? 1 : options->threads;

  // The writer reads the picture as one block of top-down BGR rows; any
  // other layout is gathered into such a copy first.
  const auto* source = static_cast<const std::uint8_t*>(pixels);
  const std::size_t raw_row_bytes = 3 * static_cast<std::size_t>(width);
  std::unique_ptr<std::uint8_t[]> gathered;
  if (layout != KX_LAYOUT_BGR || stride_bytes != raw_row_bytes) {
    gathered.reset(new (std::nothrow) std::uint8_t[raw_row_bytes * static_cast<std::size_t>(height)]);
    if (!gathered) return KX_ERR_OUT_OF_MEMORY;
    for (std::int32_t r = 0; r < height; ++r) {
      const std::int32_t stored = layout == KX_LAYOUT_BGR_BOTTOM_UP ? height - 1 - r : r;
      GatherRow(source + static_cast<std::size_t>(stored) * stride_bytes, layout, width,
                gathered.get() + static_cast<std::size_t>(r) * raw_row_bytes);
    }
    source = gathered.get();
  }

  // Every argument the writer refuses is refused above: nothing here means
  // that memory or a thread for the work could not be had.
  const std::size_t written_bytes =
      EncodeImageThreaded(source, width, height, encode_options, threads, static_cast<std::uint8_t*>(dst), dst_bytes);
  if (written_bytes == 0) return KX_ERR_OUT_OF_MEMORY;
  *file_bytes = written_bytes;
  return KX_OK;
}

}  // extern "C"
