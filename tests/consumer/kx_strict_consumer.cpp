// kx.h in a C++ program built with the strictest warnings its users turn
// on, every one an error (tests/CMakeLists.txt): each macro of the header
// is used here, so that a C-style cast, an old-style NULL or a sign mix in
// one of them fails the build.
#include <kx.h>

#include <cstddef>
#include <cstdint>
#include <vector>

namespace {

// Every constant the header defines, used as C++ code uses them.
static_assert(KX_DECODE_WINDOW_BYTES >= KX_MIN_DECODE_WINDOW_BYTES);
static_assert(KX_MIN_DECODER_WINDOW_BYTES > KX_MIN_DECODE_WINDOW_BYTES);
static_assert(KX_VERSION_NUMBER >= 10000);
static_assert(KX_MIN_LEVEL <= KX_DEFAULT_LEVEL && KX_DEFAULT_LEVEL <= KX_MAX_LEVEL);
static_assert(KX_HEADER_BYTES == 16 && KX_MAX_SIDE == 8192);
static_assert((KX_ACCEPTED_CODING & KX_DELTA_CODING_BIT) != 0);
constexpr std::size_t kWindowBytes = KX_DECODE_WINDOW_BYTES;
constexpr std::size_t kMinWindowBytes = KX_MIN_DECODE_WINDOW_BYTES;
constexpr std::size_t kMinDecoderWindowBytes = KX_MIN_DECODER_WINDOW_BYTES;

}  // namespace

// Decodes `file` through the caller's window; 0 on success.
int StrictConsumerDecode(const std::vector<std::uint8_t>& file, std::vector<std::uint8_t>* pixels) {
  kx_info info = KX_INFO_INIT;
  if (kx_probe(file.data(), file.size(), &info) != KX_OK) return 1;
  const std::size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_RGBA);
  pixels->resize(static_cast<std::size_t>(kx_buffer_bytes(info.width, info.height, KX_LAYOUT_RGBA, stride_bytes)));
  std::vector<std::uint8_t> window(kWindowBytes > kMinWindowBytes ? kWindowBytes : kMinWindowBytes);
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  kx_decoder_options decoder = KX_DECODER_OPTIONS_INIT;
  decoder.window_bytes = kMinDecoderWindowBytes;
  kx_encode_options encode = KX_ENCODE_OPTIONS_INIT;
  encode.flags = KX_ENCODE_NO_DELTA;
  const kx_result result = kx_decode_with_window(file.data(), file.size(), KX_LAYOUT_RGBA, pixels->data(),
                                                 stride_bytes, pixels->size(), window.data(), window.size(), &report);
  return result == KX_OK && report.complete == 1 && encode.level == 0 && decoder.window == nullptr ? 0 : 1;
}
