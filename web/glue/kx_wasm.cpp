// The WebAssembly module's interface: kx.h's functions with the records
// flattened into 32-bit words, so that JavaScript reads results at fixed
// places instead of following the C structs' padding. Every buffer is the
// module's own malloc; JavaScript copies in and out and frees.
#include <cstdint>
#include <cstdlib>

#include "kx.h"

namespace {

// The words of the record kxw_probe fills.
enum ProbeWord {
  kProbeDecoding,
  kProbeRecognition,
  kProbeWidth,
  kProbeHeight,
  kProbeCoding,
  kProbeBytesPerPixel,
  kProbeWords
};
// The words of the record kxw_decode and kxw_encode fill.
enum OutWord { kOutPointer, kOutBytes, kOutWidth, kOutHeight, kOutComplete, kOutDecodedPixels, kOutWords };

}  // namespace

extern "C" {

void* kxw_alloc(std::size_t bytes) { return std::malloc(bytes); }
void kxw_free(void* block) { std::free(block); }
const char* kxw_result_text(int result) { return kx_result_text(result); }
unsigned kxw_version_number() { return kx_version_number(); }

int kxw_probe(const void* head, std::size_t head_bytes, std::int32_t* words) {
  kx_info info = KX_INFO_INIT;
  const kx_result result = kx_probe(head, head_bytes, &info);
  words[kProbeDecoding] = info.decoding;
  words[kProbeRecognition] = info.recognition;
  words[kProbeWidth] = info.width;
  words[kProbeHeight] = info.height;
  words[kProbeCoding] = info.coding;
  words[kProbeBytesPerPixel] = info.bytes_per_pixel;
  return result;
}

// Decodes to top-down RGBA rows without gaps in a block of its own, whose
// address and size land in words; the caller frees it. Nothing is allocated
// when the header is refused.
int kxw_decode(const void* src, std::size_t src_bytes, std::int32_t* words) {
  kx_info info = KX_INFO_INIT;
  const kx_result header = kx_probe(src, src_bytes, &info);
  if (header != KX_OK) return header;
  const std::size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_RGBA);
  const auto dst_bytes =
      static_cast<std::size_t>(kx_buffer_bytes(info.width, info.height, KX_LAYOUT_RGBA, stride_bytes));
  void* const dst = std::malloc(dst_bytes);
  if (dst == nullptr) return KX_ERR_OUT_OF_MEMORY;
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  const kx_result result = kx_decode(src, src_bytes, KX_LAYOUT_RGBA, dst, stride_bytes, dst_bytes, &report);
  if (result != KX_OK) {
    std::free(dst);
    return result;
  }
  words[kOutPointer] = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(dst));
  words[kOutBytes] = static_cast<std::int32_t>(dst_bytes);
  words[kOutWidth] = report.width;
  words[kOutHeight] = report.height;
  words[kOutComplete] = report.complete;
  // Below 2^26 for any picture within the cap.
  words[kOutDecodedPixels] = static_cast<std::int32_t>(report.decoded_pixels);
  return KX_OK;
}

// The words of the record kxw_decoder_start fills.
enum StreamWord { kStreamDecoder, kStreamPointer, kStreamBytes, kStreamWidth, kStreamHeight, kStreamWords };

// Starts a decoder in pieces for the header at head into top-down RGBA rows
// without gaps in a block of its own: the decoder, the block and the
// picture's size land in words. Nothing is allocated when the header is
// refused. kxw_decoder_end frees both.
int kxw_decoder_start(const void* head, std::size_t head_bytes, std::int32_t* words) {
  kx_info info = KX_INFO_INIT;
  const kx_result header = kx_probe(head, head_bytes, &info);
  if (header != KX_OK) return header;
  kx_decoder_options options = KX_DECODER_OPTIONS_INIT;
  options.layout = KX_LAYOUT_RGBA;
  options.stride_bytes = kx_default_stride(info.width, KX_LAYOUT_RGBA);
  options.dst_bytes =
      static_cast<std::size_t>(kx_buffer_bytes(info.width, info.height, KX_LAYOUT_RGBA, options.stride_bytes));
  options.dst = std::malloc(options.dst_bytes);
  if (options.dst == nullptr) return KX_ERR_OUT_OF_MEMORY;
  kx_decoder* decoder = nullptr;
  const kx_result result = kx_decoder_create(head, head_bytes, &options, &decoder);
  if (result != KX_OK) {
    std::free(options.dst);
    return result;
  }
  words[kStreamDecoder] = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(decoder));
  words[kStreamPointer] = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(options.dst));
  words[kStreamBytes] = static_cast<std::int32_t>(options.dst_bytes);
  words[kStreamWidth] = info.width;
  words[kStreamHeight] = info.height;
  return KX_OK;
}

// The rows final after the piece, or a result's negated number.
std::int32_t kxw_decoder_push(kx_decoder* decoder, const void* bytes, std::size_t byte_count) {
  std::int32_t rows_final = 0;
  const kx_result result = kx_decoder_push(decoder, bytes, byte_count, &rows_final);
  return result == KX_OK ? rows_final : -static_cast<std::int32_t>(result);
}

// Completes the picture; words as kxw_decode's (complete, decoded pixels).
int kxw_decoder_finish(kx_decoder* decoder, std::int32_t* words) {
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  const kx_result result = kx_decoder_finish(decoder, &report);
  if (result != KX_OK) return result;
  words[kOutWidth] = report.width;
  words[kOutHeight] = report.height;
  words[kOutComplete] = report.complete;
  words[kOutDecodedPixels] = static_cast<std::int32_t>(report.decoded_pixels);
  return KX_OK;
}

void kxw_decoder_end(kx_decoder* decoder, void* dst) {
  kx_decoder_destroy(decoder);
  std::free(dst);
}

// Encodes RGBA rows stride_bytes apart into a KX file in a block of its own
// (the caller frees it), at `level` (0: the default) and `decode_speed`
// (0: tokens for size alone).
int kxw_encode(const void* pixels, std::size_t pixels_bytes, std::int32_t width, std::int32_t height,
               std::size_t stride_bytes, int level, int decode_speed, std::int32_t* words) {
  const std::uint64_t bound_bytes = kx_encode_bound(width, height);
  if (bound_bytes == 0) return KX_ERR_BAD_SIZE;
  kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
  options.level = level;
  options.decode_speed = decode_speed;
  // Refusals of the arguments come before the allocation, as in kx_encode.
  if (level < 0 || level > KX_MAX_LEVEL || decode_speed < 0 || decode_speed > KX_MAX_DECODE_SPEED)
    return KX_ERR_BAD_LEVEL;
  void* const dst = std::malloc(static_cast<std::size_t>(bound_bytes));
  if (dst == nullptr) return KX_ERR_OUT_OF_MEMORY;
  std::size_t file_bytes = 0;
  const kx_result result = kx_encode(pixels, pixels_bytes, width, height, KX_LAYOUT_RGBA, stride_bytes, &options, dst,
                                     static_cast<std::size_t>(bound_bytes), &file_bytes);
  if (result != KX_OK) {
    std::free(dst);
    return result;
  }
  words[kOutPointer] = static_cast<std::int32_t>(reinterpret_cast<std::uintptr_t>(dst));
  words[kOutBytes] = static_cast<std::int32_t>(file_bytes);
  words[kOutWidth] = width;
  words[kOutHeight] = height;
  return KX_OK;
}

}  // extern "C"
