// DecodeToBitmap and DecodeToRgbRows, StoreDeltaRows and StoreDeltaRgbRows
// against the straightforward path: DecompressPixels into a picture-sized
// buffer, then StoreRows or StoreRgbRows (and UndoDelta) into the rows.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/decode/delta.h"
#include "codec/decode/fast_decode.h"
#include "codec/decode/group_decode.h"
#include "codec/decode/row_writer.h"
#include "codec/decode/two_core_decode.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/reference/decompress.h"
#include "codec/reference/row_store.h"
#include "tests/support/kx_build.h"

using namespace kx;

namespace {

constexpr std::size_t kGuardBytes = 64;
constexpr std::uint8_t kGuard = 0xCD;
// Bits blocks start with this byte, not zero, so that a byte the decoder
// leaves unwritten, or a padding byte it writes, shows up as a difference.
constexpr std::uint8_t kStale = 0xAB;

// A heap buffer with guard bytes on both sides of `bytes` usable ones.
class Guarded {
 public:
  Guarded(std::size_t bytes, std::uint8_t fill) : buffer_(bytes + 2 * kGuardBytes, kGuard) {
    std::fill(buffer_.begin() + kGuardBytes, buffer_.end() - kGuardBytes, fill);
  }
  std::uint8_t* data() { return buffer_.data() + kGuardBytes; }
  std::size_t size() const { return buffer_.size() - 2 * kGuardBytes; }
  Bytes Inside() const { return Bytes(buffer_.begin() + kGuardBytes, buffer_.end() - kGuardBytes); }
  // Empty when no guard byte changed; else where the first changed one is.
  std::string Damage() const {
    for (std::size_t k = 0; k < kGuardBytes; ++k) {
      if (buffer_[k] != kGuard) return "written before the buffer at -" + std::to_string(kGuardBytes - k);
      if (buffer_[buffer_.size() - kGuardBytes + k] != kGuard)
        return "written past the buffer at +" + std::to_string(k);
    }
    return {};
  }

