// The limits of the module: the largest picture a writer makes decodes
// completely, and headers up to 32767 x 32767 give exactly 0 or 4 by the size
// of their bitmap, never a crash.
// Runs natively and under Wine, in the 32-bit address space and the 64-bit one.
#include <gtest/gtest.h>

#include <cstring>
#include <random>

#include "tests/support/plugin_api.h"
#include "tools/host/host.h"
#include "writer/encode.h"

using namespace kx;

namespace {

constexpr int kLargest = 8192;

// A picture with structure in both directions, cheap to make and to encode.
Bytes LargestPixels() {
  Bytes pixels(std::size_t(kLargest) * kLargest * 3);
  std::uint8_t* p = pixels.data();
  for (int y = 0; y < kLargest; ++y) {
    for (int x = 0; x < kLargest; ++x) {
      *p++ = static_cast<std::uint8_t>(x >> 5);
      *p++ = static_cast<std::uint8_t>(y >> 5);
      *p++ = static_cast<std::uint8_t>(((x >> 9) ^ (y >> 9)) * 16);
    }
  }
  return pixels;
}

TEST(Limits, TheLargestPictureDecodesCompletely) {
  Bytes file;
  {
    const Bytes pixels = LargestPixels();
    EncodeOptions options;
    options.level = kMinEncodeLevel;
    Bytes work(EncodeWorkBytes(options));
    file.resize(EncodeBoundBytes(kLargest, kLargest));
    file.resize(EncodeImage(pixels.data(), kLargest, kLargest, options, work.data(), file.data(), file.size()));
    ASSERT_GT(file.size(), 16u);
  }
  SpiHandle info = nullptr;
  SpiHandle bits = nullptr;
  ASSERT_EQ(Plugin().GetPicture(reinterpret_cast<char*>(file.data()), static_cast<SpiLong>(file.size()), 1, &info,
                                &bits, nullptr, 0),
            0);
  // Compared row by row in place: a second copy of 192 MiB would crowd a
  // 32-bit test program.
  const std::size_t row_bytes = std::size_t(kLargest) * 3;
  ASSERT_EQ(HostBlockBytes(bits), row_bytes * kLargest);
  const auto* stored = static_cast<const std::uint8_t*>(HostLockBlock(bits));
  file.clear();
  file.shrink_to_fit();
  const Bytes pixels = LargestPixels();
  int differing_rows = 0;
  for (int r = 0; r < kLargest; ++r) {
    const std::uint8_t* want = pixels.data() + std::size_t(kLargest - 1 - r) * row_bytes;
    if (std::memcmp(stored + std::size_t(r) * row_bytes, want, row_bytes) != 0) ++differing_rows;
  }
  EXPECT_EQ(differing_rows, 0);
  HostFreeBlock(info);
  HostFreeBlock(bits);
}

std::int64_t g_bytes_during_callback = -1;
int SPI_CALL MeasureBlocks(int, int, SpiLong) {
  g_bytes_during_callback = HostBlockBytesInUse();
  return 0;
}

// The callback comes when the picture is complete and the plug-in still
// holds everything it decodes with: what is in use then, beyond what was in
// use before, is the two blocks handed over and the plug-in's own work
// memory, which must stay small whatever the picture's size.
TEST(Limits, APictureCostsItsBitmapAndASmallFixedAmount) {
  constexpr std::int64_t kFixedAllowanceBytes = std::int64_t{1} << 20;
  for (const int size : {64, 1500, 4000}) {
    SCOPED_TRACE(size);
    std::mt19937 rng(static_cast<unsigned>(size));
    Bytes file = MakeKx(size, size, RandomTokenStream(rng, std::size_t(size) * size * 3));
    const std::int64_t bits_bytes = std::int64_t((size * 3 + 3) / 4 * 4) * size;
    const std::int64_t before = HostBlockBytesInUse();
    ASSERT_GE(before, 0);
    SpiHandle info = nullptr;
    SpiHandle bits = nullptr;
    g_bytes_during_callback = -1;
    ASSERT_EQ(Plugin().GetPicture(reinterpret_cast<char*>(file.data()), static_cast<SpiLong>(file.size()), 1,
                                  &info, &bits, MeasureBlocks, 0),
              0);
    ASSERT_GE(g_bytes_during_callback, 0);
    EXPECT_GE(g_bytes_during_callback - before, bits_bytes) << "the bitmap is not counted: the measure is wrong";
    EXPECT_LE(g_bytes_during_callback - before, bits_bytes + kFixedAllowanceBytes);
    HostFreeBlock(info);
    HostFreeBlock(bits);
  }
}

// Headers beyond what a writer makes: every bitmap up to 256 MiB is decoded,
// anything larger refused with 4 before anything is allocated. Bitmaps grow
// in steps of 4 bytes, so 10922 x 8192 (stride 32768) is the cap exactly and
// 11094 x 8065 (stride 33284) the least above it.
TEST(Limits, HeadersBeyondTheWritersLimitsGiveTheirExactResults) {
  const struct {
    int width, height, result;
  } cases[] = {{8193, 8193, 0},   {32767, 1, 0},     {1, 32767, 0},        {32767, 2730, 0},
               {11000, 8000, 0},  {10922, 8192, 0},  {11094, 8065, 4},     {10922, 8193, 4},
               {16384, 16384, 4}, {32767, 32767, 4}, {0x7FFF, 0x4000, 4}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.width) + " x " + std::to_string(c.height));
    Bytes file = MakeKx(c.width, c.height, {0x00, 1, 2, 3, 4, 5, 6, 7, 8});
    PictureInfo info{};
    EXPECT_EQ(Plugin().GetPictureInfo(reinterpret_cast<char*>(file.data()), static_cast<SpiLong>(file.size()), 1,
                                      &info),
              0);
    SpiHandle info_block = nullptr;
    SpiHandle bits_block = nullptr;
    const int result = Plugin().GetPicture(reinterpret_cast<char*>(file.data()), static_cast<SpiLong>(file.size()),
                                           1, &info_block, &bits_block, nullptr, 0);
    EXPECT_EQ(result, c.result);
    EXPECT_EQ(result == 0, bits_block != nullptr);
    if (result == 0) {
      const std::size_t stride_bytes = (std::size_t(c.width) * 3 + 3) / 4 * 4;
      EXPECT_EQ(HostBlockBytes(bits_block), stride_bytes * std::size_t(c.height));
      // The eight literals, delta-summed, then the last pixel repeated.
      const auto* bits = static_cast<const std::uint8_t*>(HostLockBlock(bits_block));
      const std::uint8_t* top_row = bits + stride_bytes * std::size_t(c.height - 1);
      EXPECT_EQ(top_row[0], 1);
      if (c.width > 1) {
        EXPECT_EQ(top_row[3], 1 + 4);
      }
      const std::uint8_t* last_pixel = bits + std::size_t(c.width - 1) * 3;  // bottom row, right end
      EXPECT_EQ(last_pixel[0], 1 + 4 + 7);
      HostFreeBlock(info_block);
      HostFreeBlock(bits_block);
    }
  }
}

}  // namespace
