// Property: random pixels of random sizes, at any level (the optimal one at
// any decode speed), with or without the delta step, encode to a file the
// recognition test accepts and that decodes back to exactly those pixels; a
// picture across stretch joins, encoded on 2 to 4 threads, gives the same
// file byte for byte.
//
// The pixels repeat what is left of the input, with a grain on top whose
// size the last byte's low four bits set: patterns alone make long copies,
// the grain short ones and literals between them, as photographs do.
//
// What one input may cost is capped, so that the target runs some hundreds
// of inputs a second under the sanitizers instead of a few. Measured there
// (-O2), an encode costs 0.2 to 1 ms of tables and from 0.03 us a byte
// (fast level) to 1 us (optimal level) on grainy pixels, and a picture
// across a join tens to hundreds of milliseconds, since every stretch but
// the last is 256 KiB.
//   - Most pictures stay within one stretch and keep the rows their level
//     family may cost: 8 KiB of pixels at the fast level, 4 KiB at the
//     others.
//   - One input in 64 (one in 256 at the optimal level, where such a
//     picture costs as much as a hundred small ones), drawn by a hash of
//     all its bytes (so that a mutation of such an input draws again),
//     reaches past one join, or at the fast level past two when bits 6 and
//     7 of the last byte are set (a middle stretch): its rows continue to
//     the join and then for its requested height's share of 4 KiB. Only
//     the bytes around each join (17 KiB before it, 4 KiB after) carry the
//     pattern and the grain; the rest is one flat value, the cheapest
//     pixels for every level.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/format/kx_format.h"
#include "codec/reference/decompress.h"
#include "fuzz/fuzz_input.h"
#include "writer/encode.h"
#include "writer/threaded_encode.h"

using namespace kx;

