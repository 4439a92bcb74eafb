#include <gtest/gtest.h>

#include "codec/format/bitmap.h"
#include "codec/format/little_endian.h"
#include "codec/reference/row_store.h"
#include "tests/support/kx_build.h"

using namespace kx;

namespace {

std::uint32_t Le32(const Bytes& b, std::size_t at) { return LoadLe32(b.data() + at); }

TEST(PlanPicture, StrideRoundsRowsUpToFourBytes) {
  const struct {
    int width;
    std::size_t stride;
  } cases[] = {{1, 4}, {2, 8}, {3, 12}, {4, 12}, {5, 16}, {8192, 24576}};
  for (const auto& c : cases) {
    PictureLayout layout;
    ASSERT_EQ(PlanPicture(c.width, 3, &layout), LayoutStatus::kOk);
    EXPECT_EQ(layout.stride_bytes, c.stride) << "width " << c.width;
    EXPECT_EQ(layout.bits_bytes, c.stride * 3);
    EXPECT_EQ(layout.total_bytes, std::size_t(c.width) * 9);
  }
}

TEST(PlanPicture, RefusesEmptyAndOversizedPictures) {
  PictureLayout layout;
  EXPECT_EQ(PlanPicture(0, 5, &layout), LayoutStatus::kEmpty);
  EXPECT_EQ(PlanPicture(5, -1, &layout), LayoutStatus::kEmpty);
  EXPECT_EQ(PlanPicture(-32768, -32768, &layout), LayoutStatus::kEmpty);
  EXPECT_EQ(PlanPicture(32767, 32767, &layout), LayoutStatus::kTooLarge);
  EXPECT_EQ(PlanPicture(0x7FFFFFFF, 0x7FFFFFFF, &layout), LayoutStatus::kTooLarge);
  EXPECT_EQ(PlanPicture(8192, 32767, &layout), LayoutStatus::kTooLarge);
  EXPECT_EQ(PlanPicture(8192, 8192, &layout), LayoutStatus::kOk);
  EXPECT_EQ(layout.bits_bytes, std::size_t{8192} * 8192 * 3);
}

TEST(FillBitmapHeader, WritesA24BitBottomUpHeaderAndZeroesTheRest) {
  Bytes info(kInfoBlockBytes, 0xEE);
  FillBitmapHeader(info.data(), 5, 7, 112);
  EXPECT_EQ(Le32(info, 0), 40u);
  EXPECT_EQ(Le32(info, 4), 5u);
  EXPECT_EQ(Le32(info, 8), 7u);
  EXPECT_EQ(LoadLe16(info.data() + 12), 1);   // planes
  EXPECT_EQ(LoadLe16(info.data() + 14), 24);  // bits
  EXPECT_EQ(Le32(info, 16), 0u);              // BI_RGB
  EXPECT_EQ(Le32(info, 20), 112u);            // biSizeImage
  for (std::size_t k = 24; k < 40 + 1024; ++k) ASSERT_EQ(info[k], 0) << "byte " << k;
}

TEST(StoreRows, StoresRowsBottomUpAndLeavesPaddingAlone) {
  // 2 x 2: top row 01 02 03 02 04 06, bottom row 03 06 09 04 08 0C.
  const Bytes raw = {1, 2, 3, 2, 4, 6, 3, 6, 9, 4, 8, 12};
  Bytes bits(16, 0);
  StoreRows(raw.data(), bits.data(), 8, 2, 2);
  EXPECT_EQ(bits, (Bytes{3, 6, 9, 4, 8, 12, 0, 0, 1, 2, 3, 2, 4, 6, 0, 0}));

  // 1 x 2: A on top, B below; padding bytes that were 0xEE stay 0xEE.
  Bytes tall(8, 0xEE);
  StoreRows(Bytes{0xA1, 0xA2, 0xA3, 0xB1, 0xB2, 0xB3}.data(), tall.data(), 4, 1, 2);
  EXPECT_EQ(tall, (Bytes{0xB1, 0xB2, 0xB3, 0xEE, 0xA1, 0xA2, 0xA3, 0xEE}));

  Bytes untouched(8, 0xEE);
  StoreRows(raw.data(), untouched.data(), 4, 0, 2);
  StoreRows(raw.data(), untouched.data(), 4, 1, 0);
  EXPECT_EQ(untouched, Bytes(8, 0xEE));
}

}  // namespace
