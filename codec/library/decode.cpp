// The public library's reading half (kx.h): results, version, probing and
// decoding, over the decoder the plug-in runs. Buffer sizes are
// layouts.cpp's, the encoder encode.cpp.
#include "kx.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "codec/decode/delta.h"
#include "codec/decode/fast_decode.h"
#include "codec/decode/row_writer.h"
#include "codec/decode/stream_decode.h"
#include "codec/decode/two_core_decode.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/format/stream_bound.h"
#include "platform/platform.h"

static_assert(KX_HEADER_BYTES == kx::kHeaderBytes, "");
static_assert(KX_MAX_SIDE == kx::kMaxDimension, "");
static_assert(KX_ACCEPTED_CODING == kx::kAcceptedCoding && KX_DELTA_CODING_BIT == kx::kDeltaCodingBit, "");
static_assert(KX_DECODE_WINDOW_BYTES == kx::kDecodeWindowBytes, "");
static_assert(KX_MIN_DECODE_WINDOW_BYTES == kx::kMinDecodeWindowBytes, "");

// A decoder in pieces: its state, at the front of the memory it decodes in
// (its own allocation, or the caller's window), and the window after it.
struct kx_decoder {
  kx::StreamState stream;
  void* allocation;  // what kx_decoder_destroy frees: NULL in a caller's window
  std::int32_t width;
  std::int32_t height;
};

