// Picture loading through the entry points, as a host sees it (natively, and
// under 32-bit and 64-bit Wine against the real kxfilter.spi and kxfilter.sph).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "codec/format/little_endian.h"
#include "codec/format/stream_bound.h"
#include "tests/support/plugin_api.h"
#include "tests/support/reference_decoder.h"
#include "tools/host/host.h"
#if !defined(_WIN32)
#include "tests/doubles/standin.h"
#endif

using namespace kx;

namespace {

constexpr std::size_t kInfoBlockBytes = 1068;

std::int32_t Le32(const Bytes& b, std::size_t at) { return static_cast<std::int32_t>(LoadLe32(b.data() + at)); }

// The 23-byte picture: "KX", 0x83, 3, eight zeros, width 2, height 1, then a
// flag byte and six literals 10 20 30 01 02 03; the delta step makes the
// second pixel 11 22 33.
Bytes SmallPicture() { return MakeKx(2, 1, {0x00, 0x10, 0x20, 0x30, 0x01, 0x02, 0x03}); }
const Bytes kSmallBits = {0x10, 0x20, 0x30, 0x11, 0x22, 0x33, 0x00, 0x00};

void ExpectBitmapHeader(const HostPicture& picture, int width, int height) {
  ASSERT_EQ(picture.info.size(), kInfoBlockBytes);
  EXPECT_EQ(Le32(picture.info, 0), 40);
  EXPECT_EQ(Le32(picture.info, 4), width);
  EXPECT_EQ(Le32(picture.info, 8), height);
  EXPECT_EQ(LoadLe16(picture.info.data() + 12), 1);
  EXPECT_EQ(LoadLe16(picture.info.data() + 14), 24);
  EXPECT_EQ(Le32(picture.info, 16), 0);
  const int stride = (width * 3 + 3) / 4 * 4;
  EXPECT_EQ(Le32(picture.info, 20), stride * height) << "biSizeImage";
  for (std::size_t k = 24; k < kInfoBlockBytes; ++k) ASSERT_EQ(picture.info[k], 0) << "info byte " << k;
  EXPECT_EQ(picture.bits.size(), std::size_t(stride) * std::size_t(height));
}

TEST(GetPicture, TheSmallPictureFromMemoryAndFromAFile) {
  for (SpiUint flag : {1u, 2u, 4u, 7u, 0x11u}) {
    const HostPicture picture = FetchFromMemory(SmallPicture(), flag);
    ASSERT_EQ(picture.result, 0) << "flag " << flag;
    ExpectBitmapHeader(picture, 2, 1);
    EXPECT_EQ(picture.bits, kSmallBits);
  }
  const std::string path = WriteTempFile("small.kx", SmallPicture());
  for (SpiUint flag : {0u, 8u, 0x100u}) {
    const HostPicture picture = FetchPicture(const_cast<char*>(path.c_str()), 0, flag);
    ASSERT_EQ(picture.result, 0) << "flag " << flag;
    EXPECT_EQ(picture.bits, kSmallBits);
  }
  // Viewers that use the handles as addresses see the same bytes.
  Bytes copy = SmallPicture();
  const HostPicture direct =
      FetchPicture(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(copy.size()), 1, nullptr, 0, true);
  EXPECT_EQ(direct.bits, kSmallBits);
}

// A picture whose stream is nothing but literals, without the delta step,
// so that the bits block shows the layout alone.
Bytes LiteralPicture(int width, int height, const Bytes& raw) {
  StreamWriter w;
  for (std::uint8_t b : raw) w.Literal(b);
  return MakeKx(width, height, w.Finish(), 0x03);
}

TEST(GetPicture, RowsAreStoredBottomUpWithZeroPadding) {
  // 1 x 2: A on top, B below -> B, pad, A, pad.
  EXPECT_EQ(FetchFromMemory(LiteralPicture(1, 2, {0xA1, 0xA2, 0xA3, 0xB1, 0xB2, 0xB3})).bits,
            (Bytes{0xB1, 0xB2, 0xB3, 0, 0xA1, 0xA2, 0xA3, 0}));
  // 2 x 2 from the delta-coded example stream.
  const HostPicture two = FetchFromMemory(MakeKx(2, 2, {0x18, 0x01, 0x02, 0x03, 0x09, 0x80, 0x53}));
  EXPECT_EQ(two.bits, (Bytes{3, 6, 9, 4, 8, 12, 0, 0, 1, 2, 3, 2, 4, 6, 0, 0}));
  // Widths 4 and 5: stride 12 (no padding) and 16.
  for (int width : {4, 5}) {
    Bytes raw(std::size_t(width) * 6);
    for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<std::uint8_t>(k + 1);
    const HostPicture picture = FetchFromMemory(LiteralPicture(width, 2, raw));
    ExpectBitmapHeader(picture, width, 2);
    EXPECT_EQ(FirstDifference(ReferenceBits(LiteralPicture(width, 2, raw), width, 2), picture.bits), "");
  }
}

int g_calls = 0;
int g_numerator = 0;
int g_denominator = 0;
SpiLong g_data = 0;
int SPI_CALL Record(int numerator, int denominator, SpiLong data) {
  ++g_calls;
  g_numerator = numerator;
  g_denominator = denominator;
  g_data = data;
  return 0;
}
int SPI_CALL Stop(int numerator, int denominator, SpiLong data) {
  Record(numerator, denominator, data);
  return 1;
}

TEST(GetPicture, CallsBackOnceWhenThePictureIsComplete) {
  std::mt19937 rng(7);
  Bytes file = MakeKx(20, 20, RandomTokenStream(rng, 1200));
  const Bytes want = ReferenceBits(file, 20, 20);
  char* buf = reinterpret_cast<char*>(file.data());
  const SpiLong len = static_cast<SpiLong>(file.size());

  g_calls = 0;
  HostPicture picture = FetchPicture(buf, len, 1, Record, 0x12345678);
  EXPECT_EQ(picture.result, 0);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_numerator, 1);
  EXPECT_EQ(g_denominator, 1);
  EXPECT_EQ(g_data, 0x12345678);