 private:
  Bytes buffer_;
};

PictureLayout LayoutOf(int width, int height) {
  PictureLayout layout{};
  EXPECT_EQ(PlanPicture(width, height, &layout), LayoutStatus::kOk) << width << "x" << height;
  return layout;
}

PictureLayout LayoutOf(const Bytes& file) {
  const ImageSize size = ReadImageSize(file.data());
  return LayoutOf(size.width, size.height);
}

struct BitsResult {
  Bytes bits;
  std::size_t produced;
};

// Bytes of top-down RGB rows stride_bytes apart, the last one unpadded.
std::size_t RgbBytes(const PictureLayout& layout, std::size_t stride_bytes) {
  return (static_cast<std::size_t>(layout.height) - 1) * stride_bytes + layout.row_bytes;
}

// The straightforward decode, kept raw so that it can be stored in either
// layout.
struct RawResult {
  Bytes raw;
  std::size_t produced;
};

RawResult Decompressed(const Bytes& file, const PictureLayout& layout) {
  Bytes raw(layout.total_bytes);
  const std::size_t produced = DecompressPixels(file.data(), file.size(), raw.data(), raw.size());
  return {raw, produced};
}

Bytes BitmapOf(const Bytes& raw, const PictureLayout& layout) {
  Bytes bits(layout.bits_bytes, kStale);
  StoreRows(raw.data(), bits.data(), layout.stride_bytes, layout.width, layout.height);
  return bits;
}

Bytes RgbRowsOf(const Bytes& raw, const PictureLayout& layout, std::size_t stride_bytes) {
  Bytes rgb(RgbBytes(layout, stride_bytes), kStale);
  StoreRgbRows(raw.data(), rgb.data(), stride_bytes, layout.width, layout.height);
  return rgb;
}

BitsResult Straightforward(const Bytes& file, const PictureLayout& layout) {
  const RawResult decoded = Decompressed(file, layout);
  return {BitmapOf(decoded.raw, layout), decoded.produced};
}

// Who stores the rows: the decoding thread (DecodeToBitmap, DecodeToRgbRows),
// a second thread (DecodeIntoRowsTwoCores), or a sink that keeps every piece
// handed over and stores one only when the decoder reclaims window bytes it
// lies on, or drains, as a second thread may when it falls behind: window
// bytes overwritten before they were reclaimed show in the rows.
enum class Storer { kDecoder, kSecondThread, kWhenReclaimed };

struct LazySink {
  RowWriter* rows;
  std::vector<std::pair<const std::uint8_t*, std::size_t>> pieces;  // handed over, not yet stored
};

void KeepPiece(void* context, const std::uint8_t* raw, std::size_t n) {
  static_cast<LazySink*>(context)->pieces.emplace_back(raw, n);
}

// Stores the pieces in order up to the last one that overlaps [begin, end),
// and no further.
void StoreReclaimedPieces(void* context, const std::uint8_t* begin, const std::uint8_t* end) {
  auto* sink = static_cast<LazySink*>(context);
  std::size_t wanted = 0;
  for (std::size_t k = 0; k < sink->pieces.size(); ++k) {
    const auto& [raw, n] = sink->pieces[k];
    if (raw < end && begin < raw + n) wanted = k + 1;
  }
  for (std::size_t k = 0; k < wanted; ++k) WriteRows(sink->rows, sink->pieces[k].first, sink->pieces[k].second);
  sink->pieces.erase(sink->pieces.begin(), sink->pieces.begin() + static_cast<std::ptrdiff_t>(wanted));
}

void StoreKeptPieces(void* context) {
  auto* sink = static_cast<LazySink*>(context);
  for (const auto& [raw, n] : sink->pieces) WriteRows(sink->rows, raw, n);
  sink->pieces.clear();
}

std::size_t DecodeWith(Storer storer, const Bytes& input, const PictureLayout& layout, const RowWriter& rows,
                       Guarded* window, DeltaKernel kernel) {
  if (storer == Storer::kSecondThread) {
    return DecodeIntoRowsTwoCores(input.data(), input.size(), layout.total_bytes, rows, window->data(), window->size(),
                                  kernel);
  }
  RowWriter writer = rows;
  LazySink lazy{&writer, {}};
  const PieceSink sink{&lazy, KeepPiece, StoreReclaimedPieces, StoreKeptPieces};
  return DecodeIntoRowsVia(input.data(), input.size(), layout.total_bytes, &writer, window->data(), window->size(),
                           kernel, &sink);
}

// The window starts full of junk: the decoder must not rely on its contents.
BitsResult Fast(const Bytes& file, const PictureLayout& layout, std::size_t window_bytes, DeltaKernel kernel,
                std::string* damage, Storer storer = Storer::kDecoder) {
  // An exact-size heap block: reading past it is caught by the sanitizers.
  const Bytes input(file);  // NOLINT(performance-unnecessary-copy-initialization)
  Guarded bits(layout.bits_bytes, kStale);
  Guarded window(window_bytes, static_cast<std::uint8_t>(0x5A ^ file.size()));
  const DeltaFn delta = AsksForDelta(input.data(), input.size()) ? PickDelta(kernel) : nullptr;
  const std::size_t produced =
      storer == Storer::kDecoder
          ? DecodeToBitmap(input.data(), input.size(), layout, bits.data(), window.data(), window.size(), kernel)
          : DecodeWith(storer, input, layout, StartRows(layout, bits.data(), delta), &window, kernel);
  if (!bits.Damage().empty()) *damage = "bits: " + bits.Damage();
  if (!window.Damage().empty()) *damage = "window: " + window.Damage();
  return {bits.Inside(), produced};
}

BitsResult FastRgb(const Bytes& file, const PictureLayout& layout, std::size_t stride_bytes, std::size_t window_bytes,
                   DeltaKernel kernel, std::string* damage, Storer storer = Storer::kDecoder) {
  const Bytes input(file);  // NOLINT(performance-unnecessary-copy-initialization)
  Guarded rgb(RgbBytes(layout, stride_bytes), kStale);
  Guarded window(window_bytes, static_cast<std::uint8_t>(0xA5 ^ file.size()));
  const DeltaFn store = PickRgbKernel(kernel, AsksForDelta(input.data(), input.size()));
  const std::size_t produced =
      storer == Storer::kDecoder
          ? DecodeToRgbRows(input.data(), input.size(), layout, rgb.data(), stride_bytes, window.data(), window.size(),
                            kernel)
          : DecodeWith(storer, input, layout, StartRgbRows(layout, rgb.data(), stride_bytes, store), &window, kernel);
  if (!rgb.Damage().empty()) *damage = "rgb rows: " + rgb.Damage();
  if (!window.Damage().empty()) *damage = "window: " + window.Damage();
  return {rgb.Inside(), produced};
}

struct Setup {
  std::size_t window_bytes;
  DeltaKernel kernel;
  bool rgb;                       // also decode into top-down RGB rows
  std::size_t rgb_padding_bytes;  // after each RGB row, beyond the bitmap's 4-byte rounding
  const char* name;
  Storer storer;
};

// The plug-in's window with the best kernel, and the smallest window, which
// slides most often, with each kernel (one the processor lacks falls back to
// the next one below). RGB rows are decoded as the desktop loaders do
// (the default window, the image libraries' stride rounded to 4 bytes) and
// with the window sliding most often into a stride that differs from the
// bitmap's; their kernels are each checked on their own below.
const Setup kSetups[] = {
    {kDecodeWindowBytes, DeltaKernel::kBest, true, 0, "default window", Storer::kDecoder},
    {kMinDecodeWindowBytes, DeltaKernel::kScalar, false, 0, "small window, scalar kernel", Storer::kDecoder},
    {kMinDecodeWindowBytes, DeltaKernel::kSse2, true, 5, "small window, SSE2 kernel", Storer::kDecoder},
    {kMinDecodeWindowBytes, DeltaKernel::kSsse3, false, 0, "small window, SSSE3 kernel", Storer::kDecoder},
    {kMinDecodeWindowBytes, DeltaKernel::kAvx2, true, 3, "small window, AVX2 kernel", Storer::kDecoder},
    // The rows stored on a second thread, and only when the window bytes
    // are reclaimed: both windows, both layouts.
    {kDecodeWindowBytes, DeltaKernel::kBest, true, 0, "default window, two threads", Storer::kSecondThread},
    {kMinDecodeWindowBytes, DeltaKernel::kBest, true, 5, "small window, two threads", Storer::kSecondThread},
    // More pieces between two slides than the threads' ring holds, so that
    // the decoder waits for a free slot.
    {std::size_t{2} << 20, DeltaKernel::kBest, false, 0, "2 MiB window, two threads", Storer::kSecondThread},
    {kMinDecodeWindowBytes, DeltaKernel::kBest, true, 5, "small window, stored when reclaimed", Storer::kWhenReclaimed},
    {kDecodeWindowBytes, DeltaKernel::kBest, false, 0, "default window, stored when reclaimed", Storer::kWhenReclaimed},
};

const DeltaKernel kEveryKernel[] = {DeltaKernel::kScalar, DeltaKernel::kSse2, DeltaKernel::kSsse3, DeltaKernel::kBest};

// Both layouts: the bits block, and top-down RGB rows. The setups on a
// second thread only when asked: a thread per decode makes them the slowest
// here, and they get their own selection of streams below.
::testing::AssertionResult SameAsStraightforward(const Bytes& file, bool second_thread = false) {
  const PictureLayout layout = LayoutOf(file);
  const RawResult want = Decompressed(file, layout);
  const Bytes want_bits = BitmapOf(want.raw, layout);
  for (const Setup& setup : kSetups) {
    if ((setup.storer == Storer::kSecondThread) != second_thread) continue;
    const std::size_t rgb_stride_bytes = layout.stride_bytes + setup.rgb_padding_bytes;
    std::string damage;
    const BitsResult got = Fast(file, layout, setup.window_bytes, setup.kernel, &damage, setup.storer);
    BitsResult got_rgb{{}, want.produced};
    std::string rgb_difference;
    if (setup.rgb) {
      got_rgb = FastRgb(file, layout, rgb_stride_bytes, setup.window_bytes, setup.kernel, &damage, setup.storer);
      rgb_difference = FirstDifference(RgbRowsOf(want.raw, layout, rgb_stride_bytes), got_rgb.bits);
    }
    const std::string difference = FirstDifference(want_bits, got.bits);
    if (!damage.empty() || !difference.empty() || !rgb_difference.empty() || want.produced != got.produced ||
        want.produced != got_rgb.produced) {
      return ::testing::AssertionFailure()
             << setup.name << ": " << damage << " bitmap " << difference << " rgb " << rgb_difference << "; produced "
             << got.produced << " and " << got_rgb.produced << ", expected " << want.produced;
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(DecodeToBitmap, MatchesTheStraightforwardPathOnEveryKindOfStream) {
  const std::vector<StreamCase> cases = DifferentialCases(3);
  ASSERT_GT(cases.size(), 1000u);
  for (const StreamCase& c : cases) ASSERT_TRUE(SameAsStraightforward(c.file)) << c.name;
}

TEST(DecodeToBitmap, MatchesOnStreamsThatCrossWindowsAndMargins) {
  const std::vector<StreamCase> cases = LargeStreamCases(2);
  ASSERT_GT(cases.size(), 1000u);
  for (const StreamCase& c : cases) ASSERT_TRUE(SameAsStraightforward(c.file)) << c.name;
}

TEST(DecodeToBitmap, RepeatsPatternsOfEveryShortDistance) {
  std::mt19937 rng(77);
  const unsigned lengths[] = {3, 4, 5, 15, 16, 17, 18, 31, 32, 33, 47, 255, 256, 1024, 4096};
  // Up to 33: the kernels copy in blocks of 16 and 32 bytes, which a copy
  // may take whole only from a distance of at least the block.
  for (unsigned distance = 1; distance <= 33; ++distance) {
    StreamWriter w;
    w.Run(RandomBytes(rng, 40));
    // Twelve rounds make about 70 KB, so that the first half of the stream
    // is decoded by the unchecked groups (32 KiB of picture must follow).
    for (int repeat = 0; repeat < 12; ++repeat) {
      for (const unsigned length : lengths) {
        w.Long(distance, length);
        w.Literal(static_cast<std::uint8_t>(rng()));
        if (length <= 18) w.Medium(distance, length);
        if (length <= 4 && distance <= kShortMaxDistance) w.Short(distance, length);
      }
    }
    const Bytes stream = w.Finish();
    // The whole stream on a picture that takes all of it (checked and
    // unchecked paths), and on pictures that end inside its copies.
    const std::size_t produced = w.produced_bytes();
    ASSERT_GT(produced, 2 * kMaxGroupOutputBytes);
    for (const std::size_t total : {produced, produced - 1, std::size_t{40 + 3 + 7}, std::size_t{2000}, produced / 2}) {
      const int width = static_cast<int>((total + 2) / 3);
      for (const std::uint8_t coding : {std::uint8_t{0x83}, std::uint8_t{0x03}}) {
        ASSERT_TRUE(SameAsStraightforward(MakeKx(width, 1, stream, coding)))
            << "distance " << distance << ", picture of " << total << " bytes";
      }
    }
  }
}

TEST(DecodeToBitmap, CopiesAtTheGreatestDistanceAcrossManySlides) {
  // Every copy reaches 16384 bytes back: right after each slide of the
  // window that is the first byte of the moved history. At the start it is
  // before the first output byte and reads zeros.
  std::mt19937 rng(78);
  StreamWriter w;
  const unsigned lengths[] = {4096, 1024, 256, 3, 100, 4096, 17};
  for (int k = 0; w.produced_bytes() < 1500000; ++k) {
    w.Long(16384, lengths[k % 7]);
    w.Literal(static_cast<std::uint8_t>(rng()));
    if (k % 5 == 0) w.Run(RandomBytes(rng, 9 + k % 32));
  }
  const Bytes stream = w.Finish();
  for (const std::uint8_t coding : {std::uint8_t{0x83}, std::uint8_t{0x03}}) {
    ASSERT_TRUE(SameAsStraightforward(MakeKx(1000, 500, stream, coding)));
    ASSERT_TRUE(SameAsStraightforward(MakeKx(997, 13, stream, coding)));
  }
}

// The rows stored on a second thread: streams of every kind (a sample of
// the large ones, which take longest), and slides with the history copied
// over bytes just handed to the other thread. Built with -fsanitize=thread
// (docs/library.md), the same runs look for races between the two.
TEST(DecodeIntoRowsTwoCores, MatchesTheStraightforwardPath) {
  const std::vector<StreamCase> cases = DifferentialCases(1);
  ASSERT_GT(cases.size(), 300u);
  for (const StreamCase& c : cases) ASSERT_TRUE(SameAsStraightforward(c.file, true)) << c.name;
  const std::vector<StreamCase> large = LargeStreamCases(1);
  for (std::size_t k = 0; k < large.size(); k += 16) {
    ASSERT_TRUE(SameAsStraightforward(large[k].file, true)) << large[k].name;
  }
  std::mt19937 rng(79);
  StreamWriter w;
  for (int k = 0; w.produced_bytes() < 1500000; ++k) {
    w.Long(16384 - static_cast<unsigned>(k % 3), 4096);
    w.Run(RandomBytes(rng, 9 + k % 32));
  }
  const Bytes stream = w.Finish();
  ASSERT_TRUE(SameAsStraightforward(MakeKx(1000, 500, stream, 0x83), true));
  ASSERT_TRUE(SameAsStraightforward(MakeKx(999, 499, stream, 0x03), true));
}

// Copy tokens (at `distance`) that produce exactly `bytes` (>= 3), in a
// whole number of groups so that the tokens after them start a group.
void CopiesInWholeGroups(StreamWriter* w, std::size_t bytes, unsigned distance) {
  std::vector<unsigned> lengths;
  for (const unsigned piece : {4096u, 1024u, 256u}) {
    while (bytes >= piece + 3 || bytes == piece) {
      lengths.push_back(piece);
      bytes -= piece;
    }
  }
  if (bytes > 0) lengths.push_back(static_cast<unsigned>(bytes));
  // Splitting a copy in two keeps the output and adds a token.
  while (lengths.size() % 8 != 0) {
    auto it = std::find_if(lengths.begin(), lengths.end(), [](unsigned n) { return n >= 6 && n <= 256; });
    if (it != lengths.end()) {
      *it -= 3;
      lengths.push_back(3);
    } else {
      it = std::find_if(lengths.begin(), lengths.end(), [](unsigned n) { return n == 1024 || n == 4096; });
      ASSERT_NE(it, lengths.end());
      const unsigned quarter = *it / 4;
      *it = quarter;
      lengths.insert(lengths.end(), 3, quarter);
    }
  }
  for (const unsigned length : lengths) w->Long(distance, length);
}

TEST(DecodeToBitmap, LongestGroupsAtTheEndOfTheWindow) {
  // The window holds kMaxDistance bytes of history before the output. A
  // group of eight 4096-byte copies then starts at every offset over the
  // last 128 bytes before the window's end minus that group's output, where
  // the unchecked path must stop and slide rather than run past the window.
  // The stream ends in 200 more such copies, decoded token by token in the
  // checked path, which must slide before a 4096-byte copy too. Copies at
  // distance 3 write up to 15 bytes past their end, those at distance 40 up
  // to 31 (whole 32-byte blocks), which can reach the window's end only from
  // a group that ends within the 48 bytes of margin.
  std::mt19937 rng(82);
  const std::size_t group_bytes = std::size_t{8} * 4096;
  const std::size_t window_bytes = kMinDecodeWindowBytes;
  for (const unsigned distance : {3u, 40u}) {
    for (std::size_t before = 0; before <= (distance == 3 ? 128 : kWildBytes); ++before) {
      StreamWriter w;
      for (int k = 0; k < 40; ++k) w.Literal(static_cast<std::uint8_t>(rng()));
      CopiesInWholeGroups(&w, window_bytes - kMaxDistance - group_bytes - before - 40, distance);
      for (int k = 0; k < 208; ++k) w.Long(distance, 4096);
      const Bytes stream = w.Finish();
      ASSERT_TRUE(SameAsStraightforward(MakeKx(1000, 300, stream, before % 2 == 0 ? 0x83 : 0x03)))
          << before << " bytes before the limit, distance " << distance;
    }
  }
}

TEST(DecodeToBitmap, PicturesThatEndAroundTheLastUncheckedGroup) {
  // Groups of eight 4096-byte copies after small groups: the picture ends
  // at every row from 66 bytes before to 66 after the point where a group of
  // copies still fits, so that the unchecked path either runs it whole or
  // leaves it to the checked one, which cuts it. The copies come right after
  // one group of literals (the first group of an unchecked run), and after
  // 416 groups of 24 bytes (in the middle of a run).
  std::mt19937 rng(83);
  for (const int small_groups : {0, 416}) {
    StreamWriter w;
    for (int k = 0; k < 8; ++k) w.Literal(static_cast<std::uint8_t>(rng()));
    for (int k = 0; k < 8 * small_groups; ++k) w.Long(3, 3);
    const std::size_t before = w.produced_bytes();
    for (int k = 0; k < 64; ++k) w.Long(3, 4096);
    // Enough input after the copies for the unchecked path to reach them.
    for (int k = 0; k < 30; ++k) w.Run(RandomBytes(rng, 40));
    const Bytes stream = w.Finish();
    for (const std::size_t groups : {1, 2}) {
      const int fits_rows = static_cast<int>((before + groups * 8 * 4096) / 3);  // width 1: 3 bytes a row
      for (int height = fits_rows - 22; height <= fits_rows + 22; ++height) {
        ASSERT_TRUE(SameAsStraightforward(MakeKx(1, height, stream, height % 2 == 0 ? 0x83 : 0x03)))
            << height << " rows, after " << small_groups << " small groups";
      }
    }
  }
}

// A KX file whose picture has `total` bytes, or a few less: as few rows as
// the 16-bit width allows.
Bytes KxOfAbout(std::size_t total, const Bytes& stream, std::uint8_t coding = 0x83) {
  const std::size_t pixels = total / 3;
  const std::size_t height = pixels / 32767 + 1;
  return MakeKx(static_cast<int>(pixels / height), static_cast<int>(height), stream, coding);
}

TEST(DecodeToBitmap, GroupsOfEveryFlagByteAndTokenForm) {
  // Each flag byte's group, with each control token in each form, decoded
  // by the unchecked group kernels: the picture ends once 32 KiB after the
  // start of each group (give or take a few bytes), so that every group is
  // in turn one of the last the unchecked path runs before the checked one
  // takes over, and once at the end of the stream.
  std::mt19937 rng(85);
  for (unsigned variant = 0; variant < 4; ++variant) {
    const FlagStream s = EveryFlagStream(rng, variant);
    ASSERT_TRUE(SameAsStraightforward(KxOfAbout(s.produced_bytes, s.stream))) << "variant " << variant;
    for (unsigned flag = 0; flag < 256; ++flag) {
      const std::size_t end = s.group_output[flag] + std::size_t{32} * 1024 + flag % 7;
      ASSERT_TRUE(SameAsStraightforward(KxOfAbout(end, s.stream, flag % 2 ? 0x83 : 0x03)))
          << "flag " << flag << ", variant " << variant;
    }
  }
}

TEST(DecodeToBitmap, GroupsOfEveryFlagByteCutAtEveryByte) {
  // Each flag byte's group after one group of literals, the input cut at
  // every byte of the group, and the picture ending at every byte of its
  // output (its first 64 bytes and its last): the checked path's stop
  // rules on every group shape. One window, the decoder's own checks only,
  // so a reused window (which keeps what the last decode left) is enough.
  std::mt19937 rng(86);
  Bytes window(kMinDecodeWindowBytes);
  for (unsigned flag = 0; flag < 256; ++flag) {
    for (unsigned variant = 0; variant < 4; ++variant) {
      StreamWriter w;
      for (int k = 0; k < 8; ++k) w.Literal(static_cast<std::uint8_t>(rng()));
      FlagGroup(&w, rng, flag, variant);
      const Bytes stream = w.Finish();
      const std::size_t produced = w.produced_bytes();
      auto check = [&](std::size_t cut, std::size_t pixels) {
        const Bytes file =
            MakeKx(static_cast<int>(pixels), 1, Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)));
        const PictureLayout layout = LayoutOf(file);
        const BitsResult want = Straightforward(file, layout);
        Bytes bits(layout.bits_bytes, kStale);
        const std::size_t got =
            DecodeToBitmap(file.data(), file.size(), layout, bits.data(), window.data(), window.size());
        if (want.bits == bits && got == want.produced) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << "flag " << flag << ", variant " << variant << ", cut at " << cut << ", picture of " << pixels
               << " pixels: " << FirstDifference(want.bits, bits) << "; produced " << got << ", expected "
               << want.produced;
      };
      for (std::size_t cut = 10; cut <= stream.size(); ++cut) ASSERT_TRUE(check(cut, produced / 3 + 1));
      // Pictures of 3 to 3 x 32 pixels cover the first 24 or so bytes of the
      // group's output at every byte and its last 24 bytes; in between a
      // step of 31 pixels.
      for (std::size_t pixels = 3; pixels <= produced / 3 + 1;
           pixels += pixels < 12 || pixels + 8 > produced / 3 ? 1 : 31) {
        ASSERT_TRUE(check(stream.size(), pixels));
      }
    }
  }
}

TEST(DecodeToBitmap, WideAndOddPictures) {
  std::mt19937 rng(79);
  const int widths[] = {1, 2, 3, 5, 6, 7, 13, 255, 1001, 8191, 8192};
  const int heights[] = {1, 2, 3, 5, 9};
  for (const int width : widths) {
    for (const int height : heights) {
      const std::size_t total = std::size_t(width) * height * 3;
      const std::string name = std::to_string(width) + "x" + std::to_string(height);
      const Bytes streams[] = {RandomTokenStream(rng, total), LongCopyTokenStream(rng, total),
                               RandomBytes(rng, total / 2 + 1)};
      for (const Bytes& stream : streams) {
        ASSERT_TRUE(SameAsStraightforward(MakeKx(width, height, stream, 0x83))) << name;
        ASSERT_TRUE(SameAsStraightforward(MakeKx(width, height, stream, 0x03))) << name;
        // Cut in the middle: the rest of the picture is filled in.
        const Bytes half(stream.begin(), stream.begin() + static_cast<long>(stream.size() / 2));
        ASSERT_TRUE(SameAsStraightforward(MakeKx(width, height, half, 0x83))) << name << " cut";
      }
    }
  }
}

TEST(DecodeToBitmap, InputsWithoutAStream) {
  // Header only; shorter than a header, with and without a coding byte that
  // asks for the delta step.
  const Bytes header = MakeHeader(7, 3);
  ASSERT_TRUE(SameAsStraightforward(header));
  for (std::size_t length = 0; length < kHeaderBytes; ++length) {
    const Bytes file(header.begin(), header.begin() + static_cast<long>(length));
    const PictureLayout layout = LayoutOf(7, 3);
    const BitsResult want = Straightforward(file, layout);
    std::string damage;
    const BitsResult got = Fast(file, layout, kMinDecodeWindowBytes, DeltaKernel::kBest, &damage);
    EXPECT_EQ(damage, "");
    EXPECT_EQ(FirstDifference(want.bits, got.bits), "") << length << " bytes";
    EXPECT_EQ(got.produced, 0u);
  }
}

TEST(DecodeToBitmap, RefusesAWindowBelowTheMinimumOrARowStrideBelowARow) {
  std::mt19937 rng(80);
  const Bytes file = MakeKx(40, 40, RandomTokenStream(rng, 4800));
  const PictureLayout layout = LayoutOf(file);
  Guarded bits(layout.bits_bytes, kStale);
  Guarded small_window(kMinDecodeWindowBytes - 1, 0x11);
  Guarded window(kMinDecodeWindowBytes, 0x11);
  EXPECT_EQ(DecodeToBitmap(file.data(), file.size(), layout, bits.data(), small_window.data(), small_window.size()),
            0u);
  EXPECT_EQ(DecodeToRgbRows(file.data(), file.size(), layout, bits.data(), layout.stride_bytes, small_window.data(),
                            small_window.size()),
            0u);
  EXPECT_EQ(DecodeToRgbRows(file.data(), file.size(), layout, bits.data(), layout.row_bytes - 1, window.data(),
                            window.size()),
            0u);
  EXPECT_EQ(bits.Inside(), Bytes(layout.bits_bytes, kStale));
  EXPECT_EQ(small_window.Inside(), Bytes(small_window.size(), 0x11));
  EXPECT_EQ(window.Inside(), Bytes(window.size(), 0x11));
  EXPECT_EQ(bits.Damage(), "");
  EXPECT_EQ(small_window.Damage(), "");
  EXPECT_EQ(window.Damage(), "");
}

TEST(StoreDeltaRows, MatchesUndoDeltaThenStoreRows) {
  std::mt19937 rng(81);
  const int widths[] = {1, 2, 3, 4, 5, 6, 7, 8, 11, 16, 17, 21, 32, 33, 100, 1365, 8192};
  for (const int width : widths) {
    for (const int height : {1, 2, 3, 7}) {
      const PictureLayout layout = LayoutOf(width, height);
      // Offsets move the raw bytes and the bits block off any alignment.
      for (const std::size_t offset : {0, 1, 3, 7}) {
        const Bytes raw = RandomBytes(rng, layout.total_bytes + offset);
        for (const bool undo_delta : {true, false}) {
          Bytes summed(raw.begin() + static_cast<long>(offset), raw.end());
          if (undo_delta) UndoDelta(summed.data(), summed.size());
          // The bytes before the offset must stay as they were too.
          Bytes want(layout.bits_bytes + offset, kStale);
          StoreRows(summed.data(), want.data() + offset, layout.stride_bytes, width, height);
          for (const DeltaKernel kernel : kEveryKernel) {
            Guarded bits(layout.bits_bytes + offset, kStale);
            StoreDeltaRows(raw.data() + offset, bits.data() + offset, layout, undo_delta, kernel);
            ASSERT_EQ(FirstDifference(want, bits.Inside()), "")
                << width << "x" << height << " offset " << offset << " delta " << undo_delta << " kernel "
                << static_cast<int>(kernel);
            ASSERT_EQ(bits.Damage(), "");
          }
        }
      }
    }
  }
}

TEST(StoreDeltaRgbRows, MatchesUndoDeltaThenStoreRgbRows) {
  // Rows of 1 to 34 pixels take every count of whole 16-pixel blocks and
  // every remainder; offsets move raw bytes and rows off any alignment, and
  // strides leave padding that must stay untouched.
  std::mt19937 rng(85);
  for (int width = 1; width <= 34; ++width) {
    for (const int height : {1, 3}) {
      const PictureLayout layout = LayoutOf(width, height);
      for (const std::size_t offset : {0, 1, 7}) {
        const std::size_t stride_bytes = layout.row_bytes + offset % 4;
        const Bytes raw = RandomBytes(rng, layout.total_bytes + offset);
        for (const bool undo_delta : {true, false}) {
          Bytes summed(raw.begin() + static_cast<long>(offset), raw.end());
          if (undo_delta) UndoDelta(summed.data(), summed.size());
          Bytes want(offset, kStale);
          const Bytes rows = RgbRowsOf(summed, layout, stride_bytes);
          want.insert(want.end(), rows.begin(), rows.end());
          for (const DeltaKernel kernel : kEveryKernel) {
            Guarded rgb(RgbBytes(layout, stride_bytes) + offset, kStale);
            StoreDeltaRgbRows(raw.data() + offset, rgb.data() + offset, stride_bytes, layout, undo_delta, kernel);
            ASSERT_EQ(FirstDifference(want, rgb.Inside()), "")
                << width << "x" << height << " offset " << offset << " delta " << undo_delta << " kernel "
                << static_cast<int>(kernel);
            ASSERT_EQ(rgb.Damage(), "");
          }
        }
      }
    }
  }
}

TEST(StoreDeltaRows, LargeBitmapsMatchToo) {
  // Bitmaps over 4 MiB are written with streaming stores, which need
  // aligned addresses: odd widths and offsets give every misalignment.
  std::mt19937 rng(84);
  for (const int width : {1365, 1366, 1367}) {
    const int height = 1100;
    const PictureLayout layout = LayoutOf(width, height);
    ASSERT_GT(layout.bits_bytes, std::size_t{4} << 20);
    for (const std::size_t offset : {0, 5}) {
      const Bytes raw = RandomBytes(rng, layout.total_bytes + offset);
      Bytes summed(raw.begin() + static_cast<long>(offset), raw.end());
      UndoDelta(summed.data(), summed.size());
      Bytes want(layout.bits_bytes + offset, kStale);
      StoreRows(summed.data(), want.data() + offset, layout.stride_bytes, width, height);
      for (const DeltaKernel kernel : kEveryKernel) {
        Guarded bits(layout.bits_bytes + offset, kStale);
        StoreDeltaRows(raw.data() + offset, bits.data() + offset, layout, true, kernel);
        ASSERT_EQ(FirstDifference(want, bits.Inside()), "") << width << " offset " << offset;
        ASSERT_EQ(bits.Damage(), "");
      }
    }
  }
}

}  // namespace
