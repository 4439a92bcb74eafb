// MaxStreamBytes: the most a stream can make the decoder read. Input cut
// there decodes exactly as the whole input does, with either decoder, and
// the streams that read the most need every byte of it.
#include "codec/format/stream_bound.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "codec/decode/fast_decode.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/reference/decompress.h"
#include "tests/support/kx_build.h"

using namespace kx;

namespace {

// The most stream bytes any sequence of tokens reads before total_bytes are
// written, by exhaustive search over every token form and length: a literal
// run reads only the bytes it writes, a copy reads all its bytes however
// much of it the end of the picture cuts, and each group of eight tokens
// starts with a flag byte. most[i][k]: from output position i, with k tokens
// of the current group done.
std::size_t MostAnyStreamReads(std::size_t total_bytes) {
  std::vector<std::vector<std::size_t>> most(total_bytes + 1, std::vector<std::size_t>(8, 0));
  for (std::size_t i = total_bytes; i-- > 0;) {
    const std::size_t left = total_bytes - i;
    // (bytes read, bytes written) of every token that can start at i.
    std::vector<std::pair<std::size_t, std::size_t>> tokens = {{1, 1}};
    for (std::size_t n = 9; n <= 40; ++n) tokens.push_back({1 + std::min(n, left), std::min(n, left)});
    for (std::size_t n = 2; n <= 4; ++n) tokens.push_back({1, std::min(n, left)});
    for (std::size_t n = 3; n <= 18; ++n) tokens.push_back({2, std::min(n, left)});
    for (std::size_t n = 3; n <= 256; ++n) tokens.push_back({3, std::min(n, left)});
    tokens.push_back({3, std::min<std::size_t>(1024, left)});
    tokens.push_back({3, std::min<std::size_t>(4096, left)});
    for (std::size_t k = 0; k < 8; ++k) {
      for (const auto& [read, written] : tokens) {
        const std::size_t flag = k == 0 ? 1 : 0;
        most[i][k] = std::max(most[i][k], flag + read + most[i + written][(k + 1) % 8]);
      }
    }
  }
  return most[0][0];
}

TEST(MaxStreamBytes, IsTheMostAnyTokenSequenceReads) {
  EXPECT_EQ(MaxStreamBytes(0), 0u);
  std::vector<std::size_t> totals = {100, 255, 256, 257, 1000, 4097};
  for (std::size_t total = 1; total <= 64; ++total) totals.push_back(total);
  for (const std::size_t total : totals) {
    ASSERT_EQ(MaxStreamBytes(total), MostAnyStreamReads(total)) << "total " << total;
  }
}

// The streams that read the most: total - 1 bytes of literals, or of runs of
// 9 and literals, then a long copy of which the picture keeps one byte.
Bytes GreediestStream(std::size_t total_bytes, bool runs) {
  StreamWriter w;
  std::size_t left = total_bytes - 1;
  for (; runs && left >= 9; left -= 9) w.Run(Bytes(9, static_cast<std::uint8_t>(left)));
  for (; left > 0; --left) w.Literal(static_cast<std::uint8_t>(left * 7));
  w.Long(1, 4096);
  return w.Finish();
}

struct Decoded {
  Bytes raw;
  std::size_t produced;
  Bytes bits;
};

// Both decoders over the first src_bytes of `file`, each from an exact-size
// copy so that a read past src_bytes is caught by the sanitizers.
Decoded DecodeBoth(const Bytes& file, std::size_t src_bytes, const PictureLayout& layout) {
  const Bytes input(file.begin(), file.begin() + long(src_bytes));
  Decoded d;
  d.raw.resize(layout.total_bytes);
  d.produced = DecompressPixels(input.data(), input.size(), d.raw.data(), d.raw.size());
  d.bits.assign(layout.bits_bytes, 0);
  Bytes window(kMinDecodeWindowBytes);
  DecodeToBitmap(input.data(), input.size(), layout, d.bits.data(), window.data(), window.size());
  return d;
}

TEST(MaxStreamBytes, TheGreediestStreamsNeedEveryByteAndNoMore) {
  std::mt19937 rng(9);
  const int sizes[][2] = {{1, 1}, {2, 1}, {3, 1}, {1, 3}, {7, 10}, {64, 67}, {333, 129}};
  for (const auto& size : sizes) {
    PictureLayout layout{};
    ASSERT_EQ(PlanPicture(size[0], size[1], &layout), LayoutStatus::kOk);
    for (bool runs : {false, true}) {
      SCOPED_TRACE(std::to_string(size[0]) + "x" + std::to_string(size[1]) + (runs ? " runs" : " literals"));
      Bytes file = MakeKx(size[0], size[1], GreediestStream(layout.total_bytes, runs));
      const std::size_t bound_bytes = kHeaderBytes + MaxStreamBytes(layout.total_bytes);
      ASSERT_EQ(file.size(), bound_bytes);
      const Decoded exact = DecodeBoth(file, bound_bytes, layout);
      EXPECT_EQ(exact.produced, layout.total_bytes);
      // One byte less loses the copy, and with it the picture's last byte.
      EXPECT_EQ(DecodeBoth(file, bound_bytes - 1, layout).produced, layout.total_bytes - 1);
      // Any bytes after the bound change nothing.
      const Bytes tail = RandomBytes(rng, 100);
      file.insert(file.end(), tail.begin(), tail.end());
      const Decoded longer = DecodeBoth(file, file.size(), layout);
      EXPECT_EQ(FirstDifference(exact.raw, longer.raw), "");
      EXPECT_EQ(FirstDifference(exact.bits, longer.bits), "");
    }
  }
}

// Every kind of stream, cut at the bound, decodes as the whole input does.
TEST(MaxStreamBytes, InputCutAtTheBoundDecodesAsTheWholeInput) {
  int cut = 0;
  for (const StreamCase& c : DifferentialCases(2)) {
    SCOPED_TRACE(c.name);
    const ImageSize size = ReadImageSize(c.file.data());
    PictureLayout layout{};
    if (PlanPicture(size.width, size.height, &layout) != LayoutStatus::kOk) continue;
    const std::size_t bound_bytes = kHeaderBytes + MaxStreamBytes(layout.total_bytes);
    if (c.file.size() <= bound_bytes) continue;
    ++cut;
    const Decoded whole = DecodeBoth(c.file, c.file.size(), layout);
    const Decoded bounded = DecodeBoth(c.file, bound_bytes, layout);
    EXPECT_EQ(whole.produced, bounded.produced);
    EXPECT_EQ(FirstDifference(whole.raw, bounded.raw), "");
    EXPECT_EQ(FirstDifference(whole.bits, bounded.bits), "");
  }
  EXPECT_GE(cut, 20) << "too few inputs reach past the bound to test it";
}

}  // namespace
