// Property: for any stream under any picture size, both decoders write only
// inside their output, and give exactly what the byte-at-a-time reference
// gives: the fast decoder as a bottom-up bitmap, with every window size and
// delta kernel, the straightforward one as raw pixels (on pictures up to
// 16 KiB).
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
  const Bytes want_bits = ReferenceLayout(want.pixels, c.width, c.height);
  Guarded bits(layout.bits_bytes, 0);
  const std::unique_ptr<std::uint8_t[]> window(new std::uint8_t[c.window_bytes]);
  const std::size_t fast_produced =
      DecodeToBitmap(file.data(), file.size(), layout, bits.data(), window.get(), c.window_bytes, c.kernel);
  Check(fast_produced == want.produced, "fast decoder: bytes produced");
  Check(std::memcmp(bits.data(), want_bits.data(), layout.bits_bytes) == 0, "fast decoder: bitmap");
  Check(bits.GuardsIntact(), "bitmap guards");
  return 0;
}