  // Stopping still hands over the complete picture.
  g_calls = 0;
  picture = FetchPicture(buf, len, 1, Stop, -5);
  EXPECT_EQ(picture.result, 8);
  EXPECT_EQ(g_calls, 1);
  EXPECT_EQ(g_data, -5);
  ASSERT_TRUE(picture.handed_over);
  EXPECT_EQ(FirstDifference(want, picture.bits), "");

  // GetPictureInfo never calls back; a refused picture never gets that far.
  g_calls = 0;
  PictureInfo info{};
  EXPECT_EQ(Plugin().GetPictureInfo(buf, len, 1, &info), 0);
  EXPECT_EQ(FetchPicture(buf, 10, 1, Record, 0).result, 2);
  EXPECT_EQ(g_calls, 0);
}

// Field by field: the 64-bit record has padding, which no one writes.
bool SameFields(const PictureInfo& a, const PictureInfo& b) {
  return a.left == b.left && a.top == b.top && a.width == b.width && a.height == b.height &&
         a.x_density == b.x_density && a.y_density == b.y_density && a.colorDepth == b.colorDepth &&
         a.hInfo == b.hInfo;
}

// A header is believed when it starts with "KX" and states a width and a
// height above 0; its other bytes are reported as they stand.
TEST(GetPictureInfo, ReportsTheHeaderOfAnythingThatStartsWithTheSignature) {
  const PictureInfo marker = {7, 7, 7, 7, 7, 7, 7, reinterpret_cast<SpiHandle>(std::uintptr_t{0x70000})};
  Bytes unused_bytes_set = MakeHeader(40, 30);
  std::fill(unused_bytes_set.begin() + 4, unused_bytes_set.begin() + 12, 0xFF);
  const struct {
    const char* name;
    Bytes file;
    int result, width, height;
  } cases[] = {
      {"small picture", SmallPicture(), 0, 2, 1},
      {"largest accepted", MakeHeader(8192, 8192), 0, 8192, 8192},
      {"coding byte 0x03, larger than accepted", MakeHeader(9000, 5, 0x03), 0, 9000, 5},
      {"bytes 4 to 11 set", unused_bytes_set, 0, 40, 30},
      {"zero height", MakeHeader(3, 0), 2, 0, 0},
      {"negative width", MakeHeader(-3, 4), 2, 0, 0},
      {"lower-case signature", [] { Bytes b = MakeHeader(4, 4); b[0] = 'k'; b[1] = 'x'; return b; }(), 2, 0, 0},
      {"bitmap header", Bytes{'B', 'M', 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x10, 0x00, 0x20, 0x00}, 2, 0, 0},
      {"Windows icon", WindowsIcon16(), 2, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes copy(c.file);
    PictureInfo info = marker;
    ASSERT_EQ(Plugin().GetPictureInfo(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(copy.size()), 1,
                                      &info),
              c.result);
    PictureInfo from_file = marker;
    const std::string path = WriteTempFile("info.bin", c.file);
    ASSERT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), 0, 0, &from_file), c.result);
    EXPECT_TRUE(SameFields(info, from_file));
    if (c.result != 0) {
      EXPECT_TRUE(SameFields(info, marker)) << "a refused header left the record as it was";
      continue;
    }
    EXPECT_EQ(+info.left, 0);
    EXPECT_EQ(+info.top, 0);
    EXPECT_EQ(+info.width, c.width);
    EXPECT_EQ(+info.height, c.height);
    EXPECT_EQ(+info.x_density, 1);
    EXPECT_EQ(+info.y_density, 1);
    EXPECT_EQ(+info.colorDepth, 24);
    const SpiHandle text_info = info.hInfo;  // a packed field: copied before binding to a reference
    EXPECT_EQ(text_info, nullptr);
  }
}

