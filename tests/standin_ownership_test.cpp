// Ownership and failure paths, natively, where the portable stand-in counts
// open files and live blocks and can make allocations, locks and reads fail.
#include <gtest/gtest.h>

#include <random>

#include "tests/doubles/standin.h"
#include "tests/support/plugin_api.h"
#include "tests/support/reference_decoder.h"
#include "tools/host/host.h"

namespace {

class Ownership : public ::testing::Test {
 protected:
  void SetUp() override {
    StandInResetFaults();
    files_before_ = StandInOpenFiles();
    blocks_before_ = StandInLiveBlocks();
  }
  void TearDown() override {
    StandInResetFaults();
    EXPECT_EQ(StandInOpenFiles(), files_before_) << "a file was left open";
    EXPECT_EQ(StandInLiveBlocks(), blocks_before_) << "a block was leaked";
  }
  int files_before_ = 0;
  int blocks_before_ = 0;
};

TEST_F(Ownership, EveryPathClosesItsFilesAndFreesWhatItKeeps) {
  std::mt19937 rng(1);
  const Bytes good = MakeKx(30, 20, RandomTokenStream(rng, 1800));
  const std::string good_path = WriteTempFile("good.kx", good);
  const std::string short_path = WriteTempFile("short.kx", Bytes(good.begin(), good.begin() + 9));
  const std::string huge_path = WriteTempFile("huge.kx", MakeKx(32767, 32767, {0}));
  for (const std::string& path : {good_path, short_path, huge_path, MissingFilePath()}) {
    PictureInfo info{};
    Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), 0, 0, &info);
    FetchFromFile(path);  // frees whatever it is handed
    EXPECT_EQ(StandInOpenFiles(), files_before_) << path;
    EXPECT_EQ(StandInLiveBlocks(), blocks_before_) << path;
  }
  const std::uintptr_t file = HostOpenFile(good_path.c_str());
  EXPECT_EQ(Plugin().IsSupported(nullptr, file), 1);
  EXPECT_EQ(StandInLiveBlocks(), blocks_before_) << "IsSupported's head buffer";
  HostCloseFile(file);
}

// Each allocation and each lock GetPicture makes, made to fail in turn: the
// result is 4, the host's slots stay untouched and nothing leaks.
TEST_F(Ownership, AnyFailedAllocationOrLockGivesFourAndHandsOverNothing) {
  std::mt19937 rng(2);
  const Bytes file = MakeKx(40, 10, RandomTokenStream(rng, 1200));
  const std::string path = WriteTempFile("fail.kx", file);
  const Bytes want = ReferenceBits(file, 40, 10);
  for (bool from_file : {false, true}) {
    int failures_seen = 0;
    for (int skip = 0; skip < 16; ++skip) {
      for (bool lock : {false, true}) {
        SCOPED_TRACE(std::string(from_file ? "file" : "memory") + (lock ? " lock " : " alloc ") +
                     std::to_string(skip));
        if (lock) {
          StandInFailLocksAfter(skip);
        } else {
          StandInFailAllocationsAfter(skip);
        }
        const HostPicture got = from_file ? FetchFromFile(path) : FetchFromMemory(file);
        StandInResetFaults();
        if (got.result == 4) {
          ++failures_seen;
          EXPECT_FALSE(got.handed_over);
        } else {
          ASSERT_EQ(got.result, 0);
          EXPECT_EQ(FirstDifference(want, got.bits), "");
        }
        EXPECT_EQ(StandInLiveBlocks(), blocks_before_);
        EXPECT_EQ(StandInOpenFiles(), files_before_);
      }
    }
    EXPECT_GE(failures_seen, 3) << "every allocation should have been made to fail once";
  }
  // GetPictureInfo's head buffer, and IsSupported's.
  StandInFailAllocationsAfter(0);
  PictureInfo info{};
  EXPECT_EQ(Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), 0, 0, &info), 4);
  const std::uintptr_t handle = HostOpenFile(path.c_str());
  EXPECT_EQ(Plugin().IsSupported(nullptr, handle), 0);
  HostCloseFile(handle);
}

// GetPicture reads the header, then the stream: a short read of either
// decodes only the bytes it brought.
TEST_F(Ownership, ShortReadsDecodeOnlyTheBytesRead) {
  std::mt19937 rng(4);
  const Bytes file = MakeKx(16, 16, RandomTokenStream(rng, 768));
  const std::string path = WriteTempFile("shortread.kx", file);
  for (std::uint32_t limit : {1u, 15u, 16u, 100u, 400u}) {
    SCOPED_TRACE(limit);
    StandInLimitReads(limit);
    const HostPicture got = FetchFromFile(path);
    PictureInfo info{};
    const int info_result = Plugin().GetPictureInfo(const_cast<char*>(path.c_str()), 0, 0, &info);
    StandInResetFaults();
    if (limit < 16) {
      EXPECT_EQ(got.result, 2);
      EXPECT_EQ(info_result, 2);
    } else {
      ASSERT_EQ(got.result, 0);
      EXPECT_EQ(info_result, 0);
      const std::size_t read_bytes = std::min<std::size_t>(16 + limit, file.size());
      EXPECT_EQ(FirstDifference(ReferenceBits(Bytes(file.begin(), file.begin() + read_bytes), 16, 16), got.bits), "");
    }
  }
}

