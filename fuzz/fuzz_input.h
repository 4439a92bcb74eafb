// Splits a fuzzer's bytes into the few numbers a target needs and the rest.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "codec/decode/fast_decode.h"
#include "codec/format/little_endian.h"

// Stops the run with the property's name: libFuzzer then keeps the input.
inline void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "property violated: %s\n", what);
    std::abort();
  }
}

struct FuzzInput {
  const std::uint8_t* data;
  std::size_t size;

  // The next byte, or 0 once the input is used up.
  std::uint8_t Byte() {
    if (size == 0) return 0;
    const std::uint8_t b = *data;
    ++data;
    --size;
    return b;
  }
  // A number in [lo, hi] from the next two bytes.
  int Range(int lo, int hi) {
    const std::uint8_t two[2] = {Byte(), Byte()};
    return lo + static_cast<int>(kx::LoadLe16(two) % static_cast<unsigned>(hi - lo + 1));
  }
  // The last byte, taken off the end, or 0 once the input is used up.
  // Parameters kept at the end stay where they are whatever the fuzzer
  // inserts into or erases from the bytes before them.
  std::uint8_t BackByte() {
    if (size == 0) return 0;
    --size;
    return data[size];
  }
};

// What the decode target makes of an input: a stream, then four bytes of
// settings at the end, read from the back:
//
//   last        bit 0: coding byte 0x83 (else 0x03); bits 1-2: delta kernel;
//               bits 3-4: window size; bits 5-7: the library's row layout
//               and stride (kFuzzLayouts)
//   2nd, 3rd    last: width - 1 (modulo kMaxFuzzWidth), little-endian
//   4th last    height - 1
//
// The picture then shrinks to the raw-byte budget that the stream's length
// allows (kMaxFuzzRawBytes at most): short inputs decode small pictures
// quickly, and only long ones pay for large pictures.
inline constexpr int kMaxFuzzWidth = 4096;
inline constexpr std::size_t kFuzzTailBytes = 4;
inline constexpr std::size_t kMaxFuzzRawBytes = std::size_t{64} << 10;
inline constexpr std::size_t kFuzzBaseBudgetBytes = 1024;
inline constexpr std::size_t kFuzzBudgetPerStreamByte = 64;

// Window sizes: the smallest, which slides after about 24 KiB of output,
// two odd sizes above it, and the plug-in's own.
inline constexpr std::size_t kFuzzWindowBytes[4] = {kx::kMinDecodeWindowBytes, kx::kMinDecodeWindowBytes + 4093,
                                                    kx::kMinDecodeWindowBytes + 16411, kx::kDecodeWindowBytes};
inline constexpr kx::DeltaKernel kFuzzKernels[4] = {kx::DeltaKernel::kBest, kx::DeltaKernel::kScalar,
                                                    kx::DeltaKernel::kSse2, kx::DeltaKernel::kSsse3};

// The public library's layouts (kx_layout) the decode target asks for, each
// with the bytes its stride adds to a row: the bitmap's usual padding (-1),
// none, or an odd number that leaves rows unaligned. Setting 0 is the
// plug-in's bits block.
struct FuzzLayout {
  int layout;
  int extra_stride_bytes;
};
inline constexpr FuzzLayout kFuzzLayouts[8] = {{0, -1}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {0, 5}, {2, 3}, {3, 7}};

// The raw bytes a picture may have when its stream has `stream_bytes`.
constexpr std::size_t FuzzRawBudget(std::size_t stream_bytes) {
  const std::size_t budget_bytes = kFuzzBaseBudgetBytes + kFuzzBudgetPerStreamByte * stream_bytes;
  return budget_bytes < kMaxFuzzRawBytes ? budget_bytes : kMaxFuzzRawBytes;
}

struct DecodeCase {
  const std::uint8_t* stream;
  std::size_t stream_bytes;
  int width;
  int height;
  std::uint8_t coding;
  kx::DeltaKernel kernel;
  std::size_t window_bytes;
  FuzzLayout layout;
};

// The settings as they are written at the end of an input.
struct DecodeSettings {
  int width;   // 1..kMaxFuzzWidth
  int height;  // 1..256
  bool delta;
  unsigned kernel;  // index into kFuzzKernels
  unsigned window;  // index into kFuzzWindowBytes
  unsigned layout = 0;  // index into kFuzzLayouts
};

inline DecodeCase ReadDecodeCase(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const std::uint8_t flags = in.BackByte();
  const std::uint8_t width_bytes[2] = {in.BackByte(), in.BackByte()};
  const std::uint8_t height_byte = in.BackByte();
  DecodeCase c{};
  c.stream = in.data;
  c.stream_bytes = in.size;
  c.coding = (flags & 1) != 0 ? 0x83 : 0x03;
  c.kernel = kFuzzKernels[(flags >> 1) & 3];
  c.window_bytes = kFuzzWindowBytes[(flags >> 3) & 3];
  c.layout = kFuzzLayouts[(flags >> 5) & 7];
  c.width = 1 + kx::LoadLe16(width_bytes) % kMaxFuzzWidth;
  c.height = 1 + height_byte;
  const std::size_t budget_bytes = FuzzRawBudget(c.stream_bytes);
  const std::size_t row_bytes = std::size_t{3} * static_cast<std::size_t>(c.width);
  if (row_bytes > budget_bytes) c.width = static_cast<int>(budget_bytes / 3);
  const std::size_t max_height = budget_bytes / (std::size_t{3} * static_cast<std::size_t>(c.width));
  if (static_cast<std::size_t>(c.height) > max_height) c.height = static_cast<int>(max_height);
  return c;
}

// Appends the settings to a stream, as ReadDecodeCase reads them.
inline void AppendDecodeSettings(std::vector<std::uint8_t>* input, const DecodeSettings& s) {
  std::uint8_t width_bytes[2];
  kx::StoreLe16(width_bytes, static_cast<std::uint16_t>(s.width - 1));
  input->push_back(static_cast<std::uint8_t>(s.height - 1));
  input->push_back(width_bytes[1]);
  input->push_back(width_bytes[0]);
  input->push_back(static_cast<std::uint8_t>((s.delta ? 1u : 0u) | (s.kernel & 3u) << 1 | (s.window & 3u) << 3 |
                                             (s.layout & 7u) << 5));
}