// Every bad input gives its result code from both entry points, hands over
// nothing and leaves the info record untouched unless it succeeded.
TEST(EntryPoints, BadInputGivesAResultCodeAndNothingElse) {
  std::mt19937 rng(3);
  Bytes truncated = MakeKx(64, 64, RandomTokenStream(rng, 64 * 64 * 3));
  truncated.resize(truncated.size() / 2);
  Bytes prefixed(37, 'J');
  const Bytes small = SmallPicture();
  prefixed.insert(prefixed.end(), small.begin(), small.end());

  const struct {
    const char* name;
    Bytes file;          // written to a file and passed in memory
    bool missing;        // no such file
    SpiLong offset;      // file mode only
    int info_result;
    int picture_result;
  } cases[] = {
      {"missing file", {}, true, 0, 6, 6},
      {"empty file", {}, false, 0, 2, 2},
      {"10-byte file", Bytes(small.begin(), small.begin() + 10), false, 0, 2, 2},
      {"15-byte file", Bytes(small.begin(), small.begin() + 15), false, 0, 2, 2},
      {"header only", MakeHeader(3, 3), false, 0, 0, 0},
      {"offset past the end", small, false, 1000, 2, 2},
      {"offset leaving 15 bytes", small, false, 8, 2, 2},
      {"negative offset", small, false, -1, 2, 2},
      {"zero width", MakeKx(0, 5, {0x00, 1}), false, 0, 2, 2},
      {"negative height", MakeKx(5, -5, {0x00, 1}), false, 0, 2, 2},
      {"Windows icon", WindowsIcon16(), false, 0, 2, 2},
      {"no signature, sizes 1 x 1", [] { Bytes b = MakeKx(1, 1, {0x00, 1, 2, 3}); b[0] = 'X'; return b; }(), false,
       0, 2, 2},
      {"coding byte 0x03, 8193 wide", MakeKx(8193, 2, {0x00, 1}, 0x03), false, 0, 0, 0},
      {"32767 x 32767", MakeKx(32767, 32767, {0x00, 1}), false, 0, 0, 4},
      {"8192 x 32767", MakeKx(8192, 32767, {0x00, 1}), false, 0, 0, 4},
      {"truncated stream", truncated, false, 0, 0, 0},
      {"picture at offset 37", prefixed, false, 37, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.missing ? MissingFilePath() : WriteTempFile("bad.bin", c.file);
    PictureInfo info{};
    info.width = 99;
    EXPECT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), c.offset, 0, &info), c.info_result);
    if (c.info_result != 0) {
      EXPECT_EQ(+info.width, 99);
    }
    const HostPicture from_file = FetchFromFile(path, c.offset);
    EXPECT_EQ(from_file.result, c.picture_result);
    EXPECT_EQ(from_file.handed_over, c.picture_result == 0);

    if (c.missing || c.offset != 0) continue;
    // Memory mode reads only the len bytes given.
    Bytes copy(c.file);
    const int memory_info_result =
        Plugin().GetPictureInfo(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(copy.size()), 1, &info);
    EXPECT_EQ(memory_info_result, c.info_result);
    EXPECT_EQ(FetchFromMemory(c.file).result, c.picture_result);
  }
}

