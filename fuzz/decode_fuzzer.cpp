// Property: for any stream under any picture size, both decoders write only
// inside their output, and give exactly what the byte-at-a-time reference
// gives: the public decoding function (kx_decode_with_window) in every
// layout and stride with every window size, the fast decoder below it with
// every delta kernel the processor runs (the library picks the best one),
// the straightforward one as raw pixels (on pictures up to 16 KiB).
//
// The picture's size and the decoder's settings come from the last bytes of
// the input (fuzz/fuzz_input.h). Pictures stay at most 64 KiB, so that each
// run is quick, yet large enough for the fast decoder's unchecked groups
// (which need 32 KiB of picture ahead) and for slides of its smallest window.
#include <cstring>
#include <memory>
#include <vector>

#include "codec/decode/fast_decode.h"
#include "codec/format/bitmap.h"
#include "codec/reference/decompress.h"
#include "fuzz/fuzz_input.h"
#include "kx.h"
#include "tests/support/kx_build.h"
#include "tests/support/reference_decoder.h"

using namespace kx;

namespace {

constexpr std::size_t kGuardBytes = 32;
// The straightforward decoder is checked on pictures up to this size: it has
// no path that only larger ones reach (its checks compare positions with the
// picture's size the same way at any size), and above it took a third of
// the target's time.
constexpr std::size_t kMaxStraightforwardBytes = std::size_t{16} << 10;
constexpr std::uint8_t kGuard = 0xA5;

// A buffer with kGuardBytes of kGuard on each side of `bytes` usable ones.
struct Guarded {
  explicit Guarded(std::size_t bytes, std::uint8_t fill) : all(bytes + 2 * kGuardBytes, kGuard) {
    std::memset(all.data() + kGuardBytes, fill, bytes);
  }
  std::uint8_t* data() { return all.data() + kGuardBytes; }
  bool GuardsIntact() const {
    for (std::size_t k = 0; k < kGuardBytes; ++k) {
      if (all[k] != kGuard || all[all.size() - 1 - k] != kGuard) return false;
    }
    return true;
  }
  std::vector<std::uint8_t> all;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const DecodeCase c = ReadDecodeCase(data, size);
  const Bytes file = MakeKx(c.width, c.height, Bytes(c.stream, c.stream + c.stream_bytes), c.coding);

  PictureLayout layout;
  Check(PlanPicture(c.width, c.height, &layout) == LayoutStatus::kOk, "layout");
  const ReferenceResult want = ReferenceDecode(file, layout.total_bytes);

  if (layout.total_bytes <= kMaxStraightforwardBytes) {
    Guarded raw(layout.total_bytes, 0x5A);
    const std::size_t produced = DecompressPixels(file.data(), file.size(), raw.data(), layout.total_bytes);
    Check(produced == want.produced, "bytes produced");
    Check(std::memcmp(raw.data(), want.pixels.data(), layout.total_bytes) == 0, "raw pixels");
    Check(raw.GuardsIntact(), "raw output guards");
  }

  // The window is not cleared: the decoder must not depend on what it holds.
  const std::unique_ptr<std::uint8_t[]> window(new std::uint8_t[c.window_bytes]);
  const std::size_t stride_bytes = c.layout.extra_stride_bytes < 0
                                       ? kx_default_stride(c.width, c.layout.layout)
                                       : kx_layout_pixel_bytes(c.layout.layout) * static_cast<std::size_t>(c.width) +
                                             static_cast<std::size_t>(c.layout.extra_stride_bytes);
  constexpr std::uint8_t kPadding = 0x3C;  // never written: padding and guards keep their bytes
  const Bytes want_rows = ReferenceRows(want.pixels, c.width, c.height, c.layout.layout, stride_bytes, kPadding);
  Guarded rows(want_rows.size(), kPadding);
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  Check(kx_decode_with_window(file.data(), file.size(), c.layout.layout, rows.data(), stride_bytes, want_rows.size(),
                              window.get(), c.window_bytes, &report) == KX_OK,
        "library: refused");
  Check(report.decoded_pixels == want.produced / 3, "library: pixels produced");
  Check((report.complete != 0) == (want.produced == layout.total_bytes), "library: completeness");
  Check(std::memcmp(rows.data(), want_rows.data(), want_rows.size()) == 0, "library: rows");
  Check(rows.GuardsIntact(), "library: row guards");

  if (c.kernel != DeltaKernel::kBest) {
    const Bytes want_bits = ReferenceLayout(want.pixels, c.width, c.height);
    Guarded bits(layout.bits_bytes, 0);
    const std::size_t fast_produced =
        DecodeToBitmap(file.data(), file.size(), layout, bits.data(), window.get(), c.window_bytes, c.kernel);
    Check(fast_produced == want.produced, "fast decoder: bytes produced");
    Check(std::memcmp(bits.data(), want_bits.data(), layout.bits_bytes) == 0, "fast decoder: bitmap");
    Check(bits.GuardsIntact(), "bitmap guards");
  }
  return 0;
}
