// The public library (kx.h) as its callers see it: every layout and stride
// against the reference decoder on streams of every kind, damaged ones
// included; probing against the header rules; encoding against the writer
// it wraps; and every refused argument leaving the caller's memory as it was.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "kx.h"
#include "tests/support/kx_build.h"
#include "tests/support/reference_decoder.h"
#include "writer/encode.h"

namespace {

constexpr std::uint8_t kStale = 0xAB;  // bytes the decoder must not write show up as this

struct Side {
  int width;
  int height;
};

Side SidesOf(const Bytes& file) {
  return {static_cast<std::int16_t>(file[12] | file[13] << 8), static_cast<std::int16_t>(file[14] | file[15] << 8)};
}

constexpr int kLayouts[] = {KX_LAYOUT_BGR_BOTTOM_UP, KX_LAYOUT_BGR, KX_LAYOUT_RGB, KX_LAYOUT_RGBA, KX_LAYOUT_BGRA};

Bytes Expected(const Bytes& raw, Side side, int layout, std::size_t stride_bytes) {
  return ReferenceRows(raw, side.width, side.height, layout, stride_bytes, kStale);
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

std::vector<StreamCase> AllCases() {
  std::vector<StreamCase> cases = DifferentialCases(1);
  const std::vector<StreamCase> large = LargeStreamCases(1);
  cases.insert(cases.end(), large.begin(), large.end());
  for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(KX_TEST_DATA_DIR) / "decode")) {
    if (entry.path().extension() != ".kx") continue;
    const Bytes file = ReadFile(entry.path());
    const Side side = SidesOf(file);
    cases.push_back({entry.path().filename().string(), file, std::size_t{3} * side.width * side.height});
  }
  return cases;
}

TEST(Library, EveryLayoutAndStrideMatchesTheReference) {
  std::vector<std::uint8_t> window(KX_MIN_DECODE_WINDOW_BYTES);
  int decoded = 0;
  std::size_t case_index = 0;
  for (const StreamCase& c : AllCases()) {
    ++case_index;
    // The header's sides, which a case's name may not give: its fields
    // hold 16 bits.
    const Side side = SidesOf(c.file);
    if (side.width <= 0 || side.height <= 0) continue;
    const std::size_t total = std::size_t{3} * side.width * side.height;
    const ReferenceResult want = ReferenceDecode(c.file, total);
    for (const int layout : kLayouts) {
      const std::size_t row_bytes = kx_layout_pixel_bytes(layout) * side.width;
      // Tight rows, the layout's usual stride, and an odd stride that
      // leaves every row start unaligned; large pictures, which are there
      // for the window's slides, at the odd one only.
      std::vector<std::size_t> strides = {row_bytes + 7};
      if (total < (std::size_t{64} << 10)) strides = {row_bytes, kx_default_stride(side.width, layout), row_bytes + 7};
      for (const std::size_t stride_bytes : strides) {
        const Bytes expected = Expected(want.pixels, side, layout, stride_bytes);
        Bytes got(expected.size(), kStale);
        ASSERT_EQ(kx_buffer_bytes(side.width, side.height, layout, stride_bytes), got.size());
        // The library's choice (one thread), and at the odd stride also two
        // threads whatever the size (the golden files, the large streams
        // and every eighth small one: a thread per decode is the slowest
        // part of this test, and fast_decode_tests has every stream on two
        // threads); small pictures through the smallest window, which
        // slides most. PaddingOnProtectedPagesIsNeverTouched has two
        // threads on a large picture.
        const bool sampled =
            c.name.find(".kx") != std::string::npos || total >= (std::size_t{64} << 10) || case_index % 8 == 0;
        std::vector<unsigned> thread_counts = {0};
        if (stride_bytes == row_bytes + 7 && sampled) thread_counts = {0, 2};
        for (const unsigned threads : thread_counts) {
          std::fill(got.begin(), got.end(), kStale);
          kx_decode_report report = KX_DECODE_REPORT_INIT;
          kx_decode_options options = KX_DECODE_OPTIONS_INIT;
          options.threads = threads;
          if (total < (std::size_t{1} << 20)) {
            options.window = window.data();
            options.window_bytes = window.size();
          }
          const kx_result result =
              threads == 0 && options.window != nullptr
                  ? kx_decode_with_window(c.file.data(), c.file.size(), layout, got.data(), stride_bytes, got.size(),
                                          window.data(), window.size(), &report)
              : threads == 0
                  ? kx_decode(c.file.data(), c.file.size(), layout, got.data(), stride_bytes, got.size(), &report)
                  : kx_decode_ex(c.file.data(), c.file.size(), layout, got.data(), stride_bytes, got.size(), &options,
                                 &report);
          ASSERT_EQ(result, KX_OK) << c.name << " layout " << layout << " threads " << threads;
          ASSERT_EQ(FirstDifference(expected, got), "")
              << c.name << " layout " << layout << " stride " << stride_bytes << " threads " << threads;
          EXPECT_EQ(report.width, side.width);
          EXPECT_EQ(report.height, side.height);
          EXPECT_EQ(report.complete, want.produced == total ? 1 : 0) << c.name;
          EXPECT_EQ(report.decoded_pixels, want.produced / 3) << c.name;
          ++decoded;
        }
      }
    }
  }
  EXPECT_GT(decoded, 1000);
}