TEST(GetPicture, DamagedStreamsAreCompletedAsTheDecoderDefines) {
  std::mt19937 rng(11);
  const int width = 37, height = 23;
  const Bytes clean = MakeKx(width, height, RandomTokenStream(rng, std::size_t(width) * height * 3));
  const Bytes want = ReferenceBits(clean, width, height);

  // Junk after the stream changes nothing.
  Bytes junk = clean;
  for (int k = 0; k < 100; ++k) junk.push_back(static_cast<std::uint8_t>(rng()));
  EXPECT_EQ(FirstDifference(want, FetchFromMemory(junk).bits), "");

  // A memory len cut inside the stream gives the truncated picture; the same
  // file by name gives the whole one.
  const std::string path = WriteTempFile("whole.kx", clean);
  EXPECT_EQ(FirstDifference(want, FetchFromFile(path).bits), "");
  for (std::size_t cut : {std::size_t{17}, clean.size() / 3, clean.size() - 1}) {
    Bytes part(clean.begin(), clean.begin() + long(cut));
    const HostPicture picture = FetchFromMemory(part);
    EXPECT_EQ(picture.result, 0);
    EXPECT_EQ(FirstDifference(ReferenceBits(part, width, height), picture.bits), "") << "cut at " << cut;
  }

  // Random bytes under a good header.
  Bytes noise = MakeKx(width, height, RandomBytes(rng, 3000));
  EXPECT_EQ(FirstDifference(ReferenceBits(noise, width, height), FetchFromMemory(noise).bits), "");
}

TEST(GetPicture, FileModeReadsFromTheOffset) {
  std::mt19937 rng(5);
  const Bytes picture = MakeKx(9, 4, RandomTokenStream(rng, 9 * 4 * 3));
  Bytes container = RandomBytes(rng, 4096);
  container.insert(container.end(), picture.begin(), picture.end());
  const std::string path = WriteTempFile("container.bin", container);

  const HostPicture got = FetchFromFile(path, 4096);
  ASSERT_EQ(got.result, 0);
  EXPECT_EQ(FirstDifference(ReferenceBits(picture, 9, 4), got.bits), "");
  PictureInfo info{};
  ASSERT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), 4096, 0, &info), 0);
  EXPECT_EQ(+info.width, 9);
  EXPECT_EQ(+info.height, 4);
}

