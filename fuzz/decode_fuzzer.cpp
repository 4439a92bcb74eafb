// Property: for any stream under any header size, the decoders write only
// inside their output, and give exactly what the byte-at-a-time reference
// gives, as raw pixels and as a bottom-up bitmap.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/bitmap.h"
#include "codec/decompress.h"
#include "codec/fast_decode.h"
#include "fuzz/fuzz_input.h"
#include "tests/support/kx_build.h"
#include "tests/support/reference_decoder.h"

namespace {

// Pictures stay small so that each run is fast; wide and tall shapes both
// occur so the window slides many times within one picture.
constexpr int kMaxWidth = 1024;
constexpr int kMaxHeight = 300;
constexpr std::size_t kGuardBytes = 32;
constexpr std::uint8_t kGuard = 0xA5;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const int width = in.Range(1, kMaxWidth);
  const int height = in.Range(1, kMaxHeight);
  const std::uint8_t coding = (in.Byte() & 1) ? 0x83 : 0x03;
  const Bytes file = MakeKx(width, height, Bytes(in.data, in.data + in.size), coding);

  PictureLayout layout;
  Check(PlanPicture(width, height, &layout) == LayoutStatus::kOk, "layout");
  const ReferenceResult want = ReferenceDecode(file, layout.total_bytes);

  std::vector<std::uint8_t> raw(layout.total_bytes + 2 * kGuardBytes, kGuard);
  const std::size_t produced = DecompressPixels(file.data(), file.size(), raw.data() + kGuardBytes, layout.total_bytes);
  Check(produced == want.produced, "bytes produced");
  Check(std::memcmp(raw.data() + kGuardBytes, want.pixels.data(), layout.total_bytes) == 0, "raw pixels");
  for (std::size_t k = 0; k < kGuardBytes; ++k) {
    Check(raw[k] == kGuard && raw[raw.size() - 1 - k] == kGuard, "raw output guards");
  }

  const Bytes want_bits = ReferenceBits(file, width, height);
  std::vector<std::uint8_t> bits(layout.bits_bytes + 2 * kGuardBytes, kGuard);
  for (std::size_t k = 0; k < layout.bits_bytes; ++k) bits[kGuardBytes + k] = 0;
  std::vector<std::uint8_t> window(kDecodeWindowBytes);
  const std::size_t fast_produced =
      DecodeToBitmap(file.data(), file.size(), layout, bits.data() + kGuardBytes, window.data(), window.size());
  Check(fast_produced == want.produced, "fast decoder: bytes produced");
  Check(std::memcmp(bits.data() + kGuardBytes, want_bits.data(), layout.bits_bytes) == 0, "fast decoder: bitmap");
  for (std::size_t k = 0; k < kGuardBytes; ++k) {
    Check(bits[k] == kGuard && bits[bits.size() - 1 - k] == kGuard, "bitmap guards");
  }
  return 0;
}
