// Property: split invariance. For any stream under any picture size, the
// decoder in pieces (kx_decoder_*) gives exactly what kx_decode gives for
// the whole file, the pixels and the report, whatever the pieces; after
// every push the rows it calls final already hold those pixels and their
// count never falls; and nothing outside the rows' pixels is written.
//
// The input chooses the pieces: its first byte says how many piece codes
// follow (1 to 8), each code a piece size (below 192: 1 to 192 bytes; from
// 192: multiples of 256 up to 16 KiB, enough for the unchecked groups), used
// in turn until the file ends. The rest is a decode target's input (a stream
// and its settings at the end, fuzz/fuzz_input.h); its window setting picks
// the decoder's own window or a caller's of one of three sizes.
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz/fuzz_input.h"
#include "kx.h"
#include "tests/support/kx_build.h"

namespace {

constexpr std::size_t kGuardBytes = 32;
constexpr std::uint8_t kPadding = 0x3C;  // padding and guards keep their bytes

std::size_t PieceBytes(std::uint8_t code) {
  return code < 192 ? std::size_t{code} + 1 : (std::size_t{code} - 191) * 256;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const std::size_t codes = 1 + in.Byte() % 8;
  std::vector<std::size_t> piece_bytes;
  for (std::size_t k = 0; k < codes; ++k) piece_bytes.push_back(PieceBytes(in.Byte()));
  const DecodeCase c = ReadDecodeCase(in.data, in.size);
  const Bytes file = MakeKx(c.width, c.height, Bytes(c.stream, c.stream + c.stream_bytes), c.coding);

  const std::size_t stride_bytes = c.layout.extra_stride_bytes < 0
                                       ? kx_default_stride(c.width, c.layout.layout)
                                       : kx_layout_pixel_bytes(c.layout.layout) * static_cast<std::size_t>(c.width) +
                                             static_cast<std::size_t>(c.layout.extra_stride_bytes);
  const auto rows_bytes = static_cast<std::size_t>(kx_buffer_bytes(c.width, c.height, c.layout.layout, stride_bytes));
  Bytes want(rows_bytes, kPadding);
  kx_decode_report want_report = KX_DECODE_REPORT_INIT;
  Check(kx_decode(file.data(), file.size(), c.layout.layout, want.data(), stride_bytes, want.size(), &want_report) ==
            KX_OK,
        "kx_decode: refused");

  // The caller's window is not cleared: the decoder must not depend on what
  // it holds. Index 3 of the window setting is the decoder's own.
  const std::size_t window_choice = c.window_bytes == kx::kDecodeWindowBytes ? 0 : c.window_bytes + 4096;
  const std::unique_ptr<std::uint8_t[]> window(window_choice > 0 ? new std::uint8_t[window_choice] : nullptr);
  Bytes got(rows_bytes + 2 * kGuardBytes, kPadding);
  std::uint8_t* const dst = got.data() + kGuardBytes;
  kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
  o.layout = c.layout.layout;
  o.dst = dst;
  o.stride_bytes = stride_bytes;
  o.dst_bytes = rows_bytes;
  o.window = window.get();
  o.window_bytes = window_choice;
  kx_decoder* d = nullptr;
  Check(kx_decoder_create(file.data(), kx::kHeaderBytes, &o, &d) == KX_OK, "create: refused");

  const std::size_t pixel_bytes = kx_layout_pixel_bytes(c.layout.layout) * static_cast<std::size_t>(c.width);
  std::int32_t before = 0;
  std::size_t at = 0;
  for (std::size_t k = 0; at < file.size(); ++k) {
    std::size_t n = piece_bytes[k % piece_bytes.size()];
    if (n > file.size() - at) n = file.size() - at;
    // Each piece from a copy of its own, so that the sanitizer sees a read
    // past it.
    const Bytes piece(file.begin() + static_cast<std::ptrdiff_t>(at), file.begin() + static_cast<std::ptrdiff_t>(at + n));
    std::int32_t rows = -1;
    Check(kx_decoder_push(d, piece.data(), piece.size(), &rows) == KX_OK, "push: refused");
    Check(rows >= before && rows <= c.height, "rows_final falls or exceeds the height");
    for (std::int32_t r = before; r < rows; ++r) {
      const std::int32_t stored = c.layout.layout == KX_LAYOUT_BGR_BOTTOM_UP ? c.height - 1 - r : r;
      const std::size_t p = static_cast<std::size_t>(stored) * stride_bytes;
      Check(std::memcmp(dst + p, want.data() + p, pixel_bytes) == 0, "a row called final is not");
    }
    before = rows;
    at += n;
  }
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  Check(kx_decoder_finish(d, &report) == KX_OK, "finish: refused");
  kx_decoder_destroy(d);
  Check(std::memcmp(dst, want.data(), rows_bytes) == 0, "pixels differ from kx_decode's");
  Check(report.width == want_report.width && report.height == want_report.height &&
            report.complete == want_report.complete && report.decoded_pixels == want_report.decoded_pixels,
        "report differs from kx_decode's");
  for (std::size_t k = 0; k < kGuardBytes; ++k) {
    Check(got[k] == kPadding && got[got.size() - 1 - k] == kPadding, "written outside the rows");
  }
  return 0;
}