// The bitmap layout at the usual stride is exactly the bits block the
// plug-in hands a viewer, whose padding is zero.
TEST(Library, BottomUpRowsAreTheBitsBlock) {
  for (const StreamCase& c : DifferentialCases(1)) {
    const Side side = SidesOf(c.file);
    if (side.width <= 0 || side.height <= 0) continue;
    const std::size_t stride_bytes = kx_default_stride(side.width, KX_LAYOUT_BGR_BOTTOM_UP);
    Bytes got(stride_bytes * side.height, 0);
    ASSERT_EQ(
        kx_decode(c.file.data(), c.file.size(), KX_LAYOUT_BGR_BOTTOM_UP, got.data(), stride_bytes, got.size(), nullptr),
        KX_OK);
    ASSERT_EQ(FirstDifference(ReferenceBits(c.file, side.width, side.height), got), "") << c.name;
  }
}

// Pages the process may not touch between a caller's rows: kx.h promises
// that only row bytes are written, so a decode must never reach them.
class GuardedRows {
 public:
  GuardedRows(std::size_t stride_bytes, int height, std::size_t row_bytes, std::size_t page_bytes)
      : total_bytes_(stride_bytes * static_cast<std::size_t>(height)) {
#if defined(_WIN32)
    base_ = static_cast<std::uint8_t*>(VirtualAlloc(nullptr, total_bytes_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
#else
    void* const mapped = mmap(nullptr, total_bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    base_ = mapped == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(mapped);
#endif
    if (base_ == nullptr) return;
    const std::size_t guard_from = (row_bytes + page_bytes - 1) / page_bytes * page_bytes;
    for (int row = 0; row < height; ++row) {
      std::uint8_t* const guard = base_ + stride_bytes * static_cast<std::size_t>(row) + guard_from;
#if defined(_WIN32)
      DWORD was = 0;
      guarded_ = VirtualProtect(guard, stride_bytes - guard_from, PAGE_NOACCESS, &was) != 0;
#else
      guarded_ = mprotect(guard, stride_bytes - guard_from, PROT_NONE) == 0;
#endif
      if (!guarded_) return;
    }
  }
  ~GuardedRows() {
#if defined(_WIN32)
    if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
#else
    if (base_ != nullptr) munmap(base_, total_bytes_);
#endif
  }
  GuardedRows(const GuardedRows&) = delete;
  GuardedRows& operator=(const GuardedRows&) = delete;
  std::uint8_t* data() const { return guarded_ ? base_ : nullptr; }

 private:
  std::size_t total_bytes_;
  std::uint8_t* base_ = nullptr;
  bool guarded_ = false;
};

std::size_t PageBytes() {
#if defined(_WIN32)
  SYSTEM_INFO info{};
  GetSystemInfo(&info);
  return info.dwPageSize;
#else
  return static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
}

// A destination over the size where a second thread faults its pages in
// (32 MiB here, 16 MiB on Windows), whose padding after every row is pages
// with no access at all: every layout decodes into it as into a plain
// buffer, without a fault.
TEST(Library, PaddingOnProtectedPagesIsNeverTouched) {
  constexpr int kWidth = 4100;
  constexpr int kHeight = 1700;
  std::mt19937 rng(26);
  Bytes raw(std::size_t{3} * kWidth * kHeight);
  for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<std::uint8_t>(k / 5 % 241 + rng() % 2);
  kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
  options.level = 1;
  options.threads = 2;
  Bytes file(kx_encode_bound(kWidth, kHeight));
  std::size_t file_bytes = 0;
  ASSERT_EQ(kx_encode(raw.data(), raw.size(), kWidth, kHeight, KX_LAYOUT_RGB, std::size_t{3} * kWidth, &options,
                      file.data(), file.size(), &file_bytes),
            KX_OK);
  file.resize(file_bytes);
  const std::size_t page_bytes = PageBytes();
  for (const int layout : {KX_LAYOUT_BGR_BOTTOM_UP, KX_LAYOUT_BGR, KX_LAYOUT_RGBA}) {
    const std::size_t row_bytes = kx_layout_pixel_bytes(layout) * kWidth;
    // Rows that start on a page and end inside one, then a page of padding
    // with no access.
    const std::size_t stride_bytes = (row_bytes / page_bytes + 2) * page_bytes;
    ASSERT_GT(kx_buffer_bytes(kWidth, kHeight, layout, stride_bytes), std::uint64_t{32} << 20) << layout;
    GuardedRows guarded(stride_bytes, kHeight, row_bytes, page_bytes);
    ASSERT_NE(guarded.data(), nullptr);
    // The guarded decode as the library chooses (one thread and the prefault
    // thread, for a picture this large) and on two threads (the storing
    // thread and no prefault); against this one, on the caller's thread
    // alone into rows without gaps.
    Bytes tight(row_bytes * kHeight);
    kx_decode_options one_thread = KX_DECODE_OPTIONS_INIT;
    one_thread.threads = 1;
    ASSERT_EQ(
        kx_decode_ex(file.data(), file.size(), layout, tight.data(), row_bytes, tight.size(), &one_thread, nullptr),
        KX_OK);
    for (const unsigned threads : {0u, 2u}) {
      for (int row = 0; row < kHeight; ++row) std::memset(guarded.data() + stride_bytes * row, kStale, row_bytes);
      kx_decode_options chosen = KX_DECODE_OPTIONS_INIT;
      chosen.threads = threads;
      ASSERT_EQ(kx_decode_ex(file.data(), file.size(), layout, guarded.data(), stride_bytes,
                             static_cast<std::size_t>(kx_buffer_bytes(kWidth, kHeight, layout, stride_bytes)), &chosen,
                             nullptr),
                KX_OK)
          << layout << " threads " << threads;
      for (int row = 0; row < kHeight; ++row) {
        ASSERT_EQ(std::memcmp(guarded.data() + stride_bytes * row, tight.data() + row_bytes * row, row_bytes), 0)
            << "layout " << layout << " row " << row << " threads " << threads;
      }
    }
  }
}

TEST(Library, ProbeTellsTheRecognitionTestAndTheDecodingVerdictApart) {
  struct Case {
    const char* name;
    Bytes head;
    kx_result recognition;
    kx_result decoding;
    std::uint64_t max_input_bytes;
  };
  auto with = [](Bytes head, std::size_t at, std::uint8_t value) {
    head[at] = value;
    return head;
  };
  const std::uint64_t small = 16 + 2 * 2 * 3 + 2 + 2;  // 12 bytes: 12 + 2 flag bytes + 2
  const Case cases[] = {
      {"accepted", MakeHeader(2, 2), KX_OK, KX_OK, small},
      {"largest", MakeHeader(8192, 8192), KX_OK, KX_OK, 16 + 201326592ull + 25165824ull + 2},
      {"short", Bytes(15, 'K'), KX_ERR_TRUNCATED_HEADER, KX_ERR_TRUNCATED_HEADER, 0},
      {"lower case", with(MakeHeader(2, 2), 0, 'k'), KX_ERR_NOT_KX, KX_ERR_NOT_KX, small},
      {"plain coding", MakeHeader(2, 2, 0x03), KX_ERR_CODING, KX_OK, small},
      {"four bytes a pixel", with(MakeHeader(2, 2), 3, 4), KX_ERR_BYTES_PER_PIXEL, KX_OK, small},
      {"wide", MakeHeader(8193, 1), KX_ERR_SIDE_RANGE, KX_OK, 16 + 24579ull + 3073 + 2},
      {"zero width", MakeHeader(0, 5), KX_ERR_SIDE_RANGE, KX_ERR_NO_PIXELS, 0},
      {"negative height", MakeHeader(5, -1), KX_ERR_SIDE_RANGE, KX_ERR_NO_PIXELS, 0},
      // 10922 x 8192 is the largest bitmap under the cap; one row more is over.
      {"at the cap", MakeHeader(10922, 8192), KX_ERR_SIDE_RANGE, KX_OK, 16 + 268419072ull + 33552384ull + 2},
      {"over the cap", MakeHeader(10923, 8192), KX_ERR_SIDE_RANGE, KX_ERR_TOO_LARGE,
       16 + 268443648ull + 33555456ull + 2},
  };
  for (const Case& c : cases) {
    kx_info info = KX_INFO_INIT;
    EXPECT_EQ(kx_probe(c.head.data(), c.head.size(), &info), c.decoding) << c.name;
    EXPECT_EQ(info.recognition, c.recognition) << c.name;
    EXPECT_EQ(info.decoding, c.decoding) << c.name;
    EXPECT_EQ(info.max_input_bytes, c.max_input_bytes) << c.name;
    if (c.head.size() >= 16) {
      const Side side = SidesOf(c.head);
      EXPECT_EQ(info.width, side.width) << c.name;
      EXPECT_EQ(info.height, side.height) << c.name;
      EXPECT_EQ(info.coding, c.head[2]) << c.name;
      EXPECT_EQ(info.bytes_per_pixel, c.head[3]) << c.name;
    }
  }
}

// A decode never needs more input than the probe announces: cutting the
// file there changes nothing.
TEST(Library, MaxInputBytesIsEnough) {
  for (const StreamCase& c : DifferentialCases(1)) {
    kx_info info = KX_INFO_INIT;
    if (kx_probe(c.file.data(), c.file.size(), &info) != KX_OK) continue;
    const std::size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_RGB);
    const std::size_t n =
        static_cast<std::size_t>(kx_buffer_bytes(info.width, info.height, KX_LAYOUT_RGB, stride_bytes));
    Bytes whole(n), cut(n);
    ASSERT_EQ(kx_decode(c.file.data(), c.file.size(), KX_LAYOUT_RGB, whole.data(), stride_bytes, n, nullptr), KX_OK);
    const std::size_t cut_bytes = std::min<std::size_t>(c.file.size(), info.max_input_bytes);
    ASSERT_EQ(kx_decode(c.file.data(), cut_bytes, KX_LAYOUT_RGB, cut.data(), stride_bytes, n, nullptr), KX_OK);
    EXPECT_EQ(FirstDifference(whole, cut), "") << c.name;
  }
}

TEST(Library, RefusedDecodesTouchNothing) {
  const Bytes file = MakeKx(5, 3, {0x00, 1, 2, 3, 4, 5, 6, 7, 8});
  const std::size_t row = 15;
  const std::size_t need = 2 * row + row;
  Bytes window(KX_MIN_DECODE_WINDOW_BYTES);
  struct Case {
    const char* name;
    const void* src;
    std::size_t src_bytes;
    int layout;
    bool null_dst;
    std::size_t stride_bytes;
    std::size_t dst_bytes;
    std::size_t report_bytes;
    std::size_t window_bytes;
    kx_result want;
  };
  const Bytes too_large = MakeHeader(10923, 8192);
  const Bytes empty = MakeHeader(0, 3);
  const Bytes not_kx = [&] {
    Bytes b = file;
    b[1] = 'Y';
    return b;
  }();
  const Case cases[] = {
      {"null source", nullptr, 20, KX_LAYOUT_RGB, false, row, need, sizeof(kx_decode_report), window.size(),
       KX_ERR_NULL_POINTER},
      {"null destination", file.data(), file.size(), KX_LAYOUT_RGB, true, row, need, sizeof(kx_decode_report),
       window.size(), KX_ERR_NULL_POINTER},
      {"layout 5", file.data(), file.size(), 5, false, row, need, sizeof(kx_decode_report), window.size(),
       KX_ERR_BAD_LAYOUT},
      {"layout -1", file.data(), file.size(), -1, false, row, need, sizeof(kx_decode_report), window.size(),
       KX_ERR_BAD_LAYOUT},
      {"stride below a row", file.data(), file.size(), KX_LAYOUT_RGB, false, row - 1, need, sizeof(kx_decode_report),
       window.size(), KX_ERR_BAD_STRIDE},
      {"stride below a 4-byte row", file.data(), file.size(), KX_LAYOUT_RGBA, false, 19, 64, sizeof(kx_decode_report),
       window.size(), KX_ERR_BAD_STRIDE},
      {"buffer one byte short", file.data(), file.size(), KX_LAYOUT_RGB, false, row, need - 1, sizeof(kx_decode_report),
       window.size(), KX_ERR_BUFFER_TOO_SMALL},
      {"huge stride", file.data(), file.size(), KX_LAYOUT_RGB, false, SIZE_MAX / 2, need, sizeof(kx_decode_report),
       window.size(), KX_ERR_BUFFER_TOO_SMALL},
      {"old report", file.data(), file.size(), KX_LAYOUT_RGB, false, row, need, sizeof(std::size_t), window.size(),
       KX_ERR_BAD_STRUCT_SIZE},
      {"small window", file.data(), file.size(), KX_LAYOUT_RGB, false, row, need, sizeof(kx_decode_report),
       KX_MIN_DECODE_WINDOW_BYTES - 1, KX_ERR_WINDOW_TOO_SMALL},
      {"no header", file.data(), 15, KX_LAYOUT_RGB, false, row, need, sizeof(kx_decode_report), window.size(),
       KX_ERR_TRUNCATED_HEADER},
      {"not KX", not_kx.data(), not_kx.size(), KX_LAYOUT_RGB, false, row, need, sizeof(kx_decode_report), window.size(),
       KX_ERR_NOT_KX},
      {"no pixels", empty.data(), empty.size(), KX_LAYOUT_RGB, false, row, need, sizeof(kx_decode_report),
       window.size(), KX_ERR_NO_PIXELS},
      {"over the cap", too_large.data(), too_large.size(), KX_LAYOUT_RGB, false, row, need, sizeof(kx_decode_report),
       window.size(), KX_ERR_TOO_LARGE},
  };
  // kx_decode, kx_decode_with_window, and kx_decode_ex with the window and
  // two threads, or with options of a version before the first.
  enum class Entry { kOwnWindow, kCallersWindow, kOptions, kOldOptions };
  for (const Case& c : cases) {
    for (const Entry entry : {Entry::kOwnWindow, Entry::kCallersWindow, Entry::kOptions, Entry::kOldOptions}) {
      Bytes dst(64, kStale);
      kx_decode_report report = KX_DECODE_REPORT_INIT;
      report.struct_bytes = c.report_bytes;
      report.width = -7;
      void* const out = c.null_dst ? nullptr : dst.data();
      kx_decode_options options = KX_DECODE_OPTIONS_INIT;
      options.threads = 2;
      options.window = window.data();
      options.window_bytes = c.window_bytes;
      if (entry == Entry::kOldOptions) options.struct_bytes = sizeof(std::size_t);
      kx_result got = KX_OK;
      if (entry == Entry::kOwnWindow) {
        got = kx_decode(c.src, c.src_bytes, c.layout, out, c.stride_bytes, c.dst_bytes, &report);
      } else if (entry == Entry::kCallersWindow) {
        got = kx_decode_with_window(c.src, c.src_bytes, c.layout, out, c.stride_bytes, c.dst_bytes, window.data(),
                                    c.window_bytes, &report);
      } else {
        got = kx_decode_ex(c.src, c.src_bytes, c.layout, out, c.stride_bytes, c.dst_bytes, &options, &report);
      }
      // kx_decode brings its own window, which is never too small; options
      // older than the first version are refused once the arguments pass.
      kx_result want = entry == Entry::kOwnWindow && c.want == KX_ERR_WINDOW_TOO_SMALL ? KX_OK : c.want;
      if (entry == Entry::kOldOptions && (want == KX_OK || want == KX_ERR_WINDOW_TOO_SMALL)) {
        want = KX_ERR_BAD_STRUCT_SIZE;
      }
      EXPECT_EQ(got, want) << c.name << " entry " << static_cast<int>(entry);
      if (want == KX_OK) continue;
      EXPECT_EQ(std::count(dst.begin(), dst.end(), kStale), 64) << c.name;
      EXPECT_EQ(report.width, -7) << c.name;
    }
  }
  EXPECT_EQ(kx_decode_with_window(file.data(), file.size(), KX_LAYOUT_RGB, window.data() + 0, row, need, nullptr,
                                  window.size(), nullptr),
            KX_ERR_NULL_POINTER);
}

// Buffer sizes at the edges: the cap, which is on the 24-bit bitmap and so
// allows 4/3 as much for 4-byte pixels, and strides whose size would wrap.
TEST(Library, BufferSizesAtTheEdges) {
  constexpr std::uint64_t kCapBytes = std::uint64_t{256} << 20;
  kx_info info = KX_INFO_INIT;
  EXPECT_EQ(kx_probe(MakeHeader(32767, 2730).data(), KX_HEADER_BYTES, &info), KX_OK);
  EXPECT_EQ(kx_probe(MakeHeader(32767, 2731).data(), KX_HEADER_BYTES, &info), KX_ERR_TOO_LARGE);
  const struct {
    int width;
    int height;
    int layout;
    std::size_t stride_bytes;  // 0: the layout's usual one
    std::uint64_t want;
  } cases[] = {
      {32767, 2730, KX_LAYOUT_BGR_BOTTOM_UP, 0, std::uint64_t{98304} * 2729 + 98301},
      {32767, 2730, KX_LAYOUT_RGB, 0, std::uint64_t{98301} * 2730},
      {32767, 2730, KX_LAYOUT_RGBA, 0, std::uint64_t{131068} * 2730},
      {8192, 8192, KX_LAYOUT_BGRA, 0, std::uint64_t{32768} * 8192},
      {1, 2, KX_LAYOUT_RGB, SIZE_MAX - 2, SIZE_MAX == UINT64_MAX ? 0 : std::uint64_t{SIZE_MAX} + 1},
      {1, 3, KX_LAYOUT_RGB, SIZE_MAX / 2, SIZE_MAX == UINT64_MAX ? 0 : std::uint64_t{SIZE_MAX / 2} * 2 + 3},
      {1, 2, KX_LAYOUT_RGB, SIZE_MAX - 3, std::uint64_t{SIZE_MAX - 3} + 3},
      {4, 1, KX_LAYOUT_RGBA, SIZE_MAX, 16},  // one row: the stride is never added
  };
  for (const auto& c : cases) {
    const std::size_t stride_bytes = c.stride_bytes != 0 ? c.stride_bytes : kx_default_stride(c.width, c.layout);
    EXPECT_EQ(kx_buffer_bytes(c.width, c.height, c.layout, stride_bytes), c.want)
        << c.width << " x " << c.height << " layout " << c.layout << " stride " << stride_bytes;
    // What kx.h says of the cap, for each layout at its usual stride.
    if (c.stride_bytes == 0) {
      EXPECT_LE(c.want, kCapBytes * kx_layout_pixel_bytes(c.layout) / 3) << c.layout;
    }
  }
  EXPECT_GT(kx_buffer_bytes(32767, 2730, KX_LAYOUT_RGBA, 4 * 32767), kCapBytes);

  // A stride whose size wraps is no room: refused, nothing read or written.
  const Bytes file = MakeKx(1, 3, Bytes(12, 0));
  std::uint8_t pixels[9] = {};
  EXPECT_EQ(kx_decode(file.data(), file.size(), KX_LAYOUT_RGB, pixels, SIZE_MAX / 2, sizeof pixels, nullptr),
            KX_ERR_BUFFER_TOO_SMALL);
  Bytes dst(kx_encode_bound(1, 3));
  std::size_t file_bytes = 0;
  EXPECT_EQ(
      kx_encode(pixels, sizeof pixels, 1, 3, KX_LAYOUT_RGB, SIZE_MAX / 2, nullptr, dst.data(), dst.size(), &file_bytes),
      KX_ERR_BUFFER_TOO_SMALL);
}

TEST(Library, EveryResultHasItsOwnText) {
  std::vector<std::string> texts;
  for (int code = KX_OK; code <= KX_ERR_FINISHED; ++code) texts.emplace_back(kx_result_text(code));
  std::vector<std::string> sorted = texts;
  std::sort(sorted.begin(), sorted.end());
  EXPECT_EQ(std::adjacent_find(sorted.begin(), sorted.end()), sorted.end()) << "two codes share a text";
  // The ranges the texts state are the header's: 0 asks for the default level.
  const std::string sides = "1.." + std::to_string(KX_MAX_SIDE);
  EXPECT_NE(texts[KX_ERR_BAD_LEVEL].find("0.." + std::to_string(KX_MAX_LEVEL)), std::string::npos)
      << texts[KX_ERR_BAD_LEVEL];
  EXPECT_NE(texts[KX_ERR_BAD_SIZE].find(sides), std::string::npos) << texts[KX_ERR_BAD_SIZE];
  EXPECT_NE(texts[KX_ERR_SIDE_RANGE].find(sides), std::string::npos) << texts[KX_ERR_SIDE_RANGE];
  EXPECT_STREQ(kx_result_text(KX_ERR_FINISHED + 1), "unknown result code");
  EXPECT_STREQ(kx_result_text(-1), "unknown result code");
  EXPECT_EQ(kx_version_number(), unsigned{KX_VERSION_NUMBER});
  EXPECT_STREQ(kx_version_string(), KX_VERSION_STRING);
}

// Pictures in every layout encode to exactly the file the writer makes of
// their BGR rows, at every level and thread count, and decode back.
TEST(Library, EncodingIsTheWritersFileInEveryLayout) {
  std::mt19937 rng(7);
  const Side sides[] = {{1, 1}, {5, 3}, {333, 129}, {512, 700}};  // the last spans two stretches
  for (const Side side : sides) {
    // A smooth picture with noise, so that every token form comes up.
    Bytes raw(std::size_t{3} * side.width * side.height);
    for (std::size_t k = 0; k < raw.size(); ++k) raw[k] = static_cast<std::uint8_t>(k / 7 % 251 + rng() % 3);
    // Levels 1, 6 and 9, and the default level at a decode speed.
    const std::pair<int, int> parses[] = {{1, 0}, {6, 0}, {9, 0}, {6, 5}};
    for (const auto& [level, decode_speed] : parses) {
      // The optimal parse takes seconds on two stretches (and, a decode
      // speed, on one: the parse is exercised in encode_tests).
      if ((level == 9 && side.width == 512) || (decode_speed > 0 && side.width > 5)) continue;
      kx::EncodeOptions options;
      options.level = level;
      options.decode_speed = decode_speed;
      Bytes want(kx::EncodeBoundBytes(side.width, side.height));
      Bytes work(kx::EncodeWorkBytes(options));
      want.resize(kx::EncodeImage(raw.data(), side.width, side.height, options, work.data(), want.data(), want.size()));
      for (const int layout : kLayouts) {
        const std::size_t stride_bytes = kx_layout_pixel_bytes(layout) * side.width + 5;
        Bytes pixels = Expected(raw, side, layout, stride_bytes);
        for (const unsigned threads : {1u, 3u}) {
          kx_encode_options encode = KX_ENCODE_OPTIONS_INIT;
          encode.level = level;
          encode.threads = threads;
          encode.decode_speed = decode_speed;
          Bytes file(kx_encode_bound(side.width, side.height));
          std::size_t file_bytes = 0;
          ASSERT_EQ(kx_encode(pixels.data(), pixels.size(), side.width, side.height, layout, stride_bytes, &encode,
                              file.data(), file.size(), &file_bytes),
                    KX_OK);
          file.resize(file_bytes);
          EXPECT_EQ(FirstDifference(want, file), "") << side.width << "x" << side.height << " level " << level
                                                     << " decode speed " << decode_speed << " layout " << layout;
        }
        Bytes back(pixels.size(), kStale);
        ASSERT_EQ(kx_decode(want.data(), want.size(), layout, back.data(), stride_bytes, back.size(), nullptr), KX_OK);
        EXPECT_EQ(FirstDifference(pixels, back), "") << "layout " << layout;
      }
    }
  }
}

TEST(Library, OptionsOfTheFirstVersionGetDecodeSpeedZero) {
  // A caller built before decode_speed passes a record that ends before
  // it: whatever follows in memory is not read, and the file is speed 0's.
  const int width = 64;
  const int height = 40;
  Bytes pixels(std::size_t{3} * width * height);
  for (std::size_t k = 0; k < pixels.size(); ++k) pixels[k] = static_cast<std::uint8_t>(k * 7 / 5 % 97 + k % 3);
  const auto encode = [&](const kx_encode_options& options) {
    Bytes file(kx_encode_bound(width, height));
    std::size_t file_bytes = 0;
    EXPECT_EQ(kx_encode(pixels.data(), pixels.size(), width, height, KX_LAYOUT_RGB, 3 * width, &options, file.data(),
                        file.size(), &file_bytes),
              KX_OK);
    file.resize(file_bytes);
    return file;
  };
  kx_encode_options first = KX_ENCODE_OPTIONS_INIT;
  first.struct_bytes = offsetof(kx_encode_options, decode_speed);
  first.decode_speed = -7;  // past the caller's record: never read
  kx_encode_options current = KX_ENCODE_OPTIONS_INIT;
  EXPECT_EQ(encode(first), encode(current));
  current.decode_speed = KX_MAX_DECODE_SPEED;
  EXPECT_NE(encode(first), encode(current));
}

TEST(Library, RefusedEncodesWriteNothing) {
  const Bytes pixels(4 * 4 * 4, 9);
  const std::size_t bound = kx_encode_bound(4, 4);
  kx_encode_options old = KX_ENCODE_OPTIONS_INIT;
  old.struct_bytes = sizeof(std::size_t);
  kx_encode_options level10 = KX_ENCODE_OPTIONS_INIT;
  level10.level = 10;
  kx_encode_options level_negative = KX_ENCODE_OPTIONS_INIT;
  level_negative.level = -1;
  kx_encode_options speed10 = KX_ENCODE_OPTIONS_INIT;
  speed10.decode_speed = KX_MAX_DECODE_SPEED + 1;
  kx_encode_options speed_negative = KX_ENCODE_OPTIONS_INIT;
  speed_negative.decode_speed = -1;
  struct Case {
    const char* name;
    const void* pixels;
    std::size_t pixels_bytes;
    int width;
    int height;
    int layout;
    std::size_t stride_bytes;
    const kx_encode_options* options;
    std::size_t dst_bytes;
    kx_result want;
  };
  const Case cases[] = {
      {"null pixels", nullptr, 64, 4, 4, KX_LAYOUT_RGB, 12, nullptr, bound, KX_ERR_NULL_POINTER},
      {"width 0", pixels.data(), 64, 0, 4, KX_LAYOUT_RGB, 12, nullptr, bound, KX_ERR_BAD_SIZE},
      {"height 8193", pixels.data(), 64, 4, 8193, KX_LAYOUT_RGB, 12, nullptr, bound, KX_ERR_BAD_SIZE},
      {"layout 7", pixels.data(), 64, 4, 4, 7, 12, nullptr, bound, KX_ERR_BAD_LAYOUT},
      {"level 10", pixels.data(), 64, 4, 4, KX_LAYOUT_RGB, 12, &level10, bound, KX_ERR_BAD_LEVEL},
      {"level -1", pixels.data(), 64, 4, 4, KX_LAYOUT_RGB, 12, &level_negative, bound, KX_ERR_BAD_LEVEL},
      {"decode speed 10", pixels.data(), 64, 4, 4, KX_LAYOUT_RGB, 12, &speed10, bound, KX_ERR_BAD_LEVEL},
      {"decode speed -1", pixels.data(), 64, 4, 4, KX_LAYOUT_RGB, 12, &speed_negative, bound, KX_ERR_BAD_LEVEL},
      {"old options", pixels.data(), 64, 4, 4, KX_LAYOUT_RGB, 12, &old, bound, KX_ERR_BAD_STRUCT_SIZE},
      {"stride", pixels.data(), 64, 4, 4, KX_LAYOUT_RGBA, 15, nullptr, bound, KX_ERR_BAD_STRIDE},
      {"pixels short", pixels.data(), 47, 4, 4, KX_LAYOUT_RGB, 12, nullptr, bound, KX_ERR_BUFFER_TOO_SMALL},
      {"file short", pixels.data(), 64, 4, 4, KX_LAYOUT_RGB, 12, nullptr, bound - 1, KX_ERR_BUFFER_TOO_SMALL},
  };
  for (const Case& c : cases) {
    Bytes dst(bound, kStale);
    std::size_t file_bytes = 12345;
    EXPECT_EQ(kx_encode(c.pixels, c.pixels_bytes, c.width, c.height, c.layout, c.stride_bytes, c.options, dst.data(),
                        c.dst_bytes, &file_bytes),
              c.want)
        << c.name;
    EXPECT_EQ(file_bytes, 12345u) << c.name;
    EXPECT_EQ(std::count(dst.begin(), dst.end(), kStale), static_cast<std::ptrdiff_t>(bound)) << c.name;
  }
  EXPECT_EQ(kx_encode_bound(0, 1), 0u);
  EXPECT_EQ(kx_encode_bound(8192, 8193), 0u);
}

}  // namespace
