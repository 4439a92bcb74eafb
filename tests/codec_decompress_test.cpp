#include <gtest/gtest.h>

#include "codec/reference/decompress.h"
#include "tests/support/kx_build.h"
#include "tests/support/reference_decoder.h"

using namespace kx;

namespace {

constexpr std::size_t kGuardBytes = 64;
constexpr std::uint8_t kGuard = 0xCD;
constexpr std::uint8_t kStale = 0xAB;

struct Decoded {
  Bytes pixels;
  std::size_t produced;
};

// Decodes into a buffer with guard bytes on both sides, pre-filled with a
// non-zero value, so that a write outside [0, total) or a byte left unwritten
// inside it shows up.
Decoded Decode(const Bytes& file, std::size_t total) {
  Bytes buffer(total + 2 * kGuardBytes, kGuard);
  std::fill(buffer.begin() + kGuardBytes, buffer.end() - kGuardBytes, kStale);
  // The input is copied to its own exact-size heap block, so that reading
  // past it is caught by the sanitizers.
  Bytes input(file);
  const std::size_t produced = DecompressPixels(input.data(), input.size(), buffer.data() + kGuardBytes, total);
  for (std::size_t k = 0; k < kGuardBytes; ++k) {
    EXPECT_EQ(buffer[k], kGuard) << "write before the output at -" << (kGuardBytes - k);
    EXPECT_EQ(buffer[buffer.size() - 1 - k], kGuard) << "write past the output at +" << (kGuardBytes - 1 - k);
  }
  return {Bytes(buffer.begin() + kGuardBytes, buffer.end() - kGuardBytes), produced};
}

Bytes Pixels(int width, int height, const Bytes& stream, std::uint8_t coding = 0x83) {
  return Decode(MakeKx(width, height, stream, coding), std::size_t(width) * std::size_t(height) * 3).pixels;
}

TEST(DecompressPixels, WorkedPictures) {
  // 2 x 1 with the delta step: 10 20 30 01 02 03 -> 10 20 30 11 22 33.
  EXPECT_EQ(Pixels(2, 1, {0x00, 0x10, 0x20, 0x30, 0x01, 0x02, 0x03}), (Bytes{0x10, 0x20, 0x30, 0x11, 0x22, 0x33}));

  // 2 x 2: flag 18; three literals; short copy 09 (3 bytes at distance 3);
  // medium copy 80 53 (6 bytes at distance 6).
  const Bytes stream = {0x18, 0x01, 0x02, 0x03, 0x09, 0x80, 0x53};
  EXPECT_EQ(Pixels(2, 2, stream, 0x03), (Bytes{1, 2, 3, 1, 2, 3, 1, 2, 3, 1, 2, 3}));
  EXPECT_EQ(Pixels(2, 2, stream, 0x83), (Bytes{1, 2, 3, 2, 4, 6, 3, 6, 9, 4, 8, 12}));

  // 3 x 1: a literal run of 9 cut after 4 bytes by the end of the input.
  const Bytes cut_run = {0x80, 0x03, 0x0A, 0x0B, 0x0C, 0x0D};
  EXPECT_EQ(Pixels(3, 1, cut_run, 0x03), (Bytes{0x0A, 0x0B, 0x0C, 0x0D, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Pixels(3, 1, cut_run, 0x83), (Bytes{0x0A, 0x0B, 0x0C, 0x17, 0x0B, 0x0C, 0x17, 0x0B, 0x0C}));

  // 20 x 20: literal 7F then a 1024-byte copy at distance 1: bytes 0..1024 are 7F.
  Bytes expected(1200, 0);
  std::fill(expected.begin(), expected.begin() + 1025, 0x7F);
  EXPECT_EQ(Pixels(20, 20, {0x40, 0x7F, 0xC0, 0x00, 0xFE}, 0x03), expected);
}

TEST(DecompressPixels, TokenForms) {
  // Flag 00 governs eight literals; the ninth byte is the next flag byte.
  EXPECT_EQ(Pixels(3, 1, {0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0x00, 9}, 0x03), (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9}));

  // Literal runs of 9 (03) and 40 (7F).
  Bytes run40(40);
  for (std::size_t k = 0; k < run40.size(); ++k) run40[k] = static_cast<std::uint8_t>(k + 1);
  Bytes stream = {0xC0, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x7F};
  stream.insert(stream.end(), run40.begin(), run40.end());
  Bytes expected = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  expected.insert(expected.end(), run40.begin(), run40.end());
  expected.resize(51, 0);
  EXPECT_EQ(Pixels(17, 1, stream, 0x03), expected);

  // Short copy 00: the previous byte twice.
  EXPECT_EQ(Pixels(1, 1, {0x40, 0x55, 0x00}, 0x03), (Bytes{0x55, 0x55, 0x55}));
  // Medium copy 80 0F: distance 1, length 18.
  EXPECT_EQ(Pixels(19, 1, {0x40, 0x42, 0x80, 0x0F}, 0x03), [] {
    Bytes b(57, 0);
    std::fill(b.begin(), b.begin() + 19, 0x42);
    return b;
  }());
}

TEST(DecompressPixels, LongCopyLengths) {
  const struct {
    std::uint8_t d;
    std::size_t length;
  } cases[] = {{0x00, 3}, {0xFC, 255}, {0xFD, 256}, {0xFE, 1024}, {0xFF, 4096}};
  for (const auto& c : cases) {
    const Decoded got = Decode(MakeKx(2000, 1, {0x40, 0x11, 0xC0, 0x00, c.d}, 0x03), 6000);
    EXPECT_EQ(got.produced, 1 + c.length) << "d = " << int(c.d);
    EXPECT_EQ(got.pixels[c.length], 0x11);
    EXPECT_EQ(got.pixels[c.length + 1], 0x00);
  }
}

TEST(DecompressPixels, IncompleteTokensWriteNothing) {
  // A long copy cut after its control byte, or after c; a medium copy cut
  // after its control byte.
  for (const Bytes& stream : {Bytes{0x40, 0x99, 0xC5}, Bytes{0x40, 0x99, 0xC5, 0x00}, Bytes{0x40, 0x99, 0x80}}) {
    const Decoded got = Decode(MakeKx(4, 1, stream, 0x03), 12);
    EXPECT_EQ(got.produced, 1u);
    EXPECT_EQ(got.pixels, (Bytes{0x99, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  }
  // A flag byte and nothing else.
  EXPECT_EQ(Decode(MakeKx(1, 1, {0x00}, 0x03), 3).produced, 0u);
}

TEST(DecompressPixels, StopsAtTheCapAndCutsTokens) {
  // A 4096-byte copy into a 1 x 1 picture is cut at 3 bytes, and nothing
  // after the full output is read: the trailing bytes would be literals.
  const Decoded got = Decode(MakeKx(1, 1, {0x60, 0x07, 0xC0, 0x00, 0xFF, 0x01, 0x02}, 0x03), 3);
  EXPECT_EQ(got.produced, 3u);
  EXPECT_EQ(got.pixels, (Bytes{0x07, 0x07, 0x07}));
  // A literal run longer than the room left.
  EXPECT_EQ(Pixels(1, 1, {0x80, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9}, 0x03), (Bytes{1, 2, 3}));
}

TEST(DecompressPixels, HeaderOnlyAndShortInputs) {
  Decoded got = Decode(MakeHeader(2, 2), 12);
  EXPECT_EQ(got.produced, 0u);
  EXPECT_EQ(got.pixels, Bytes(12, 0));
  // Shorter than a header: nothing decoded, no delta without a coding byte.
  got = Decode(Bytes{'K', 'X'}, 6);
  EXPECT_EQ(got.pixels, Bytes(6, 0));
  got = Decode(Bytes{}, 0);
  EXPECT_EQ(got.produced, 0u);
}

TEST(DecompressPixels, CopiesBeforeTheStartReadZero) {
  // A literal 05, then a copy of 4 bytes at distance 3: two bytes before the
  // start read as zero, then the 05 and the zero written after it.
  EXPECT_EQ(Pixels(2, 1, {0x40, 0x05, 0x0A}, 0x03), (Bytes{0x05, 0x00, 0x00, 0x05, 0x00, 0x00}));
  // A long copy at the greatest distance at the very start.
  EXPECT_EQ(Pixels(2, 1, {0x80, 0xFF, 0xFF, 0x03}, 0x03), Bytes(6, 0));
}

TEST(DecompressPixels, DeltaCarriesAcrossRowsAndLanes) {
  // 1 x 3 with every byte 1: each lane is a running sum down the column.
  EXPECT_EQ(Pixels(1, 3, {0x80, 0x03, 1, 1, 1, 1, 1, 1, 1, 1, 1}), (Bytes{1, 1, 1, 2, 2, 2, 3, 3, 3}));
  // Sums wrap modulo 256.
  EXPECT_EQ(Pixels(2, 1, {0x00, 0xF0, 0x80, 0x01, 0x20, 0x90, 0xFF}), (Bytes{0xF0, 0x80, 0x01, 0x10, 0x10, 0x00}));
  // A truncated delta-coded stream repeats the last decoded pixel.
  EXPECT_EQ(Pixels(3, 1, {0x00, 9, 8, 7}), (Bytes{9, 8, 7, 9, 8, 7, 9, 8, 7}));
}

TEST(DecompressPixels, MatchesTheReferenceOnEveryKindOfStream) {
  const std::vector<StreamCase> cases = DifferentialCases(3);
  ASSERT_GT(cases.size(), 1000u);
  for (const StreamCase& c : cases) {
    const ReferenceResult want = ReferenceDecode(c.file, c.total);
    const Decoded got = Decode(c.file, c.total);
    ASSERT_EQ(FirstDifference(want.pixels, got.pixels), "") << c.name;
    ASSERT_EQ(want.produced, got.produced) << c.name;
  }
}

}  // namespace
