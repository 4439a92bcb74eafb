#include <gtest/gtest.h>

#include "codec/format/kx_format.h"
#include "tests/support/kx_build.h"

using namespace kx;

namespace {

int Check(const Bytes& head) { return CheckHeader(head.data()); }

TEST(CheckHeader, AcceptsTheSizeRangeInclusive) {
  EXPECT_EQ(Check(MakeHeader(1, 1)), 1);
  EXPECT_EQ(Check(MakeHeader(8192, 8192)), 1);
  EXPECT_EQ(Check(MakeHeader(8192, 1)), 1);
  for (int bad : {0, 8193, -1, 0x7FFF, -32768}) {
    EXPECT_EQ(Check(MakeHeader(bad, 10)), 0) << "width " << bad;
    EXPECT_EQ(Check(MakeHeader(10, bad)), 0) << "height " << bad;
  }
}

TEST(CheckHeader, MagicCodingAndDepthMustBeExact) {
  Bytes head = MakeHeader(10, 10);
  head[0] = 'k';
  head[1] = 'x';
  EXPECT_EQ(Check(head), 0);
  EXPECT_EQ(Check(MakeHeader(10, 10, 0x03)), 0);  // no delta bit: still refused
  EXPECT_EQ(Check(MakeHeader(10, 10, 0x82)), 0);
  head = MakeHeader(10, 10);
  head[3] = 4;
  EXPECT_EQ(Check(head), 0);
  head = MakeHeader(10, 10);
  head[1] = 0;  // a zero byte inside the magic must not end the comparison early
  EXPECT_EQ(Check(head), 0);
}

TEST(CheckHeader, IgnoresBytesFourToEleven) {
  Bytes head = MakeHeader(640, 480);
  for (int k = 4; k < 12; ++k) head[static_cast<std::size_t>(k)] = 0xFF;
  EXPECT_EQ(Check(head), 1);
}

TEST(ReadImageSize, FieldsAreSignedLittleEndian) {
  Bytes head = MakeHeader(0x1234, 0x0102);
  EXPECT_EQ(ReadImageSize(head.data()).width, 0x1234);
  EXPECT_EQ(ReadImageSize(head.data()).height, 0x0102);
  head[12] = 0x00;
  head[13] = 0x80;
  head[14] = 0xFF;
  head[15] = 0xFF;
  EXPECT_EQ(ReadImageSize(head.data()).width, -32768);
  EXPECT_EQ(ReadImageSize(head.data()).height, -1);
}

}  // namespace