namespace kx {

namespace {

// The records as this version first shipped them: callers built against it
// pass at least this much, later callers more.
constexpr std::size_t kInfoV1Bytes = sizeof(kx_info);
constexpr std::size_t kReportV1Bytes = sizeof(kx_decode_report);
constexpr std::size_t kDecoderOptionsV1Bytes = sizeof(kx_decoder_options);

// The front of a decoder's memory that holds its state, rounded up so that
// the window after it starts as aligned as the memory; the window keeps
// at least kMinDecodeWindowBytes.
constexpr std::size_t kDecoderStateBytes = KX_MIN_DECODER_WINDOW_BYTES - KX_MIN_DECODE_WINDOW_BYTES;
static_assert(sizeof(kx_decoder) + alignof(kx_decoder) <= kDecoderStateBytes, "the state fits its room");
constexpr std::size_t kDecodeOptionsV1Bytes = sizeof(kx_decode_options);

kx_result ResultOf(HeaderCheck check) {
  switch (check) {
    case HeaderCheck::kOk: return KX_OK;
    case HeaderCheck::kTruncated: return KX_ERR_TRUNCATED_HEADER;
    case HeaderCheck::kNotKx: return KX_ERR_NOT_KX;
    case HeaderCheck::kCoding: return KX_ERR_CODING;
    case HeaderCheck::kPixelSize: return KX_ERR_BYTES_PER_PIXEL;
    case HeaderCheck::kSideRange: return KX_ERR_SIDE_RANGE;
    case HeaderCheck::kNoPixels: return KX_ERR_NO_PIXELS;
    case HeaderCheck::kTooLarge: return KX_ERR_TOO_LARGE;
  }
  return KX_ERR_NOT_KX;
}

// Copies the first struct_bytes of a record this version filled, no more:
// a caller built against an earlier, shorter record has no room for the
// rest.
template <typename Record>
void Deliver(const Record& filled, Record* out) {
  const std::size_t n = out->struct_bytes < sizeof(Record) ? out->struct_bytes : sizeof(Record);
  const std::size_t keep = out->struct_bytes;
  std::memcpy(out, &filled, n);
  out->struct_bytes = keep;
}

// The rows of `layout` at dst, with the kernel that undoes the delta step
// when the file asks for it.
RowWriter StartLayoutRows(int layout, const PictureLayout& picture, std::uint8_t* dst, std::size_t stride_bytes,
                          bool undo_delta) {
  switch (layout) {
    case KX_LAYOUT_BGR_BOTTOM_UP:
    case KX_LAYOUT_BGR:
      return StartStridedRows(picture, dst, stride_bytes, layout == KX_LAYOUT_BGR_BOTTOM_UP,
                              undo_delta ? PickDelta(DeltaKernel::kBest) : nullptr);
    case KX_LAYOUT_RGB: return StartRgbRows(picture, dst, stride_bytes, PickRgbKernel(DeltaKernel::kBest, undo_delta));
    default: break;
  }
  return StartWideRows(picture, dst, stride_bytes, PickWideKernel(layout == KX_LAYOUT_RGBA, undo_delta));
}

// Everything a decode refuses before it touches anything, in the order the
// header documents; the picture's layout on KX_OK.
kx_result CheckDecodeArguments(const void* src, std::size_t src_bytes, int layout, const void* dst,
                               std::size_t stride_bytes, std::size_t dst_bytes, const kx_decode_report* report,
                               PictureLayout* picture) {
  if (src == nullptr || dst == nullptr) return KX_ERR_NULL_POINTER;
  if (kx_layout_pixel_bytes(layout) == 0) return KX_ERR_BAD_LAYOUT;
  if (report != nullptr && report->struct_bytes < kReportV1Bytes) return KX_ERR_BAD_STRUCT_SIZE;
  ImageSize size{};
  const HeaderCheck check = PlanFromHeader(static_cast<const std::uint8_t*>(src), src_bytes, &size, picture);
  if (check != HeaderCheck::kOk) return ResultOf(check);
  if (stride_bytes < kx_layout_pixel_bytes(layout) * static_cast<std::size_t>(picture->width)) {
    return KX_ERR_BAD_STRIDE;
  }
  // Sides and layout are known good here: 0 is a size past 2^64.
  const std::uint64_t need_bytes = kx_buffer_bytes(picture->width, picture->height, layout, stride_bytes);
  if (need_bytes == 0 || need_bytes > dst_bytes) return KX_ERR_BUFFER_TOO_SMALL;
  return KX_OK;
}

void FillReport(std::int32_t width, std::int32_t height, std::size_t produced_bytes, std::size_t total_bytes,
                kx_decode_report* report) {
  kx_decode_report filled{};
  filled.width = width;
  filled.height = height;
  filled.complete = produced_bytes == total_bytes ? 1 : 0;
  filled.decoded_pixels = produced_bytes / 3;
  Deliver(filled, report);
}

// The decode itself, once CheckDecodeArguments has accepted everything
// (both entry points check first, so that nothing is allocated or touched
// for arguments they refuse).
void DecodeChecked(const std::uint8_t* bytes, std::size_t src_bytes, int layout, const PictureLayout& picture,
                   std::uint8_t* out, std::size_t stride_bytes, std::uint8_t* window, std::size_t window_bytes,
                   bool two_cores, kx_decode_report* report) {
  const RowWriter rows = StartLayoutRows(layout, picture, out, stride_bytes, AsksForDelta(bytes, src_bytes));
  // The caller's buffer may be fresh, and the first touch of its pages costs
  // about as much as decoding a flat picture: where the platform finds it
  // pays, a second thread faults them in from the end the decoder reaches
  // last (the top row is decoded first, and bottom-up rows store it last).
  // Only the rows: the caller's padding may lie on pages it protected. Not
  // beside the storing thread, which takes the faults off the decoder's
  // path itself, and would share its core with a third thread.
  const auto span_bytes =
      static_cast<std::size_t>(kx_buffer_bytes(picture.width, picture.height, layout, stride_bytes));
  const std::size_t row_bytes = kx_layout_pixel_bytes(layout) * static_cast<std::size_t>(picture.width);
  PrefaultJob prefault{out, span_bytes, row_bytes, stride_bytes, layout != KX_LAYOUT_BGR_BOTTOM_UP, false, 0};
  if (two_cores) {
    AdviseFreshBlock(out, span_bytes);
  } else {
    StartPrefault(&prefault);
  }
  const std::size_t produced_bytes =
      two_cores ? DecodeIntoRowsTwoCores(bytes, src_bytes, picture.total_bytes, rows, window, window_bytes,
                                         DeltaKernel::kBest)
                : DecodeIntoRows(bytes, src_bytes, picture.total_bytes, rows, window, window_bytes, DeltaKernel::kBest);
  FinishPrefault(&prefault);

  if (report != nullptr) FillReport(picture.width, picture.height, produced_bytes, picture.total_bytes, report);
}

}  // namespace

}  // namespace kx

// The entry points reach the internals through this alone.
using namespace kx;