// Offsets at the ends of len's range: every offset that leaves no whole
// header in the file is refused with 2, including those whose distance from
// the file's size does not fit len (in a 64-bit build the most negative ones).
TEST(GetPicture, FileModeOffsetsAtTheEndsOfTheirRange) {
  const Bytes picture = SmallPicture();
  const auto file_bytes = static_cast<SpiLong>(picture.size());
  const std::string path = WriteTempFile("offsets.kx", picture);
  constexpr SpiLong kMin = std::numeric_limits<SpiLong>::min();
  constexpr SpiLong kMax = std::numeric_limits<SpiLong>::max();
  const struct {
    const char* name;
    SpiLong offset;
    int result;
  } cases[] = {
      {"the most negative", kMin, 2},
      {"one above it", kMin + 1, 2},
      {"the most negative plus the file's size", kMin + file_bytes, 2},
      {"-1", -1, 2},
      {"0", 0, 0},
      {"16 bytes before the end, no signature there", file_bytes - 16, 2},
      {"the file's size", file_bytes, 2},
      {"one past it", file_bytes + 1, 2},
      {"the most positive", kMax, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PictureInfo info{};
    info.width = 99;
    EXPECT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), c.offset, 0, &info), c.result);
    EXPECT_EQ(+info.width, c.result == 0 ? 2 : 99);
    const HostPicture got = FetchFromFile(path, c.offset);
    EXPECT_EQ(got.result, c.result);
    EXPECT_EQ(got.handed_over, c.result == 0);
    if (c.result == 0) {
      EXPECT_EQ(got.bits, kSmallBits);
    }
  }
}

// A 64-bit host passes offsets beyond 4 GiB in len: the picture there is
// found, not one at the offset's low 32 bits (which hold zeros here).
TEST(GetPicture, FileModeReadsFromOffsetsBeyond4GiB) {
  if (sizeof(SpiLong) < 8) GTEST_SKIP() << "len holds 32 bits in this build";
  std::mt19937 rng(6);
  const Bytes picture = MakeKx(9, 4, RandomTokenStream(rng, 9 * 4 * 3));
  const std::int64_t offset = (std::int64_t{5} << 30) + 123;
  const std::string path = WriteTempFile("far.bin", {});
  {
    std::ofstream out(path, std::ios::binary);
    out.seekp(static_cast<std::streamoff>(offset));
    out.write(reinterpret_cast<const char*>(picture.data()), static_cast<std::streamsize>(picture.size()));
    ASSERT_TRUE(out.good());
  }
  const HostPicture got = FetchFromFile(path, static_cast<SpiLong>(offset));
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(FirstDifference(ReferenceBits(picture, 9, 4), got.bits), "");
  PictureInfo info{};
  EXPECT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), static_cast<SpiLong>(offset), 0, &info), 0);
  EXPECT_EQ(+info.width, 9);
  ASSERT_TRUE(HostSetFileBytes(path.c_str(), 0));  // give the room back at once
}

// A picture followed by gigabytes of other data, or inside a container that
// large, costs a read of what its stream can use and no more: it loads, in
// the 32-bit module too, and gives the same pixels as the picture alone.
TEST(GetPicture, FileModeReadsNoMoreThanTheStreamCanUse) {
  std::mt19937 rng(13);
  const int width = 4, height = 4;
  const std::size_t total_bytes = width * height * 3;
  const std::size_t bound_bytes = 16 + MaxStreamBytes(total_bytes);
  // A stream that uses every byte up to the bound: 47 literals and a long
  // copy of which the picture keeps one byte.
  StreamWriter greedy;
  for (std::size_t k = 0; k + 1 < total_bytes; ++k) greedy.Literal(static_cast<std::uint8_t>(rng()));
  greedy.Long(1, 4096);
  const Bytes random_picture = MakeKx(width, height, RandomTokenStream(rng, total_bytes));
  const Bytes greedy_picture = MakeKx(width, height, greedy.Finish());
  ASSERT_EQ(greedy_picture.size(), bound_bytes);

  const std::int64_t kGiB = std::int64_t{1} << 30;
  for (const Bytes& picture : {random_picture, greedy_picture}) {
    const Bytes want = ReferenceBits(picture, width, height);
    // 4 GiB - 1: a size whose low half is all ones, GetFileSize's failure value.
    for (const std::int64_t file_bytes : {kGiB * 5 / 2, kGiB * 4 - 1, kGiB * 9 / 2}) {
      for (const SpiLong offset : {0, 777}) {
        SCOPED_TRACE("file of " + std::to_string(file_bytes) + " bytes, picture at " + std::to_string(offset));
        Bytes start = RandomBytes(rng, std::size_t(offset));
        start.insert(start.end(), picture.begin(), picture.end());
        const std::string path = WriteTempFile("followed.kx", start);
        ASSERT_TRUE(HostSetFileBytes(path.c_str(), file_bytes));
#if !defined(_WIN32)
        const std::uint64_t read_before = StandInBytesRead();
#endif
        const HostPicture got = FetchFromFile(path, offset);
        ASSERT_EQ(got.result, 0);
        EXPECT_EQ(FirstDifference(want, got.bits), "");
#if !defined(_WIN32)
        EXPECT_EQ(StandInBytesRead() - read_before, bound_bytes);
#endif
        PictureInfo info{};
        ASSERT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), offset, 0, &info), 0);
        EXPECT_EQ(+info.width, width);
        EXPECT_EQ(+info.height, height);
        ASSERT_TRUE(HostSetFileBytes(path.c_str(), 0));  // give the room back at once
      }
    }
  }