namespace {

constexpr int kMaxWidth = 1024;
constexpr int kMaxHeight = 200;
constexpr int kMaxThreads = 4;
constexpr int kMinJoinWidth = 64;  // 8192 rows of it pass two joins
constexpr std::uint8_t kTwoJoinsBits = 0xC0;
// Detail before a join: a little more than a copy reaches back (16,384
// bytes), so that the stretch after it can copy from any of it; after it,
// enough for the first flag groups and the tokens that straddle it.
constexpr std::size_t kBandBeforeBytes = std::size_t{17} << 10;
constexpr std::size_t kBandAfterBytes = std::size_t{4} << 10;
constexpr std::uint8_t kFlatByte = 0x5A;

constexpr std::size_t kFastCapBytes = std::size_t{8} << 10;
constexpr std::size_t kOtherCapBytes = std::size_t{4} << 10;
static_assert(kOtherCapBytes >= std::size_t{3} * kMaxWidth, "every width keeps a row");

std::size_t OneStretchCapBytes(int level) { return level <= kMinEncodeLevel ? kFastCapBytes : kOtherCapBytes; }

// FNV-1a; its top bits depend on every bit of the input, its low ones only
// on the low bits of each byte.
std::uint32_t HashBytes(const std::uint8_t* data, std::size_t size) {
  std::uint32_t hash = 2166136261u;
  for (std::size_t k = 0; k < size; ++k) hash = (hash ^ data[k]) * 16777619u;
  return hash;
}

// The pattern and its grain over pixels [begin, end).
void FillDetail(const FuzzInput& in, unsigned grain, std::size_t begin, std::size_t end, std::uint8_t* pixels) {
  std::size_t at = in.size == 0 ? 0 : begin % in.size;
  for (std::size_t k = begin; k < end; ++k) {
    std::uint32_t mixed = static_cast<std::uint32_t>(k) * 0x9E3779B1u;
    mixed = (mixed ^ (mixed >> 15)) * 0x85EBCA6Bu;
    const unsigned noise = ((mixed >> 24) * (grain + 1)) >> 8;
    pixels[k] = static_cast<std::uint8_t>((in.size == 0 ? 0 : in.data[at]) + noise);
    if (++at == in.size) at = 0;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  int width = in.Range(1, kMaxWidth);
  int height = in.Range(1, kMaxHeight);
  EncodeOptions options;
  options.level = in.Range(1, 9);
  const std::uint8_t mode = in.Byte();
  options.delta = (mode & 1) != 0;
  // At the optimal level the rest of the byte picks a decode speed, which
  // runs the same parse at other prices (and costs what the level costs).
  options.decode_speed = options.level == kMaxEncodeLevel ? (mode >> 1) % (kMaxDecodeSpeed + 1) : 0;
  const unsigned threads = static_cast<unsigned>(in.Range(2, kMaxThreads));
  const std::uint8_t tail = in.BackByte();
  const unsigned grain = tail % 16u;

  const unsigned draw_shift = options.level < kMaxEncodeLevel ? 26 : 24;  // one in 64, or 256
  if (HashBytes(data, size) >> draw_shift == 0) {
    const bool two = (tail & kTwoJoinsBits) == kTwoJoinsBits && options.level <= kMinEncodeLevel;
    const std::size_t joins = two ? 2 : 1;
    if (width < kMinJoinWidth) width = kMinJoinWidth;
    const std::size_t row_bytes = std::size_t{3} * static_cast<std::size_t>(width);
    const std::size_t past_bytes = 1 + static_cast<std::size_t>(height - 1) * kBandAfterBytes / kMaxHeight;
    height = static_cast<int>((joins * kEncodeStretchBytes + past_bytes + row_bytes - 1) / row_bytes);
  } else {
    const std::size_t cap_rows = OneStretchCapBytes(options.level) / (std::size_t{3} * static_cast<std::size_t>(width));
    if (static_cast<std::size_t>(height) > cap_rows) height = static_cast<int>(cap_rows);
  }
  const std::size_t total_bytes = std::size_t{3} * static_cast<std::size_t>(width) * static_cast<std::size_t>(height);
  const std::size_t stretches = EncodeStretchCount(width, height);

  std::vector<std::uint8_t> pixels(total_bytes);
  if (stretches == 1) {
    FillDetail(in, grain, 0, total_bytes, pixels.data());
  } else {
    std::memset(pixels.data(), kFlatByte, total_bytes);
    for (std::size_t join = 1; join < stretches; ++join) {
      const std::size_t at = join * kEncodeStretchBytes;
      const std::size_t end = at + kBandAfterBytes < total_bytes ? at + kBandAfterBytes : total_bytes;
      FillDetail(in, grain, at - kBandBeforeBytes, end, pixels.data());
    }
  }

  // The tables are the largest cost of a small picture's encode; kept from
  // input to input, they also show that what they held does not matter.
  static std::vector<std::uint8_t> work;
  work.resize(EncodeWorkBytes(options));
  std::vector<std::uint8_t> file(EncodeBoundBytes(width, height));
  const std::size_t file_bytes =
      EncodeImage(pixels.data(), width, height, options, work.data(), file.data(), file.size());
  Check(file_bytes > kHeaderBytes && file_bytes <= file.size(), "encoded size");
  Check(!options.delta || CheckHeader(file.data()) == 1, "the header is accepted");

  std::vector<std::uint8_t> decoded(total_bytes);
  const std::size_t produced = DecompressPixels(file.data(), file_bytes, decoded.data(), total_bytes);
  Check(produced == total_bytes, "the stream is complete");
  Check(decoded == pixels, "round trip");

  // On one stretch the threaded writer is EncodeImage on the calling thread.
  if (stretches > 1) {
    std::vector<std::uint8_t> threaded(file.size());
    const std::size_t threaded_bytes =
        EncodeImageThreaded(pixels.data(), width, height, options, threads, threaded.data(), threaded.size());
    Check(threaded_bytes == file_bytes && std::memcmp(threaded.data(), file.data(), file_bytes) == 0,
          "the same file on several threads");
  }
  return 0;
}