extern "C" {

const char* kx_result_text(int result) {
  switch (result) {
    case KX_OK: return "success";
    case KX_ERR_TRUNCATED_HEADER: return "not a KX image: shorter than its 16-byte header";
    case KX_ERR_NOT_KX: return "not a KX image";
    case KX_ERR_CODING: return "unsupported KX coding byte";
    case KX_ERR_BYTES_PER_PIXEL: return "unsupported KX pixel size: not 3 bytes per pixel";
    case KX_ERR_SIDE_RANGE: return "KX image width or height outside 1..8192";
    case KX_ERR_NO_PIXELS: return "KX image has no pixels: a width or height of 0 or less";
    case KX_ERR_TOO_LARGE: return "KX image too large: its bitmap would exceed 256 MiB";
    case KX_ERR_NULL_POINTER: return "a required pointer is null";
    case KX_ERR_BAD_LAYOUT: return "unknown pixel layout";
    case KX_ERR_BAD_STRIDE: return "stride smaller than a row of pixels";
    case KX_ERR_BUFFER_TOO_SMALL: return "buffer too small";
    case KX_ERR_BAD_SIZE: return "width or height outside 1..8192";
    case KX_ERR_BAD_LEVEL: return "level or decode_speed outside 0..9";
    case KX_ERR_BAD_STRUCT_SIZE: return "record smaller than its first version (struct_bytes)";
    case KX_ERR_WINDOW_TOO_SMALL: return "decode window smaller than KX_MIN_DECODE_WINDOW_BYTES";
    case KX_ERR_OUT_OF_MEMORY: return "out of memory";
    case KX_ERR_FINISHED: return "the decoder has finished: no more bytes are taken";
    default: break;
  }
  return "unknown result code";
}

unsigned kx_version_number(void) { return KX_VERSION_NUMBER; }
const char* kx_version_string(void) { return KX_VERSION_STRING; }

kx_result kx_probe(const void* head, size_t head_bytes, kx_info* info) {
  if (info == nullptr || (head == nullptr && head_bytes > 0)) return KX_ERR_NULL_POINTER;
  if (info->struct_bytes < kInfoV1Bytes) return KX_ERR_BAD_STRUCT_SIZE;
  const auto* bytes = static_cast<const std::uint8_t*>(head);
  kx_info filled{};
  filled.recognition = ResultOf(RecognizeHeader(bytes, head_bytes));
  ImageSize size{};
  PictureLayout picture{};
  filled.decoding = ResultOf(PlanFromHeader(bytes, head_bytes, &size, &picture));
  if (head_bytes >= kHeaderBytes) {
    size = ReadImageSize(bytes);
    filled.width = size.width;
    filled.height = size.height;
    filled.coding = bytes[kCodingAt];
    filled.bytes_per_pixel = bytes[kBytesPerPixelAt];
    if (size.width > 0 && size.height > 0) {
      // Sides below 2^15 keep every product far inside 64 bits.
      const std::uint64_t total_bytes =
          std::uint64_t{3} * static_cast<std::uint32_t>(size.width) * static_cast<std::uint32_t>(size.height);
      filled.max_input_bytes = kHeaderBytes + total_bytes + (total_bytes + kGroupTokens - 1) / kGroupTokens + 2;
      static_assert(MaxStreamBytes(24) == 24 + 3 + 2, "the bound above is MaxStreamBytes in 64 bits");
    }
  }
  Deliver(filled, info);
  return filled.decoding;
}

kx_result kx_decode_with_window(const void* src, size_t src_bytes, int layout, void* dst, size_t stride_bytes,
                                size_t dst_bytes, void* window, size_t window_bytes, kx_decode_report* report) {
  PictureLayout picture{};
  const kx_result refused =
      CheckDecodeArguments(src, src_bytes, layout, dst, stride_bytes, dst_bytes, report, &picture);
  if (refused != KX_OK) return refused;
  if (window == nullptr) return KX_ERR_NULL_POINTER;
  if (window_bytes < kMinDecodeWindowBytes) return KX_ERR_WINDOW_TOO_SMALL;

  DecodeChecked(static_cast<const std::uint8_t*>(src), src_bytes, layout, picture, static_cast<std::uint8_t*>(dst),
                stride_bytes, static_cast<std::uint8_t*>(window), window_bytes, TwoCoresPay(picture.total_bytes),
                report);
  return KX_OK;
}

kx_result kx_decode(const void* src, size_t src_bytes, int layout, void* dst, size_t stride_bytes, size_t dst_bytes,
                    kx_decode_report* report) {
  return kx_decode_ex(src, src_bytes, layout, dst, stride_bytes, dst_bytes, nullptr, report);
}

kx_result kx_decode_ex(const void* src, size_t src_bytes, int layout, void* dst, size_t stride_bytes, size_t dst_bytes,
                       const kx_decode_options* options, kx_decode_report* report) {
  PictureLayout picture{};
  const kx_result refused =
      CheckDecodeArguments(src, src_bytes, layout, dst, stride_bytes, dst_bytes, report, &picture);
  if (refused != KX_OK) return refused;
  kx_decode_options chosen = KX_DECODE_OPTIONS_INIT;
  if (options != nullptr) {
    if (options->struct_bytes < kDecodeOptionsV1Bytes) return KX_ERR_BAD_STRUCT_SIZE;
    chosen = *options;
  }
  if (chosen.window != nullptr && chosen.window_bytes < kMinDecodeWindowBytes) return KX_ERR_WINDOW_TOO_SMALL;
  // Every refusal comes before the window is allocated, so that bad
  // arguments never come back as KX_ERR_OUT_OF_MEMORY.
  const bool two_cores = chosen.threads >= 2 || (chosen.threads == 0 && TwoCoresPay(picture.total_bytes));
  // On two threads a larger window of the library's own lets the storing
  // thread fall further behind before the decoder has to wait for it.
  const std::size_t own_window_bytes = two_cores ? kTwoCoreWindowBytes : kDecodeWindowBytes;
  void* const window = chosen.window != nullptr ? chosen.window : std::malloc(own_window_bytes);
  if (window == nullptr) return KX_ERR_OUT_OF_MEMORY;
  DecodeChecked(static_cast<const std::uint8_t*>(src), src_bytes, layout, picture, static_cast<std::uint8_t*>(dst),
                stride_bytes, static_cast<std::uint8_t*>(window),
                chosen.window != nullptr ? chosen.window_bytes : own_window_bytes, two_cores, report);
  if (chosen.window == nullptr) std::free(window);
  return KX_OK;
}

kx_result kx_decoder_create(const void* head, size_t head_bytes, const kx_decoder_options* options,
                            kx_decoder** decoder) {
  if (options == nullptr || decoder == nullptr) return KX_ERR_NULL_POINTER;
  if (options->struct_bytes < kDecoderOptionsV1Bytes) return KX_ERR_BAD_STRUCT_SIZE;
  PictureLayout picture{};
  const kx_result refused = CheckDecodeArguments(head, head_bytes, options->layout, options->dst,
                                                 options->stride_bytes, options->dst_bytes, nullptr, &picture);
  if (refused != KX_OK) return refused;
  if (options->window != nullptr && options->window_bytes < KX_MIN_DECODER_WINDOW_BYTES) {
    return KX_ERR_WINDOW_TOO_SMALL;
  }
  void* allocation = nullptr;
  auto* memory = static_cast<std::uint8_t*>(options->window);
  std::size_t memory_bytes = options->window_bytes;
  if (memory == nullptr) {
    allocation = std::malloc(KX_DECODE_WINDOW_BYTES);
    if (allocation == nullptr) return KX_ERR_OUT_OF_MEMORY;
    memory = static_cast<std::uint8_t*>(allocation);
    memory_bytes = KX_DECODE_WINDOW_BYTES;
  }
  // A caller's window of any alignment: the state goes to the first aligned
  // place, which the state's room has to spare.
  const std::size_t misalign_bytes = reinterpret_cast<std::uintptr_t>(memory) % alignof(kx_decoder);
  auto* d = new (memory + (misalign_bytes == 0 ? 0 : alignof(kx_decoder) - misalign_bytes)) kx_decoder{};
  d->allocation = allocation;
  d->width = picture.width;
  d->height = picture.height;
  const bool undo_delta = AsksForDelta(static_cast<const std::uint8_t*>(head), head_bytes);
  StartStream(&d->stream, memory + kDecoderStateBytes, memory_bytes - kDecoderStateBytes, picture.total_bytes,
              StartLayoutRows(options->layout, picture, static_cast<std::uint8_t*>(options->dst),
                              options->stride_bytes, undo_delta),
              PickGroups(DeltaKernel::kBest));
  *decoder = d;
  return KX_OK;
}

kx_result kx_decoder_push(kx_decoder* decoder, const void* bytes, size_t byte_count, int32_t* rows_final) {
  if (decoder == nullptr || (bytes == nullptr && byte_count > 0)) return KX_ERR_NULL_POINTER;
  if (!decoder->stream.finished) PushStream(&decoder->stream, static_cast<const std::uint8_t*>(bytes), byte_count);
  if (rows_final != nullptr) *rows_final = static_cast<std::int32_t>(StoredRows(decoder->stream));
  return decoder->stream.finished ? KX_ERR_FINISHED : KX_OK;
}

kx_result kx_decoder_finish(kx_decoder* decoder, kx_decode_report* report) {
  if (decoder == nullptr) return KX_ERR_NULL_POINTER;
  if (report != nullptr && report->struct_bytes < kReportV1Bytes) return KX_ERR_BAD_STRUCT_SIZE;
  FinishStream(&decoder->stream);
  if (report != nullptr) {
    FillReport(decoder->width, decoder->height, decoder->stream.produced_bytes, decoder->stream.total_bytes, report);
  }
  return KX_OK;
}

void kx_decoder_destroy(kx_decoder* decoder) {
  if (decoder == nullptr) return;
  void* const allocation = decoder->allocation;
  decoder->~kx_decoder();
  std::free(allocation);
}

}  // extern "C"