#if !defined(_WIN32)
  // A file that ends before the bound is read to its end, once.
  const std::string path = WriteTempFile("small.kx", SmallPicture());
  const std::uint64_t read_before = StandInBytesRead();
  EXPECT_EQ(FetchFromFile(path).result, 0);
  EXPECT_EQ(StandInBytesRead() - read_before, SmallPicture().size());
#endif
}

// An editor or a download that still holds the file open for writing does
// not keep the picture from loading.
TEST(GetPicture, LoadsAFileAnotherProgramHoldsOpenForWriting) {
  const std::string path = WriteTempFile("held.kx", SmallPicture());
  const std::uintptr_t writer = HostOpenFileForWriting(path.c_str());
  ASSERT_NE(writer, 0u);
  PictureInfo info{};
  EXPECT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), 0, 0, &info), 0);
  const HostPicture got = FetchFromFile(path);
  EXPECT_EQ(got.result, 0);
  EXPECT_EQ(got.bits, kSmallBits);
  HostCloseFile(writer);
}

struct ParallelWork {
  std::vector<Bytes> files;
  std::vector<Bytes> single_thread_bits;
  std::vector<Bytes> parallel_bits;   // each thread's first result
  std::vector<int> changed_rounds;    // later results that differed from it
};

TEST(GetPicture, ThreadsDecodingAtOnceGetTheSameBitmaps) {
  constexpr int kThreads = 6;
  ParallelWork work;
  std::mt19937 rng(21);
  for (int k = 0; k < kThreads; ++k) {
    const int width = 50 + 31 * k, height = 40 + 7 * k;
    work.files.push_back(MakeKx(width, height, RandomTokenStream(rng, std::size_t(width) * height * 3)));
    work.single_thread_bits.push_back(FetchFromMemory(work.files.back()).bits);
  }
  work.parallel_bits.resize(kThreads);
  work.changed_rounds.resize(kThreads);
  ASSERT_TRUE(HostRunParallel(
      kThreads,
      [](void* context, int index) {
        auto* w = static_cast<ParallelWork*>(context);
        // Rounds go on for two seconds, so that the threads overlap for long.
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        for (int round = 0; round < 3 || std::chrono::steady_clock::now() < end; ++round) {
          const auto k = std::size_t(index);
          Bytes bits = FetchFromMemory(w->files[k]).bits;
          if (round == 0) {
            w->parallel_bits[k] = bits;
          } else if (bits != w->parallel_bits[k]) {
            ++w->changed_rounds[k];
          }
        }
      },
      &work));
  for (int k = 0; k < kThreads; ++k) {
    EXPECT_EQ(FirstDifference(work.single_thread_bits[std::size_t(k)], work.parallel_bits[std::size_t(k)]), "")
        << "picture " << k;
    EXPECT_EQ(work.changed_rounds[std::size_t(k)], 0) << "picture " << k;
  }
}

}  // namespace