// Besides the input and the bitmap it hands over, a picture costs a small
// fixed amount, whatever its size: no picture-sized scratch buffer.
TEST_F(Ownership, APictureCostsItsBitmapAndASmallFixedAmount) {
  constexpr std::uint64_t kFixedAllowanceBytes = std::uint64_t{1} << 20;
  for (const int size : {16, 700, 2500}) {
    SCOPED_TRACE(size);
    std::mt19937 rng(static_cast<unsigned>(size));
    const Bytes file = MakeKx(size, size, RandomTokenStream(rng, std::size_t(size) * size * 3));
    const std::uint64_t bits_bytes = std::uint64_t((size * 3 + 3) / 4 * 4) * std::uint64_t(size);
    const std::string path = WriteTempFile("peak.kx", file);
    for (bool from_file : {false, true}) {
      StandInResetPeakBlockBytes();
      const std::uint64_t live_before = StandInPeakBlockBytes();  // right after a reset: what is live
      const HostPicture got = from_file ? FetchFromFile(path) : FetchFromMemory(file);
      ASSERT_EQ(got.result, 0);
      const std::uint64_t input_bytes = from_file ? file.size() : 0;
      EXPECT_LE(StandInPeakBlockBytes() - live_before, input_bytes + bits_bytes + kFixedAllowanceBytes);
    }
  }
}

// Large bitmaps are faulted in by a second thread while the decoder fills
// them: the picture is the same with it, without it (no thread could be
// started), and the thread has ended when GetPicture returns, whatever the
// callback says. Pictures below the size start no thread. (4 MiB here
// instead of the stand-in's 32 MiB, to keep the test quick.)
TEST_F(Ownership, PrefaultThreadsEndBeforeGetPictureReturns) {
  std::mt19937 rng(5);
  StandInSetPrefaultMinBytes(std::size_t{4} << 20);
  const Bytes large = MakeKx(1400, 1100, LongCopyTokenStream(rng, std::size_t{1400} * 1100 * 3));
  const Bytes small = MakeKx(300, 200, RandomTokenStream(rng, std::size_t{300} * 200 * 3));
  const Bytes want = ReferenceBits(large, 1400, 1100);
  auto cancel = [](int, int, SpiLong) -> int { return 1; };
  for (const bool fail : {false, true}) {
    for (const bool cancelled : {false, true}) {
      SCOPED_TRACE(std::string(fail ? "no thread" : "thread") + (cancelled ? ", cancelled" : ""));
      StandInFailPrefaults(fail);
      const int started_before = StandInPrefaultsStarted();
      const HostPicture got = FetchPicture(reinterpret_cast<char*>(const_cast<std::uint8_t*>(large.data())),
                                           static_cast<SpiLong>(large.size()), 1, cancelled ? +cancel : nullptr);
      EXPECT_EQ(got.result, cancelled ? 8 : 0);
      EXPECT_EQ(FirstDifference(want, got.bits), "");
      EXPECT_EQ(StandInPrefaultsStarted() - started_before, fail ? 0 : 1);
      EXPECT_EQ(StandInLivePrefaults(), 0);
    }
  }
  StandInFailPrefaults(false);
  const int started_before = StandInPrefaultsStarted();
  EXPECT_EQ(FetchFromMemory(small).result, 0);
  EXPECT_EQ(StandInPrefaultsStarted(), started_before);
}

TEST_F(Ownership, NullSlotsAndRecordsAreRefused) {
  Bytes file = MakeKx(2, 1, {0x00, 1, 2, 3, 4, 5, 6});
  SpiHandle slot = nullptr;
  EXPECT_EQ(Plugin().GetPicture(reinterpret_cast<char*>(file.data()), 23, 1, nullptr, &slot, nullptr, 0), 8);
  EXPECT_EQ(Plugin().GetPicture(reinterpret_cast<char*>(file.data()), 23, 1, &slot, nullptr, nullptr, 0), 8);
  EXPECT_EQ(slot, nullptr);
  EXPECT_EQ(Plugin().GetPictureInfo(reinterpret_cast<char*>(file.data()), 23, 1, nullptr), 8);
  EXPECT_EQ(FetchPicture(nullptr, 23, 1).result, 2);
  EXPECT_EQ(FetchPicture(nullptr, 0, 0).result, 6);
}

}  // namespace
