// The decoder in pieces (kx_decoder_*) against kx_decode on the whole file:
// whatever the split, the same pixels and report, damaged files included;
// after every push, the rows it calls final are exactly those the bytes so
// far complete, and already hold their final bytes; padding and the bytes
// after each piece are never touched.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include "kx.h"
#include "tests/support/kx_build.h"

namespace {

constexpr std::uint8_t kStale = 0xAB;  // bytes the decoder must not write show up as this

constexpr int kLayouts[] = {KX_LAYOUT_BGR_BOTTOM_UP, KX_LAYOUT_BGR, KX_LAYOUT_RGB, KX_LAYOUT_RGBA, KX_LAYOUT_BGRA};

struct Side {
  int width;
  int height;
};

Side SidesOf(const Bytes& file) {
  return {static_cast<std::int16_t>(file[12] | file[13] << 8), static_cast<std::int16_t>(file[14] | file[15] << 8)};
}

Bytes ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// Each piece is pushed from memory that ends where the piece ends, followed
// by a page that may not be read: a decoder reading one byte past what it
// was given stops the test there. (Elsewhere the piece is pushed from a copy
// of its own, which the sanitizer build checks.)
class Pieces {
 public:
  Pieces() {
#if defined(__linux__)
    page_bytes_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
#endif
  }
  ~Pieces() { Release(); }
  Pieces(const Pieces&) = delete;
  Pieces& operator=(const Pieces&) = delete;

  const std::uint8_t* Place(const std::uint8_t* bytes, std::size_t count) {
#if defined(__linux__)
    const std::size_t need = (count + page_bytes_ - 1) / page_bytes_ * page_bytes_ + page_bytes_;
    if (need > mapped_bytes_) {
      Release();
      void* m = mmap(nullptr, need, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
      if (m == MAP_FAILED) return nullptr;
      mapped_ = static_cast<std::uint8_t*>(m);
      mapped_bytes_ = need;
      mprotect(mapped_ + need - page_bytes_, page_bytes_, PROT_NONE);
    }
    std::uint8_t* at = mapped_ + mapped_bytes_ - page_bytes_ - count;
    if (count > 0) std::memcpy(at, bytes, count);
    return at;
#else
    copy_.assign(bytes, bytes + count);
    return copy_.data();
#endif
  }

 private:
  void Release() {
#if defined(__linux__)
    if (mapped_ != nullptr) munmap(mapped_, mapped_bytes_);
    mapped_ = nullptr;
    mapped_bytes_ = 0;
#endif
  }
  std::size_t page_bytes_ = 4096;
  std::uint8_t* mapped_ = nullptr;
  std::size_t mapped_bytes_ = 0;
  Bytes copy_;
};

struct Whole {
  Bytes pixels;
  kx_decode_report report = KX_DECODE_REPORT_INIT;
};

// kx_decode of file[0, bytes) at `stride_bytes`, padding left kStale.
Whole DecodeWhole(const Bytes& file, std::size_t bytes, int layout, std::size_t stride_bytes, Bytes* window) {
  const Side side = SidesOf(file);
  Whole w;
  w.pixels.assign(kx_buffer_bytes(side.width, side.height, layout, stride_bytes), kStale);
  const kx_result r = kx_decode_with_window(file.data(), bytes, layout, w.pixels.data(), stride_bytes,
                                            w.pixels.size(), window->data(), window->size(), &w.report);
  EXPECT_EQ(r, KX_OK);
  return w;
}

// Where a top-down row r sits in the buffer, and how many of its bytes are
// pixels.
std::size_t RowAt(int layout, Side side, std::size_t stride_bytes, int r) {
  const int stored = layout == KX_LAYOUT_BGR_BOTTOM_UP ? side.height - 1 - r : r;
  return static_cast<std::size_t>(stored) * stride_bytes;
}

struct SplitCheck {
  bool exact_rows = true;  // after each push, rows_final is what kx_decode of the bytes so far completes
};

// Pushes `file` cut at `ends` (rising offsets; the last is the file's size)
// and finishes; returns "" or what went wrong. After every push the rows
// called final hold their final bytes (those of kx_decode on the whole file)
// and their count never falls; with exact_rows it is exactly the rows the
// bytes so far complete.
std::string DecodeSplit(const Bytes& file, const std::vector<std::size_t>& ends, int layout,
                        std::size_t stride_bytes, const Whole& want, const SplitCheck& check, void* window = nullptr,
                        std::size_t window_bytes = 0) {
  const Side side = SidesOf(file);
  const std::size_t pixel_bytes = kx_layout_pixel_bytes(layout);
  const std::size_t row_bytes = pixel_bytes * side.width;
  Bytes got(want.pixels.size(), kStale);
  kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
  o.layout = layout;
  o.dst = got.data();
  o.stride_bytes = stride_bytes;
  o.dst_bytes = got.size();
  o.window = window;
  o.window_bytes = window_bytes;
  kx_decoder* d = nullptr;
  const kx_result created = kx_decoder_create(file.data(), std::min<std::size_t>(file.size(), 16), &o, &d);
  if (created != KX_OK) return std::string("create: ") + kx_result_text(created);
  if (std::count(got.begin(), got.end(), kStale) != static_cast<std::ptrdiff_t>(got.size())) {
    kx_decoder_destroy(d);
    return "create wrote to the destination";
  }
  Pieces pieces;
  Bytes scratch(KX_MIN_DECODE_WINDOW_BYTES);
  std::string failure;
  std::int32_t before = 0;
  std::size_t start = 0;
  for (const std::size_t end : ends) {
    std::int32_t rows = -1;
    const kx_result r = kx_decoder_push(d, pieces.Place(file.data() + start, end - start), end - start, &rows);
    const std::string at = " after byte " + std::to_string(end);
    if (r != KX_OK) {
      failure = std::string("push: ") + kx_result_text(r) + at;
      break;
    }
    if (rows < before || rows > side.height) {
      failure = "rows_final " + std::to_string(rows) + " after " + std::to_string(before) + at;
      break;
    }
    if (check.exact_rows) {
      std::int32_t complete_rows = 0;
      if (end > 16) {
        const Whole prefix = DecodeWhole(file, end, layout, stride_bytes, &scratch);
        complete_rows = static_cast<std::int32_t>(prefix.report.decoded_pixels / side.width);
      }
      if (rows != complete_rows) {
        failure = "rows_final " + std::to_string(rows) + ", complete rows " + std::to_string(complete_rows) + at;
        break;
      }
    }
    // Rows called final earlier are compared again at the end: a final row
    // written again differs there.
    for (int row = before; row < rows && failure.empty(); ++row) {
      const std::size_t p = RowAt(layout, side, stride_bytes, row);
      if (!std::equal(got.begin() + p, got.begin() + p + row_bytes, want.pixels.begin() + p)) {
        failure = "row " + std::to_string(row) + " called final but not" + at;
      }
    }
    if (!failure.empty()) break;
    before = rows;
    start = end;
  }
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  const kx_result finished = kx_decoder_finish(d, &report);
  kx_decoder_destroy(d);
  if (!failure.empty()) return failure;
  if (finished != KX_OK) return std::string("finish: ") + kx_result_text(finished);
  const std::string diff = FirstDifference(want.pixels, got);
  if (!diff.empty()) return "pixels: " + diff;
  if (report.width != want.report.width || report.height != want.report.height ||
      report.complete != want.report.complete || report.decoded_pixels != want.report.decoded_pixels) {
    return "report: complete " + std::to_string(report.complete) + " pixels " +
           std::to_string(report.decoded_pixels) + ", kx_decode: complete " +
           std::to_string(want.report.complete) + " pixels " + std::to_string(want.report.decoded_pixels);
  }
  return "";
}

// Piece ends: `count` random cuts, or one piece, or every byte.
std::vector<std::size_t> RandomEnds(std::mt19937& rng, std::size_t file_bytes, std::size_t cuts) {
  std::vector<std::size_t> ends;
  for (std::size_t k = 0; k < cuts && file_bytes > 0; ++k) ends.push_back(rng() % file_bytes);
  ends.push_back(file_bytes);
  std::sort(ends.begin(), ends.end());
  return ends;
}

std::vector<std::size_t> EveryByte(std::size_t file_bytes) {
  std::vector<std::size_t> ends;
  for (std::size_t k = 1; k <= file_bytes; ++k) ends.push_back(k);
  if (ends.empty()) ends.push_back(0);
  return ends;
}

Bytes Concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Splits placed by hand at each token form's awkward byte, in streams built
// byte by byte. Offsets count from the start of the stream (after the
// header); each case is also pushed a byte at a time and at every single
// cut.
TEST(Decoder, SplitsAtEveryTokenFormsAwkwardByte) {
  const Bytes run9 = {0x80, 0x03, 1, 2, 3, 4, 5, 6, 7, 8, 9};  // a literal run of 9
  struct Case {
    const char* name;
    int width;
    int height;
    Bytes stream;
    std::vector<std::size_t> cuts;
  };
  const Case cases[] = {
      {"inside the header", 4, 1, {0x00, 1, 2, 3, 4, 5, 6, 7, 8}, {}},
      {"after a flag byte", 20, 20, {0x40, 0x7F, 0xC0, 0x00, 0xFE}, {1}},
      {"between literals", 3, 1, {0x00, 1, 2, 3, 4, 5, 6, 7, 8}, {3, 5}},
      {"after a short copy's control byte", 4, 1, {0x20, 9, 0x01, 7}, {2}},
      {"before a medium copy's c", 6, 1, {0x40, 0x11, 0x80, 0x0F}, {2, 3}},
      {"before a long copy's c and d", 100, 1, {0x40, 0x22, 0xC0, 0x00, 0x20}, {2, 3, 4}},
      {"a long copy of 4096", 2000, 3, {0x40, 0x33, 0xC0, 0x00, 0xFF}, {3, 4}},
      {"after a run's control byte", 4, 1, run9, {2}},
      {"inside a run", 4, 1, run9, {3, 6, 10}},
      {"a run cut by the end of input", 3, 1, {0x80, 0x03, 0x0A, 0x0B, 0x0C, 0x0D}, {2, 4}},
      {"a run cut by the picture's end", 1, 1, Concat(run9, {0x00, 0xEE}), {3, 4, 11}},
      {"a copy reaching before the start", 2, 2, {0x40, 0x05, 0xC1, 0x10, 0x07}, {2, 3, 4}},
      // 0x55: literal, copy, literal, copy... so the register must carry
      // the half-used flag byte across the cut.
      {"mid-group, flags half used", 4, 2, {0x55, 1, 0x00, 2, 0x04, 3, 0x08, 4, 0x01, 0x00, 5, 6, 7, 8, 9, 10, 11, 12},
       {1, 3, 4, 6, 8, 9, 10}},
      {"a medium copy's c as the last byte", 3, 2, {0x28, 1, 2, 0x80, 0x23, 3, 4}, {3, 4}},
      {"a long copy cut before d by the end of input", 100, 1, {0x40, 0x22, 0xC0, 0x00}, {2, 3}},
      {"bytes after the picture", 1, 1, {0x00, 1, 2, 3, 4, 0x80, 0xC5, 0x01}, {3, 4, 5}},
      {"the picture full at a group's end", 8, 1, {0x00, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xC0}, {9, 10}},
      {"delta off", 4, 1, {0x00, 1, 2, 3, 4, 5, 6, 7, 8}, {4}},
  };
  Bytes window(KX_MIN_DECODE_WINDOW_BYTES);
  for (const Case& c : cases) {
    const std::uint8_t coding = std::string(c.name) == "delta off" ? 0x03 : 0x83;
    const Bytes file = MakeKx(c.width, c.height, c.stream, coding);
    std::vector<std::vector<std::size_t>> splits;
    std::vector<std::size_t> placed;
    for (const std::size_t cut : c.cuts) placed.push_back(16 + cut);
    if (c.cuts.empty()) placed = {5, 15, 16, 17};
    placed.push_back(file.size());
    splits.push_back(placed);
    splits.push_back(EveryByte(file.size()));
    for (std::size_t cut = 0; cut <= file.size(); ++cut) splits.push_back({cut, file.size()});
    for (const int layout : kLayouts) {
      const std::size_t stride_bytes = kx_layout_pixel_bytes(layout) * c.width + 3;
      const Whole want = DecodeWhole(file, file.size(), layout, stride_bytes, &window);
      for (const auto& ends : splits) {
        EXPECT_EQ(DecodeSplit(file, ends, layout, stride_bytes, want, {}), "") << c.name << ", layout " << layout;
      }
    }
  }
}

std::vector<StreamCase> FileCases() {
  std::vector<StreamCase> cases;
  for (const char* folder : {"decode", "damaged"}) {
    for (const auto& entry : std::filesystem::directory_iterator(std::filesystem::path(KX_TEST_DATA_DIR) / folder)) {
      if (std::string(folder) == "decode" && entry.path().extension() != ".kx") continue;
      const Bytes file = ReadFile(entry.path());
      cases.push_back({std::string(folder) + "/" + entry.path().filename().string(), file, 0});
    }
  }
  std::sort(cases.begin(), cases.end(), [](const StreamCase& a, const StreamCase& b) { return a.name < b.name; });
  return cases;
}

// The golden and damaged files, a byte at a time and under random splits,
// in every layout: what kx_decode gives, or what kx_decode refuses.
TEST(Decoder, GoldenAndDamagedFilesUnderAnySplit) {
  std::mt19937 rng(27);
  Bytes window(KX_MIN_DECODE_WINDOW_BYTES);
  int decoded = 0;
  for (const StreamCase& c : FileCases()) {
    for (const int layout : kLayouts) {
      Bytes probe_dst(64, kStale);
      kx_info info = KX_INFO_INIT;
      if (kx_probe(c.file.data(), c.file.size(), &info) != KX_OK) {
        // Refused as kx_decode refuses it, and nothing written.
        kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
        o.layout = layout;
        o.dst = probe_dst.data();
        o.stride_bytes = 1 << 20;
        o.dst_bytes = probe_dst.size();
        kx_decoder* d = nullptr;
        EXPECT_EQ(kx_decoder_create(c.file.data(), c.file.size(), &o, &d),
                  kx_decode(c.file.data(), c.file.size(), layout, probe_dst.data(), o.stride_bytes, probe_dst.size(),
                            nullptr))
            << c.name;
        EXPECT_EQ(d, nullptr) << c.name;
        EXPECT_EQ(std::count(probe_dst.begin(), probe_dst.end(), kStale), 64) << c.name;
        continue;
      }
      const Side side = SidesOf(c.file);
      const std::size_t stride_bytes = kx_layout_pixel_bytes(layout) * side.width + 5;
      const Whole want = DecodeWhole(c.file, c.file.size(), layout, stride_bytes, &window);
      // Every prefix decoded whole for the exact row count costs the square
      // of the size: small files only.
      SplitCheck bytewise;
      bytewise.exact_rows = c.file.size() < 4096;
      EXPECT_EQ(DecodeSplit(c.file, EveryByte(c.file.size()), layout, stride_bytes, want, bytewise), "")
          << c.name << ", layout " << layout << ", a byte at a time";
      for (int round = 0; round < 8; ++round) {
        const std::vector<std::size_t> ends = RandomEnds(rng, c.file.size(), 1 + rng() % 40);
        EXPECT_EQ(DecodeSplit(c.file, ends, layout, stride_bytes, want, {}), "")
            << c.name << ", layout " << layout << ", round " << round;
      }
      ++decoded;
    }
  }
  EXPECT_GE(decoded, 5 * 10);
}

// Streams of every kind (truncated at many lengths, junk after the picture,
// copies reaching before the start, random bytes) and large ones that slide
// the window many times and switch between the unchecked groups and token
// by token: random splits, and pieces of a few sizes.
TEST(Decoder, EveryKindOfStreamUnderRandomSplits) {
  std::mt19937 rng(2027);
  Bytes window(KX_MIN_DECODE_WINDOW_BYTES);
  std::vector<StreamCase> cases = DifferentialCases(1);
  const std::vector<StreamCase> large = LargeStreamCases(1);
  for (std::size_t k = 0; k < large.size(); k += 29) cases.push_back(large[k]);
  int decoded = 0;
  for (const StreamCase& c : cases) {
    const Side side = SidesOf(c.file);
    if (side.width <= 0 || side.height <= 0) continue;
    const int layout = kLayouts[rng() % 5];
    const std::size_t stride_bytes = kx_layout_pixel_bytes(layout) * side.width + rng() % 3;
    const Whole want = DecodeWhole(c.file, c.file.size(), layout, stride_bytes, &window);
    const bool small = c.file.size() < 4096;
    const std::size_t piece_bytes[] = {1 + rng() % 7, 64 + rng() % 400, std::size_t{64} << 10};
    for (const std::size_t piece : piece_bytes) {
      if (small == (piece > 4096)) continue;
      std::vector<std::size_t> ends;
      for (std::size_t end = piece; end < c.file.size(); end += piece) ends.push_back(end);
      ends.push_back(c.file.size());
      SplitCheck check;
      check.exact_rows = ends.size() < 200;
      ASSERT_EQ(DecodeSplit(c.file, ends, layout, stride_bytes, want, check), "")
          << c.name << ", layout " << layout << ", pieces of " << piece;
    }
    SplitCheck check;
    check.exact_rows = c.file.size() < (std::size_t{1} << 20);
    ASSERT_EQ(DecodeSplit(c.file, RandomEnds(rng, c.file.size(), 1 + rng() % 30), layout, stride_bytes, want, check),
              "")
        << c.name << ", layout " << layout;
    ++decoded;
  }
  EXPECT_GT(decoded, 500);
}

// The caller's window: the smallest one accepted, one at an odd address,
// and two decoders at once in two halves of one block, interleaved.
TEST(Decoder, CallersWindow) {
  std::mt19937 rng(5);
  const Bytes file = MakeKx(700, 300, LongCopyTokenStream(rng, 700 * 300 * 3));
  const Side side = SidesOf(file);
  Bytes scratch(KX_MIN_DECODE_WINDOW_BYTES);
  const std::size_t stride_bytes = 700 * 4;
  const Whole want = DecodeWhole(file, file.size(), KX_LAYOUT_RGBA, stride_bytes, &scratch);
  Bytes block(2 * KX_MIN_DECODER_WINDOW_BYTES + 64, kStale);
  EXPECT_EQ(DecodeSplit(file, RandomEnds(rng, file.size(), 50), KX_LAYOUT_RGBA, stride_bytes, want, {}, block.data(),
                        KX_MIN_DECODER_WINDOW_BYTES),
            "");
  EXPECT_EQ(DecodeSplit(file, RandomEnds(rng, file.size(), 50), KX_LAYOUT_RGBA, stride_bytes, want, {},
                        block.data() + 3, KX_MIN_DECODER_WINDOW_BYTES),
            "");
  // Nothing beyond the window was touched.
  EXPECT_EQ(std::count(block.begin() + 3 + KX_MIN_DECODER_WINDOW_BYTES, block.end(), kStale),
            static_cast<std::ptrdiff_t>(block.size() - 3 - KX_MIN_DECODER_WINDOW_BYTES));

  Bytes a(want.pixels.size(), kStale), b(want.pixels.size(), kStale);
  kx_decoder* da = nullptr;
  kx_decoder* db = nullptr;
  kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
  o.layout = KX_LAYOUT_RGBA;
  o.stride_bytes = stride_bytes;
  o.dst_bytes = a.size();
  o.window_bytes = KX_MIN_DECODER_WINDOW_BYTES;
  o.dst = a.data();
  o.window = block.data();
  ASSERT_EQ(kx_decoder_create(file.data(), file.size(), &o, &da), KX_OK);
  o.dst = b.data();
  o.window = block.data() + KX_MIN_DECODER_WINDOW_BYTES;
  ASSERT_EQ(kx_decoder_create(file.data(), file.size(), &o, &db), KX_OK);
  for (std::size_t at = 0; at < file.size(); at += 1000) {
    const std::size_t n = std::min<std::size_t>(1000, file.size() - at);
    ASSERT_EQ(kx_decoder_push(da, file.data() + at, n, nullptr), KX_OK);
    ASSERT_EQ(kx_decoder_push(db, file.data() + at, n, nullptr), KX_OK);
  }
  ASSERT_EQ(kx_decoder_finish(da, nullptr), KX_OK);
  ASSERT_EQ(kx_decoder_finish(db, nullptr), KX_OK);
  kx_decoder_destroy(da);
  kx_decoder_destroy(db);
  EXPECT_EQ(FirstDifference(want.pixels, a), "");
  EXPECT_EQ(FirstDifference(want.pixels, b), "");
  EXPECT_EQ(side.width, 700);
}

// Every argument refused as kx_decode refuses it, before anything is
// allocated or written, and *decoder left alone; then the calls of a
// decoder's life in the wrong order.
TEST(Decoder, RefusalsAndTheOrderOfCalls) {
  const Bytes file = MakeKx(5, 3, {0x00, 1, 2, 3, 4, 5, 6, 7, 8});
  const std::size_t row = 15;
  const std::size_t need = 2 * row + row;
  Bytes window(KX_MIN_DECODER_WINDOW_BYTES);
  const Bytes not_kx = [&] {
    Bytes b = file;
    b[1] = 'Y';
    return b;
  }();
  const Bytes too_large = MakeHeader(10923, 8192);
  const Bytes empty = MakeHeader(0, 3);
  struct Case {
    const char* name;
    const Bytes* head;
    std::size_t head_bytes;
    int layout;
    bool null_dst;
    std::size_t stride_bytes;
    std::size_t dst_bytes;
    std::size_t options_bytes;
    std::size_t window_bytes;  // 0: the decoder's own
    kx_result want;
  };
  const std::size_t v1 = sizeof(kx_decoder_options);
  const Case cases[] = {
      {"null head", nullptr, 16, KX_LAYOUT_RGB, false, row, need, v1, 0, KX_ERR_NULL_POINTER},
      {"null destination", &file, 16, KX_LAYOUT_RGB, true, row, need, v1, 0, KX_ERR_NULL_POINTER},
      {"layout 5", &file, 16, 5, false, row, need, v1, 0, KX_ERR_BAD_LAYOUT},
      {"stride below a row", &file, 16, KX_LAYOUT_RGB, false, row - 1, need, v1, 0, KX_ERR_BAD_STRIDE},
      {"buffer one byte short", &file, 16, KX_LAYOUT_RGB, false, row, need - 1, v1, 0, KX_ERR_BUFFER_TOO_SMALL},
      {"old options", &file, 16, KX_LAYOUT_RGB, false, row, need, sizeof(std::size_t), 0, KX_ERR_BAD_STRUCT_SIZE},
      {"small window", &file, 16, KX_LAYOUT_RGB, false, row, need, v1, KX_MIN_DECODER_WINDOW_BYTES - 1,
       KX_ERR_WINDOW_TOO_SMALL},
      {"kx_decode's window", &file, 16, KX_LAYOUT_RGB, false, row, need, v1, KX_MIN_DECODE_WINDOW_BYTES,
       KX_ERR_WINDOW_TOO_SMALL},
      {"15 header bytes", &file, 15, KX_LAYOUT_RGB, false, row, need, v1, 0, KX_ERR_TRUNCATED_HEADER},
      {"not KX", &not_kx, 16, KX_LAYOUT_RGB, false, row, need, v1, 0, KX_ERR_NOT_KX},
      {"no pixels", &empty, 16, KX_LAYOUT_RGB, false, row, need, v1, 0, KX_ERR_NO_PIXELS},
      {"over the cap", &too_large, 16, KX_LAYOUT_RGB, false, row, need, v1, 0, KX_ERR_TOO_LARGE},
      {"accepted, own window", &file, 16, KX_LAYOUT_RGB, false, row, need, v1, 0, KX_OK},
      {"accepted, the smallest window", &file, 16, KX_LAYOUT_RGB, false, row, need, v1, KX_MIN_DECODER_WINDOW_BYTES,
       KX_OK},
  };
  for (const Case& c : cases) {
    Bytes dst(64, kStale);
    kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
    o.struct_bytes = c.options_bytes;
    o.layout = c.layout;
    o.dst = c.null_dst ? nullptr : dst.data();
    o.stride_bytes = c.stride_bytes;
    o.dst_bytes = c.dst_bytes;
    o.window = c.window_bytes > 0 ? window.data() : nullptr;
    o.window_bytes = c.window_bytes;
    auto* const untouched = reinterpret_cast<kx_decoder*>(&dst);
    kx_decoder* d = untouched;
    EXPECT_EQ(kx_decoder_create(c.head != nullptr ? c.head->data() : nullptr, c.head_bytes, &o, &d), c.want)
        << c.name;
    if (c.want == KX_OK) {
      kx_decoder_destroy(d);
      continue;
    }
    EXPECT_EQ(d, untouched) << c.name;
    EXPECT_EQ(std::count(dst.begin(), dst.end(), kStale), 64) << c.name;
    // kx_decode refuses the same arguments the same way (its window has no
    // state to hold).
    if (c.window_bytes == 0 && c.options_bytes == v1) {
      EXPECT_EQ(kx_decode(c.head != nullptr ? c.head->data() : nullptr, c.head_bytes, c.layout, o.dst, c.stride_bytes,
                          c.dst_bytes, nullptr),
                c.want)
          << c.name;
    }
  }
  kx_decoder* d = nullptr;
  kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
  EXPECT_EQ(kx_decoder_create(file.data(), file.size(), nullptr, &d), KX_ERR_NULL_POINTER);
  EXPECT_EQ(kx_decoder_create(file.data(), file.size(), &o, nullptr), KX_ERR_NULL_POINTER);

  // A decoder's life: pushes of nothing, a null piece refused, the report
  // refused for an old size (and the decoder still usable), finish twice
  // with the same report, pushes after it refused and reading nothing.
  Bytes dst(need, kStale);
  o.layout = KX_LAYOUT_RGB;
  o.dst = dst.data();
  o.stride_bytes = row;
  o.dst_bytes = need;
  ASSERT_EQ(kx_decoder_create(file.data(), 16, &o, &d), KX_OK);
  std::int32_t rows = -1;
  EXPECT_EQ(kx_decoder_push(d, nullptr, 0, &rows), KX_OK);
  EXPECT_EQ(rows, 0);
  EXPECT_EQ(kx_decoder_push(d, nullptr, 1, &rows), KX_ERR_NULL_POINTER);
  EXPECT_EQ(kx_decoder_push(nullptr, file.data(), 1, &rows), KX_ERR_NULL_POINTER);
  EXPECT_EQ(kx_decoder_push(d, file.data(), 20, &rows), KX_OK);
  EXPECT_EQ(rows, 0);  // 4 of 15 pixel bytes of the first row
  kx_decode_report old = KX_DECODE_REPORT_INIT;
  old.struct_bytes = sizeof(std::size_t);
  EXPECT_EQ(kx_decoder_finish(d, &old), KX_ERR_BAD_STRUCT_SIZE);
  EXPECT_EQ(kx_decoder_push(d, file.data() + 20, file.size() - 20, &rows), KX_OK);
  EXPECT_EQ(rows, 0);  // 8 pixel bytes so far
  kx_decode_report first = KX_DECODE_REPORT_INIT;
  kx_decode_report second = KX_DECODE_REPORT_INIT;
  EXPECT_EQ(kx_decoder_finish(d, &first), KX_OK);
  const Bytes after_finish = dst;
  EXPECT_EQ(kx_decoder_finish(d, &second), KX_OK);
  EXPECT_EQ(kx_decoder_finish(d, nullptr), KX_OK);
  EXPECT_EQ(kx_decoder_push(d, file.data(), file.size(), &rows), KX_ERR_FINISHED);
  EXPECT_EQ(rows, 3);
  EXPECT_EQ(dst, after_finish);
  EXPECT_EQ(second.width, first.width);
  EXPECT_EQ(second.height, first.height);
  EXPECT_EQ(second.complete, first.complete);
  EXPECT_EQ(second.decoded_pixels, first.decoded_pixels);
  EXPECT_EQ(first.width, 5);
  EXPECT_EQ(first.height, 3);
  EXPECT_EQ(first.complete, 0);
  EXPECT_EQ(first.decoded_pixels, 2u);
  kx_decoder_destroy(d);
  kx_decoder_destroy(nullptr);
  EXPECT_EQ(kx_decoder_finish(nullptr, &first), KX_ERR_NULL_POINTER);
}

}  // namespace
