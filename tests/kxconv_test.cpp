// kxconv end to end: the real program, run on files this test writes with
// its own small writers (PPM and BMP by hand, PNG through libpng's
// simplified interface, which kxconv does not use), read back the same way.
#include <gtest/gtest.h>
#include <png.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "codec/format/kx_format.h"
#include "codec/reference/decompress.h"
#include "plugin/spi.h"
#include "tests/support/kx_build.h"
#include "tests/support/thread_count.h"
#include "tools/host/host.h"

using namespace kx;

namespace {

namespace fs = std::filesystem;

// A picture as the test's writers take it: rows top down, red, green, blue.
struct Rgb {
  int width;
  int height;
  Bytes rgb;
};

Rgb TestPicture(int width, int height) {
  Rgb p{width, height, {}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.rgb.push_back(static_cast<std::uint8_t>(x * 7 + 1));    // red
      p.rgb.push_back(static_cast<std::uint8_t>(y * 11 + 2));   // green
      p.rgb.push_back(static_cast<std::uint8_t>(x * y + 200));  // blue
    }
  }
  return p;
}

// The same pixels in the order a KX file stores them: blue, green, red.
Bytes Bgr(const Rgb& p) {
  Bytes b(p.rgb);
  for (std::size_t k = 0; k < b.size(); k += 3) std::swap(b[k], b[k + 2]);
  return b;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

Bytes PpmFile(const Rgb& p) {
  const std::string header = "P6\n# made by the test\n" + std::to_string(p.width) + " " + std::to_string(p.height) + "\n255\n";
  Bytes file(header.begin(), header.end());
  file.insert(file.end(), p.rgb.begin(), p.rgb.end());
  return file;
}

void Put32(Bytes* b, std::size_t at, std::uint32_t v) {
  for (int k = 0; k < 4; ++k) (*b)[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}
std::uint32_t Get32(const Bytes& b, std::size_t at) {
  return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (std::uint32_t(b[at + 3]) << 24);
}

std::size_t Stride(int width) { return (std::size_t(width) * 3 + 3) / 4 * 4; }

Bytes BmpFile(const Rgb& p, bool top_down) {
  const Bytes bgr = Bgr(p);
  const std::size_t stride = Stride(p.width);
  Bytes file(54 + stride * p.height, 0);
  file[0] = 'B';
  file[1] = 'M';
  Put32(&file, 2, static_cast<std::uint32_t>(file.size()));
  Put32(&file, 10, 54);
  Put32(&file, 14, 40);
  Put32(&file, 18, static_cast<std::uint32_t>(p.width));
  Put32(&file, 22, static_cast<std::uint32_t>(top_down ? -p.height : p.height));
  file[26] = 1;
  file[28] = 24;
  for (int y = 0; y < p.height; ++y) {
    const int stored = top_down ? y : p.height - 1 - y;
    std::copy_n(bgr.begin() + y * p.width * 3, p.width * 3, file.begin() + 54 + stored * stride);
  }
  return file;
}

// The pixel rows of a 24-bit bottom-up BMP, as raw top-down RGB.
Rgb ReadBmp(const Bytes& file) {
  Rgb p{static_cast<int>(Get32(file, 18)), static_cast<int>(Get32(file, 22)), {}};
  EXPECT_EQ(file[28], 24);
  const std::size_t stride = Stride(p.width);
  const std::size_t at = Get32(file, 10);
  EXPECT_EQ(file.size(), at + stride * p.height);
  for (int y = p.height - 1; y >= 0; --y) {
    for (int x = 0; x < p.width; ++x) {
      const std::size_t k = at + y * stride + x * 3;
      p.rgb.insert(p.rgb.end(), {file[k + 2], file[k + 1], file[k]});
    }
  }
  return p;
}

Rgb ReadPpm(const Bytes& file) {
  Rgb p{0, 0, {}};
  int maxval = 0;
  int consumed = 0;
  const std::string text(file.begin(), file.begin() + std::min<std::size_t>(file.size(), 64));
  EXPECT_EQ(std::sscanf(text.c_str(), "P6 %d %d %d%n", &p.width, &p.height, &maxval, &consumed), 3);
  EXPECT_EQ(maxval, 255);
  p.rgb.assign(file.begin() + consumed + 1, file.end());
  return p;
}

// Writes a PNG through the simplified interface: format is one of libpng's
// PNG_FORMAT_* values; colormap is for the colour-mapped ones.
void WritePng(const fs::path& path, int width, int height, png_uint_32 format, const Bytes& pixels,
              const Bytes& colormap = {}) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  image.width = static_cast<png_uint_32>(width);
  image.height = static_cast<png_uint_32>(height);
  image.format = format;
  image.colormap_entries = static_cast<png_uint_32>(colormap.size() / 3);
  ASSERT_NE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0,
                                    colormap.empty() ? nullptr : colormap.data()),
            0)
      << image.message;
}

Rgb ReadPng(const fs::path& path) {
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  Rgb p{0, 0, {}};
  if (png_image_begin_read_from_file(&image, path.c_str()) == 0) {
    ADD_FAILURE() << path << ": " << image.message;
    return p;
  }
  image.format = PNG_FORMAT_RGB;
  p.width = static_cast<int>(image.width);
  p.height = static_cast<int>(image.height);
  p.rgb.resize(PNG_IMAGE_SIZE(image));
  EXPECT_NE(png_image_finish_read(&image, nullptr, p.rgb.data(), 0, nullptr), 0) << image.message;
  return p;
}

struct RunResult {
  int status;
  std::string out;
  std::string err;
};

class KxconvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/kxconv_test.XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path At(const std::string& name) const { return dir_ / name; }

  // Runs kxconv with `args` in the test's folder; stdout and stderr are
  // files, so stderr is not a terminal. KXCONV_UNDER_TEST names another
  // program to run instead, such as the Windows build under Wine
  // (tests/kxconv_wine.sh).
  // `feed`, when given, is a shell command whose output reaches kxconv's
  // standard input through a pipe.
  RunResult Kxconv(const std::string& args, const std::string& feed = "") const {
    const char* other = std::getenv("KXCONV_UNDER_TEST");
    const std::string program = other != nullptr && *other != '\0' ? other : KXCONV_PATH;
    const std::string command = "cd '" + dir_.string() + "' && " + (feed.empty() ? "" : "(" + feed + ") | ") + "'" +
                                program + "' " + args + " >.out 2>.err";
    const int raw = std::system(command.c_str());
    const Bytes out = ReadFile(At(".out"));
    const Bytes err = ReadFile(At(".err"));
    fs::remove(At(".out"));
    fs::remove(At(".err"));
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, std::string(out.begin(), out.end()),
            std::string(err.begin(), err.end())};
  }

  // Every file in the folder, hidden ones included: a leftover temporary
  // file shows up here.
  std::vector<std::string> Listing(const fs::path& folder) const {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  fs::path dir_;
};

// What a viewer sees: the bits block GetPicture hands over, in memory mode.
Bytes ViewerBits(const Bytes& kx) {
  Bytes copy(kx);
  SpiHandle info = nullptr;
  SpiHandle bits = nullptr;
  EXPECT_EQ(GetPicture(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(copy.size()), 1, &info, &bits,
                       nullptr, 0),
            0);
  const auto* data = static_cast<const std::uint8_t*>(HostLockBlock(bits));
  Bytes result(data, data + HostBlockBytes(bits));
  HostFreeBlock(info);
  HostFreeBlock(bits);
  return result;
}

Bytes KxPixels(const Bytes& kx) {
  const ImageSize size = ReadImageSize(kx.data());
  Bytes out(std::size_t(size.width) * size.height * 3);
  EXPECT_EQ(DecompressPixels(kx.data(), kx.size(), out.data(), out.size()), out.size());
  return out;
}

TEST_F(KxconvTest, EncodesEachFormatAndDecodesToEachFormat) {
  const Rgb picture = TestPicture(37, 23);  // odd width: BMP rows carry padding
  WriteFile(At("in.ppm"), PpmFile(picture));
  WriteFile(At("in.bmp"), BmpFile(picture, false));
  WriteFile(At("in-top-down.bmp"), BmpFile(picture, true));
  WritePng(At("in.png"), picture.width, picture.height, PNG_FORMAT_RGB, picture.rgb);

  for (const std::string in : {"in.ppm", "in.bmp", "in-top-down.bmp", "in.png"}) {
    const RunResult run = Kxconv("encode " + in + " out.kx");
    ASSERT_EQ(run.status, 0) << in << ": " << run.err;
    const Bytes kx = ReadFile(At("out.kx"));
    ASSERT_GE(kx.size(), kHeaderBytes) << in;
    EXPECT_EQ(CheckHeader(kx.data()), 1) << in;
    // The file stores blue, green, red, whatever the input's byte order.
    EXPECT_EQ(FirstDifference(Bgr(picture), KxPixels(kx)), "") << in;
  }

  ASSERT_EQ(Kxconv("decode out.kx back.ppm").status, 0);
  ASSERT_EQ(Kxconv("decode out.kx back.bmp").status, 0);
  ASSERT_EQ(Kxconv("decode out.kx back.PNG").status, 0);
  EXPECT_EQ(FirstDifference(picture.rgb, ReadPpm(ReadFile(At("back.ppm"))).rgb), "");
  EXPECT_EQ(FirstDifference(picture.rgb, ReadBmp(ReadFile(At("back.bmp"))).rgb), "");
  const Rgb png = ReadPng(At("back.PNG"));
  EXPECT_EQ(png.width, picture.width);
  EXPECT_EQ(FirstDifference(picture.rgb, png.rgb), "");
  // Outputs get the permissions of any new file, not the temporary file's
  // private ones.
  WriteFile(At("plain"), Bytes{1});
  EXPECT_EQ(fs::status(At("back.ppm")).permissions(), fs::status(At("plain")).permissions());
}

TEST_F(KxconvTest, EncodeConvertsPngKindsAndDropsAlpha) {
  const Rgb picture = TestPicture(9, 5);
  Bytes rgba;
  Bytes grey;
  Bytes indices;
  for (std::size_t k = 0; k < picture.rgb.size(); k += 3) {
    rgba.insert(rgba.end(), {picture.rgb[k], picture.rgb[k + 1], picture.rgb[k + 2], static_cast<std::uint8_t>(k)});
    grey.push_back(picture.rgb[k + 1]);
    indices.push_back(static_cast<std::uint8_t>(k / 3 % 4));
  }
  const Bytes colormap = {255, 0, 0, 0, 255, 0, 0, 0, 255, 10, 20, 30};
  WritePng(At("rgba.png"), 9, 5, PNG_FORMAT_RGBA, rgba);
  WritePng(At("grey.png"), 9, 5, PNG_FORMAT_GRAY, grey);
  WritePng(At("palette.png"), 9, 5, PNG_FORMAT_RGB_COLORMAP, indices, colormap);

  ASSERT_EQ(Kxconv("encode rgba.png rgba.kx").status, 0);
  EXPECT_EQ(FirstDifference(Bgr(picture), KxPixels(ReadFile(At("rgba.kx")))), "") << "alpha must just be dropped";

  ASSERT_EQ(Kxconv("encode grey.png grey.kx").status, 0);
  Bytes grey_bgr;
  for (const std::uint8_t g : grey) grey_bgr.insert(grey_bgr.end(), {g, g, g});
  EXPECT_EQ(FirstDifference(grey_bgr, KxPixels(ReadFile(At("grey.kx")))), "");

  ASSERT_EQ(Kxconv("encode palette.png palette.kx").status, 0);
  Bytes palette_bgr;
  for (const std::uint8_t i : indices) {
    palette_bgr.insert(palette_bgr.end(), {colormap[i * 3 + 2], colormap[i * 3 + 1], colormap[i * 3]});
  }
  EXPECT_EQ(FirstDifference(palette_bgr, KxPixels(ReadFile(At("palette.kx")))), "");
}

TEST_F(KxconvTest, DecodeShowsWhatAViewerShows) {
  const Rgb picture = TestPicture(30, 20);
  WriteFile(At("in.ppm"), PpmFile(picture));
  ASSERT_EQ(Kxconv("encode --level 1 in.ppm whole.kx").status, 0);
  const Bytes whole = ReadFile(At("whole.kx"));
  // Cut short, the stream leaves the rest of the picture to the decoder's
  // rules; a viewer still shows a full picture and so must kxconv.
  const Bytes cut(whole.begin(), whole.begin() + whole.size() / 2);
  WriteFile(At("cut.kx"), cut);
  for (const auto& [kx, name] : {std::pair{whole, "whole"}, std::pair{cut, "cut"}}) {
    const RunResult run = Kxconv(std::string("decode ") + name + ".kx " + name + ".bmp");
    ASSERT_EQ(run.status, 0) << run.err;
    const Bytes bmp = ReadFile(At(std::string(name) + ".bmp"));
    EXPECT_EQ(Bytes(bmp.begin() + Get32(bmp, 10), bmp.end()), ViewerBits(kx)) << name;
  }
  EXPECT_NE(Kxconv("decode cut.kx cut.ppm").err.find("cut.kx: warning: stream ended early at pixel"),
            std::string::npos);
}

// A whole file takes the library's whole-file decode, which chooses its
// threads itself: kxconv starts exactly the threads kx_decode starts for the
// file, where a decode in pieces, or on one thread, would start fewer.
// Counted by a preloaded pthread_create, natively only: not for another
// program under test (the Windows build under Wine), nor in a sanitized
// build, whose runtime must be the first library loaded.
TEST_F(KxconvTest, DecodeTakesTheLibrarysWholeFileDecode) {
#if defined(KX_THREAD_COUNT_PRELOAD)
  const char* other = std::getenv("KXCONV_UNDER_TEST");
  if (other != nullptr && *other != '\0') GTEST_SKIP() << "threads are counted in the native kxconv only";
  std::mt19937 rng(92);
  constexpr int kWidth = 4001;
  constexpr int kHeight = 2900;  // 34.8 MB of pixels: the prefault thread's size too
  WriteFile(At("large.kx"), MakeKx(kWidth, kHeight, LongCopyTokenStream(rng, std::size_t{3} * kWidth * kHeight)));
  const int library_threads = LibraryDecodeThreads(KX_SHARED_LIBRARY, At("large.kx").string(), KX_LAYOUT_BGR);
  ASSERT_GE(library_threads, 1) << "kx_decode starts no thread for this picture here: the paths look alike";
  setenv("LD_PRELOAD", KX_THREAD_COUNT_PRELOAD, 1);
  setenv("KX_THREAD_COUNT_FILE", At(".threads").c_str(), 1);
  const RunResult run = Kxconv("decode large.kx large.ppm");
  unsetenv("LD_PRELOAD");
  unsetenv("KX_THREAD_COUNT_FILE");
  ASSERT_EQ(run.status, 0) << run.err;
  // A line from each process of the command (kxconv's, and the shell's
  // when it did not hand over to kxconv).
  int started = 0;
  std::ifstream lines(At(".threads"));
  for (int n = 0; lines >> n;) started += n;
  EXPECT_EQ(started, library_threads);
#else
  GTEST_SKIP() << "a sanitized kxconv cannot take a preloaded library";
#endif
}

// A picture from a pipe, in uneven pieces with pauses between them (the
// header itself cut in two): the file a viewer shows, whole, cut short or
// followed by other bytes; what is no KX picture, refused as from a file.
TEST_F(KxconvTest, DecodeReadsStandardInputInPieces) {
  std::mt19937 rng(7);
  const int width = 150;
  const int height = 120;
  const Bytes whole = MakeKx(width, height, RandomTokenStream(rng, std::size_t{3} * width * height));
  const Bytes cut(whole.begin(), whole.begin() + whole.size() * 2 / 3);
  Bytes junk_after = whole;
  junk_after.insert(junk_after.end(), 70000, 0xC0);
  WriteFile(At("whole.kx"), whole);
  WriteFile(At("cut.kx"), cut);
  WriteFile(At("junk.kx"), junk_after);
  for (const auto& [kx, name] :
       {std::pair{whole, "whole"}, std::pair{cut, "cut"}, std::pair{junk_after, "junk"}}) {
    const std::string file = std::string(name) + ".kx";
    std::string feed = "head -c 7 ";
    feed.append(file).append("; sleep 0.1; tail -c +8 ").append(file);
    feed.append(" | head -c 1000; sleep 0.1; tail -c +1008 ").append(file);
    const RunResult run = Kxconv(std::string("decode - ") + name + ".bmp", feed);
    ASSERT_EQ(run.status, 0) << name << ": " << run.err;
    const Bytes bmp = ReadFile(At(std::string(name) + ".bmp"));
    ASSERT_GT(bmp.size(), 54u) << name;
    EXPECT_EQ(FirstDifference(ViewerBits(kx), Bytes(bmp.begin() + Get32(bmp, 10), bmp.end())), "") << name;
    EXPECT_EQ(run.err.find("kxconv: -: warning: stream ended early at pixel") != std::string::npos,
              std::string(name) == "cut")
        << name << " said: " << run.err;
  }
  const Bytes header_only(whole.begin(), whole.begin() + 16);
  WriteFile(At("header.kx"), header_only);
  EXPECT_EQ(Kxconv("decode - header.ppm", "cat header.kx").status, 0);
  const RunResult tiny = Kxconv("decode - tiny.png", "printf KX");
  EXPECT_EQ(tiny.status, 1);
  EXPECT_EQ(tiny.err, "kxconv: -: not a KX picture: 2 bytes, shorter than the 16-byte header\n");
  const RunResult other = Kxconv("decode - other.png", "printf 'P6 2 2 255 abcdefghijkl'");
  EXPECT_EQ(other.status, 1);
  EXPECT_EQ(other.err, "kxconv: -: not recognised as a KX picture (no \"KX\" mark at the start)\n");
  EXPECT_FALSE(fs::exists(At("tiny.png")));
  EXPECT_FALSE(fs::exists(At("other.png")));
}

TEST_F(KxconvTest, InfoDescribesEachFile) {
  WriteFile(At("in.ppm"), PpmFile(TestPicture(30, 20)));
  ASSERT_EQ(Kxconv("encode in.ppm good.kx").status, 0);
  ASSERT_EQ(Kxconv("encode --no-delta in.ppm raw.kx").status, 0);
  const Bytes good = ReadFile(At("good.kx"));
  WriteFile(At("cut.kx"), Bytes(good.begin(), good.begin() + 40));
  WriteFile(At("tiny.kx"), Bytes{'K', 'X', 0x83});

  RunResult run = Kxconv("info good.kx");
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "good.kx: recognised, coding 0x83, 30 x 20, stream " + std::to_string(good.size() - 16) +
                         " bytes, complete\n");

  run = Kxconv("info good.kx raw.kx cut.kx tiny.kx");
  EXPECT_EQ(run.status, 1) << "files a reader refuses or cannot show in full";
  const std::string out = run.out;
  EXPECT_NE(out.find("raw.kx: not recognised (coding byte 0x03"), std::string::npos) << out;
  EXPECT_NE(out.find("coding 0x03, 30 x 20"), std::string::npos) << out;
  // The first 24 stream bytes of a picture this varied cover only a few
  // pixels; the line names the first pixel the stream did not finish.
  Bytes partial(30 * 20 * 3);
  const std::size_t produced = DecompressPixels(good.data(), 40, partial.data(), partial.size());
  ASSERT_LT(produced, partial.size());
  EXPECT_NE(out.find("cut.kx: recognised, coding 0x83, 30 x 20, stream 24 bytes, stream ended early at pixel " +
                     std::to_string(produced / 3) + " of 600\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("tiny.kx: not recognised (only 3 bytes"), std::string::npos) << out;
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);
}

TEST_F(KxconvTest, FailuresNameTheFileAndLeaveNoOutput) {
  const std::string junk = "not an image, whatever its name says";
  WriteFile(At("junk.png"), Bytes(junk.begin(), junk.end()));
  WriteFile(At("tiny.kx"), Bytes{'K', 'X', 0x83, 3});
  const std::string huge_header = "P6\n9000 10\n255\n";
  WriteFile(At("huge.ppm"), Bytes(huge_header.begin(), huge_header.end()));
  Bytes truncated_ppm = PpmFile(TestPicture(8, 8));
  truncated_ppm.resize(truncated_ppm.size() - 5);
  WriteFile(At("short.ppm"), truncated_ppm);
  WriteFile(At("eight.bmp"), [] {
    Bytes bmp = BmpFile(TestPicture(4, 4), false);
    bmp[28] = 8;
    return bmp;
  }());
  const std::vector<std::string> before = Listing(dir_);

  const struct {
    std::string args;
    std::string message;
  } cases[] = {
      // The Windows build reads more formats through WIC and names them too.
      {"encode junk.png out.kx", "kxconv: junk.png: not a PNG, BMP"},
      {"encode huge.ppm out.kx", "kxconv: huge.ppm: 9000 x 10 pixels, more than 8192 on a side"},
      {"encode short.ppm out.kx", "kxconv: short.ppm: damaged PPM: the pixels are cut short\n"},
      {"encode eight.bmp out.kx", "kxconv: eight.bmp: a BMP with 8 bits per pixel; only 24-bit BMP files are read\n"},
      {"encode missing.ppm out.kx", "kxconv: missing.ppm: cannot open: No such file or directory\n"},
      {"decode junk.png out.png", "kxconv: junk.png: not recognised as a KX picture (no \"KX\" mark at the start)\n"},
      {"decode short.ppm out.png", "kxconv: short.ppm: not recognised as a KX picture"},
      {"decode tiny.kx out.png", "kxconv: tiny.kx: not a KX picture: 4 bytes, shorter than the 16-byte header\n"},
  };
  for (const auto& c : cases) {
    const RunResult run = Kxconv(c.args);
    EXPECT_EQ(run.status, 1) << c.args;
    EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << c.args << " said: " << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << c.args << " said: " << run.err;
    EXPECT_EQ(Listing(dir_), before) << c.args << " left a file behind";
  }

  // An output that cannot be written: its folder does not exist.
  WriteFile(At("in.ppm"), PpmFile(TestPicture(4, 4)));
  const RunResult run = Kxconv("encode in.ppm no-such-folder/out.kx");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("kxconv: in.ppm: cannot create a file in no-such-folder"), std::string::npos) << run.err;
}

// A bottom-up 24-bit BMP with an info header of `header_bytes` (12: the
// oldest form, 16-bit sizes), a colour table of `palette_entries` and `gap`
// bytes before the pixels.
Bytes BmpFileWithHeader(const Rgb& p, std::uint32_t header_bytes, std::uint32_t palette_entries, std::size_t gap) {
  const Bytes plain = BmpFile(p, false);
  const std::size_t entry_bytes = header_bytes == 12 ? 3 : 4;
  const std::size_t pixels_at = 14 + header_bytes + palette_entries * entry_bytes + gap;
  Bytes file(pixels_at, 0x5A);
  std::copy_n(plain.begin(), 14, file.begin());
  std::fill(file.begin() + 14, file.begin() + 14 + header_bytes, 0);
  Put32(&file, 10, static_cast<std::uint32_t>(pixels_at));
  Put32(&file, 14, header_bytes);
  if (header_bytes == 12) {
    file[18] = static_cast<std::uint8_t>(p.width);
    file[20] = static_cast<std::uint8_t>(p.height);
    file[22] = 1;
    file[24] = 24;
  } else {
    std::copy_n(plain.begin() + 18, 36, file.begin() + 18);
    Put32(&file, 46, palette_entries);
  }
  file.insert(file.end(), plain.begin() + 54, plain.end());
  Put32(&file, 2, static_cast<std::uint32_t>(file.size()));
  return file;
}

// Headers a BMP reader must not believe: refused with exit 1, one line that
// says why, and no output; the forms next to them are read pixel for pixel.
TEST_F(KxconvTest, BmpHeadersAreCheckedBeforeThePixelsAreTaken) {
  const Rgb picture = TestPicture(5, 4);
  const Bytes good = BmpFile(picture, false);
  const auto with = [&](std::size_t at, std::uint32_t value, int width_bytes) {
    Bytes b = good;
    for (int k = 0; k < width_bytes; ++k) b[at + k] = static_cast<std::uint8_t>(value >> (8 * k));
    return b;
  };
  const struct {
    const char* name;
    Bytes file;
    std::string message;  // empty: read, and its pixels are the picture's
  } cases[] = {
      {"pixels at 0", with(10, 0, 4), "damaged BMP: the pixels start at byte 0, inside the headers (54 bytes)"},
      {"pixels at 14", with(10, 14, 4), "damaged BMP: the pixels start at byte 14, inside the headers (54 bytes)"},
      {"pixels at 53", with(10, 53, 4), "damaged BMP: the pixels start at byte 53, inside the headers (54 bytes)"},
      {"pixels in the colour table",
       [&] {
         Bytes b = BmpFileWithHeader(picture, 40, 3, 0);
         Put32(&b, 10, 62);
         return b;
       }(),
       "damaged BMP: the pixels start at byte 62, inside the headers (66 bytes)"},
      {"oldest form, pixels at 0",
       [&] {
         Bytes b = BmpFileWithHeader(picture, 12, 0, 0);
         Put32(&b, 10, 0);
         return b;
       }(),
       "damaged BMP: the pixels start at byte 0, inside the headers (26 bytes)"},
      {"pixels past the end", with(10, static_cast<std::uint32_t>(good.size()) + 64, 4),
       "damaged BMP: the pixel rows are cut short"},
      {"pixels at 4294967295", with(10, 0xFFFFFFFFu, 4), "damaged BMP: the pixel rows are cut short"},
      {"pixels at the end", with(10, static_cast<std::uint32_t>(good.size()), 4),
       "damaged BMP: the pixel rows are cut short"},
      {"header size 0", with(14, 0, 4), "damaged BMP: unknown header size 0"},
      {"header size 41", with(14, 41, 4), "damaged BMP: unknown header size 41"},
      {"header size 4096", with(14, 4096, 4), "damaged BMP: unknown header size 4096"},
      {"a 124-byte header in a shorter file", with(14, 124, 4),  // 118 bytes
       "damaged BMP: the headers are cut short"},
      {"0 planes", with(26, 0, 2), "damaged BMP: 0 colour planes"},
      {"height -2147483648", with(22, 0x80000000u, 4), "5 x 2147483648 pixels, more than 8192 on a side"},
      {"width -2147483648", with(18, 0x80000000u, 4), "an empty picture (-2147483648 x 4)"},
      {"height -8193", with(22, static_cast<std::uint32_t>(-8193), 4), "5 x 8193 pixels, more than 8192 on a side"},
      {"oldest form", BmpFileWithHeader(picture, 12, 0, 0), ""},
      {"108-byte header", BmpFileWithHeader(picture, 108, 0, 0), ""},
      {"124-byte header, 2 colours, a gap", BmpFileWithHeader(picture, 124, 2, 7), ""},
      {"40-byte header, 256 colours", BmpFileWithHeader(picture, 40, 256, 0), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteFile(At("in.bmp"), c.file);
    const std::vector<std::string> before = Listing(dir_);
    const RunResult run = Kxconv("encode in.bmp out.kx");
    if (c.message.empty()) {
      ASSERT_EQ(run.status, 0) << run.err;
      EXPECT_EQ(FirstDifference(Bgr(picture), KxPixels(ReadFile(At("out.kx")))), "");
      fs::remove(At("out.kx"));
      continue;
    }
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("kxconv: in.bmp: " + c.message, 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_EQ(Listing(dir_), before) << "left a file behind";
  }
}

TEST_F(KxconvTest, SeveralInputsGoToTheOutputFolder) {
  WriteFile(At("a.ppm"), PpmFile(TestPicture(5, 4)));
  WriteFile(At("b.bmp"), BmpFile(TestPicture(6, 3), false));
  WriteFile(At("c.txt"), Bytes{'h', 'i'});
  fs::create_directory(At("kx"));
  fs::create_directory(At("png"));

  RunResult run = Kxconv("encode -o kx --level 9 a.ppm c.txt b.bmp");
  EXPECT_EQ(run.status, 1) << "c.txt is not a picture";
  EXPECT_NE(run.err.find("kxconv: c.txt: "), std::string::npos);
  EXPECT_EQ(run.err.find('\r'), std::string::npos) << "no progress line when stderr is not a terminal";
  EXPECT_EQ(Listing(At("kx")), (std::vector<std::string>{"a.kx", "b.kx"}));

  run = Kxconv("decode -o png kx/a.kx kx/b.kx");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Listing(At("png")), (std::vector<std::string>{"a.png", "b.png"}));
  EXPECT_EQ(FirstDifference(TestPicture(6, 3).rgb, ReadPng(At("png/b.png")).rgb), "");

  run = Kxconv("decode -o png --format ppm kx/a.kx");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(FirstDifference(TestPicture(5, 4).rgb, ReadPpm(ReadFile(At("png/a.ppm"))).rgb), "");

  // Two inputs that would land on one output name: the second is refused.
  fs::create_directory(At("again"));
  WriteFile(At("a.bmp"), BmpFile(TestPicture(2, 2), false));
  run = Kxconv("encode -o again a.ppm a.bmp");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("kxconv: a.bmp: would overwrite again/a.kx"), std::string::npos) << run.err;
  EXPECT_EQ(KxPixels(ReadFile(At("again/a.kx"))), Bgr(TestPicture(5, 4)));
}

// A run again with --skip-existing converts only what is missing and leaves
// what exists as it is; --verify passes every good conversion and changes
// no byte of it, in each direction, batch and one-by-one.
TEST_F(KxconvTest, SkipExistingConvertsWhatIsMissingAndVerifyChangesNothing) {
  WriteFile(At("a.ppm"), PpmFile(TestPicture(5, 4)));
  WriteFile(At("b.bmp"), BmpFile(TestPicture(6, 3), false));
  WriteFile(At("c.ppm"), PpmFile(TestPicture(300, 200)));
  for (const std::string dir : {"plain", "kx", "png", "bmp", "ppm"}) fs::create_directory(At(dir));
  ASSERT_EQ(Kxconv("encode -o plain -j 1 a.ppm b.bmp c.ppm").status, 0);
  for (const std::string threads : {"1", "2"}) {
    fs::remove_all(At("kx"));
    fs::create_directory(At("kx"));
    const RunResult run = Kxconv("encode -o kx --verify --skip-existing -j " + threads + " a.ppm b.bmp c.ppm");
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* name : {"a.kx", "b.kx", "c.kx"}) {
      EXPECT_EQ(ReadFile(At("kx") / name), ReadFile(At("plain") / name)) << name << ", " << threads << " threads";
    }
  }
  const Bytes b_kx = ReadFile(At("kx/b.kx"));
  WriteFile(At("kx/a.kx"), Bytes{'o', 'l', 'd'});
  fs::remove(At("kx/b.kx"));
  RunResult run = Kxconv("encode -o kx --skip-existing -j 2 a.ppm b.bmp c.ppm");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(ReadFile(At("kx/a.kx")), (Bytes{'o', 'l', 'd'})) << "an existing output is left as it is";
  EXPECT_EQ(ReadFile(At("kx/b.kx")), b_kx) << "a missing one is made again";
  EXPECT_NE(run.err.find("2 output(s) already there"), std::string::npos) << run.err;
  EXPECT_EQ(Kxconv("encode -o kx a.ppm").status, 0);
  EXPECT_EQ(KxPixels(ReadFile(At("kx/a.kx"))), Bgr(TestPicture(5, 4))) << "without the option it is written";

  for (const std::string format : {"png", "bmp", "ppm"}) {
    std::string into = "decode -o ";
    into += format;
    into += " --format ";
    into += format;
    run = Kxconv(into + " --verify kx/a.kx kx/b.kx kx/c.kx");
    EXPECT_EQ(run.status, 0) << format << ": " << run.err;
    EXPECT_EQ(Listing(At(format)), (std::vector<std::string>{"a." + format, "b." + format, "c." + format}));
    fs::remove(At(format) / ("b." + format));
    run = Kxconv(into + " --skip-existing --verify kx/a.kx kx/b.kx kx/c.kx");
    EXPECT_EQ(run.status, 0) << format << ": " << run.err;
    EXPECT_NE(run.err.find("2 output(s) already there"), std::string::npos) << run.err;
  }
  EXPECT_EQ(FirstDifference(TestPicture(6, 3).rgb, ReadPng(At("png/b.png")).rgb), "");
  EXPECT_EQ(FirstDifference(TestPicture(6, 3).rgb, ReadBmp(ReadFile(At("bmp/b.bmp"))).rgb), "");
  EXPECT_EQ(FirstDifference(TestPicture(300, 200).rgb, ReadPpm(ReadFile(At("ppm/c.ppm"))).rgb), "");
  EXPECT_EQ(Kxconv("decode --verify kx/c.kx one.png").status, 0);
  EXPECT_EQ(FirstDifference(TestPicture(300, 200).rgb, ReadPng(At("one.png")).rgb), "");
}

TEST_F(KxconvTest, BadUsageExitsWithTwo) {
  WriteFile(At("in.ppm"), PpmFile(TestPicture(4, 4)));
  for (const std::string args : {"",
                                 "convert in.ppm out.kx",
                                 "encode in.ppm",
                                 "encode in.ppm a.kx b.kx",
                                 "encode --level 0 in.ppm out.kx",
                                 "encode --level 10 in.ppm out.kx",
                                 "encode --level in.ppm out.kx",
                                 "encode in.ppm out.png",
                                 "decode in.kx out.gif",
                                 "decode --no-delta in.kx out.png",
                                 "decode --format gif in.kx out",
                                 "encode --format png in.ppm out.kx",
                                 "encode --format in.ppm out.kx",
                                 "encode -o . --name x in.ppm",
                                 "info --name x in.ppm",
                                 "encode in.ppm out.kx --name",
                                 "decode -o missing-folder in.kx",
                                 "info",
                                 "info -o . in.kx",
                                 "encode --bogus in.ppm out.kx",
                                 "encode -j 0 in.ppm out.kx",
                                 "encode -j 257 in.ppm out.kx",
                                 "encode -j 2x in.ppm out.kx",
                                 "encode -j -1 in.ppm out.kx",
                                 "encode in.ppm out.kx -j",
                                 "decode -j 2 in.kx out.png",
                                 "info --verify in.kx",
                                 "info --skip-existing in.kx",
                                 "encode --decode-speed 10 in.ppm out.kx",
                                 "encode --decode-speed -1 in.ppm out.kx",
                                 "encode --decode-speed x in.ppm out.kx",
                                 "encode in.ppm out.kx --decode-speed",
                                 "decode --decode-speed 1 in.kx out.png"}) {
    const RunResult run = Kxconv(args);
    EXPECT_EQ(run.status, 2) << "kxconv " << args;
    EXPECT_NE(run.err.find("kxconv: "), std::string::npos) << "kxconv " << args;
  }
  EXPECT_EQ(Listing(dir_), (std::vector<std::string>{"in.ppm"}));

  const RunResult help = Kxconv("--help");
  EXPECT_EQ(help.status, 0);
  for (const char* word :
       {"decode", "encode", "info", "--level", "--decode-speed", "--no-delta", "-o DIR", "-j N", "Exit status"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  EXPECT_EQ(Kxconv("encode --help").status, 0);
}

// Programs that convert through kxconv (ImageMagick's and GraphicsMagick's
// delegates) hand it temporary files with names of their own: --format says
// what to write whatever the name, --name what messages call the input.
TEST_F(KxconvTest, FormatAndNameServeProgramsThatNameTheFiles) {
  const Rgb picture = TestPicture(7, 5);
  WriteFile(At("in.ppm"), PpmFile(picture));
  ASSERT_EQ(Kxconv("encode --format kx in.ppm picture.png").status, 0);
  const Bytes kx = ReadFile(At("picture.png"));
  ASSERT_GE(kx.size(), kHeaderBytes);
  EXPECT_EQ(CheckHeader(kx.data()), 1);
  EXPECT_EQ(FirstDifference(Bgr(picture), KxPixels(kx)), "");
  ASSERT_EQ(Kxconv("decode --format png -- picture.png temp-name").status, 0);
  EXPECT_EQ(FirstDifference(picture.rgb, ReadPng(At("temp-name")).rgb), "");
  ASSERT_EQ(Kxconv("decode --format bmp picture.png looks-like.png").status, 0);
  EXPECT_EQ(FirstDifference(picture.rgb, ReadBmp(ReadFile(At("looks-like.png"))).rgb), "");

  WriteFile(At("tiny"), Bytes{'K', 'X', 0x83, 3});
  const std::string huge_header = "P6\n9000 10\n255\n";
  WriteFile(At("huge"), Bytes(huge_header.begin(), huge_header.end()));
  const std::vector<std::string> before = Listing(dir_);
  const struct {
    std::string args;
    std::string message;
  } cases[] = {
      {"decode --format png --name holiday.kx -- tiny out", "kxconv: holiday.kx: not a KX picture: 4 bytes"},
      {"encode --format kx --name 'my scan.png' huge out", "kxconv: my scan.png: 9000 x 10 pixels, more than 8192"},
      {"encode --format kx --name '' huge out", "kxconv: huge: 9000 x 10 pixels"},
  };
  for (const auto& c : cases) {
    const RunResult run = Kxconv(c.args);
    EXPECT_EQ(run.status, 1) << c.args;
    EXPECT_EQ(run.err.rfind(c.message, 0), 0u) << c.args << " said: " << run.err;
    EXPECT_EQ(Listing(dir_), before) << c.args << " left a file behind";
  }
}

// ImageMagick hands its delegates a link, in its temporary folder, to the
// file asked for, and afterwards renames what was written there over that
// file, deleting it when the rename fails (another file system) yet
// reporting success: --linked-output refuses such an output before writing.
// The Windows build has no such links; the case needs a second file system
// (/dev/shm), and is left out where there is none.
TEST_F(KxconvTest, LinkedOutputOnAnotherFileSystemIsRefused) {
  if (std::getenv("KXCONV_UNDER_TEST") != nullptr) GTEST_SKIP() << "native links only";
  WriteFile(At("in.ppm"), PpmFile(TestPicture(4, 3)));
  fs::create_directory(At("asked"));
  fs::create_symlink(At("asked") / "out.kx", At("link-here"));
  ASSERT_EQ(Kxconv("encode --format kx --linked-output in.ppm link-here").status, 0);
  EXPECT_EQ(CheckHeader(ReadFile(At("link-here")).data()), 1);

  char pattern[] = "/dev/shm/kxconv_test.XXXXXX";
  struct stat here {};
  struct stat shm {};
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "no /dev/shm";
  const fs::path other = pattern;
  const bool elsewhere = stat(dir_.c_str(), &here) == 0 && stat(other.c_str(), &shm) == 0 && here.st_dev != shm.st_dev;
  if (elsewhere) {
    fs::create_symlink(other / "out.kx", At("link-there"));
    const RunResult run = Kxconv("encode --format kx --linked-output --name in.png in.ppm link-there");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("kxconv: in.png: not written: ", 0), 0u) << run.err;
    EXPECT_NE(run.err.find(other.string()), std::string::npos) << run.err;
    EXPECT_TRUE(fs::is_symlink(At("link-there")));
    EXPECT_FALSE(fs::exists(other / "out.kx"));
    // Without the option, the same output is written.
    EXPECT_EQ(Kxconv("encode --format kx in.ppm link-there").status, 0);
  }
  fs::remove_all(other);
  if (!elsewhere) GTEST_SKIP() << "/dev/shm is on the same file system as " << dir_;
}

TEST_F(KxconvTest, ThreadsChangeNeitherFilesNorMessages) {
  // Larger than one of the writer's stretches, so that one picture is
  // shared out between threads.
  const Rgb big = TestPicture(400, 300);
  WriteFile(At("big.ppm"), PpmFile(big));
  WriteFile(At("small.ppm"), PpmFile(TestPicture(20, 10)));
  WriteFile(At("bad.ppm"), Bytes{'P', '6'});
  WriteFile(At("small.bmp"), BmpFile(TestPicture(3, 3), false));
  Bytes default_file;
  for (const std::string parse : {"--level 1", "--level 6", "--level 9", "--decode-speed 9"}) {
    ASSERT_EQ(Kxconv("encode " + parse + " -j 1 big.ppm one.kx").status, 0);
    ASSERT_EQ(Kxconv("encode " + parse + " -j 3 big.ppm three.kx").status, 0);
    EXPECT_EQ(ReadFile(At("one.kx")), ReadFile(At("three.kx"))) << parse;
    EXPECT_EQ(FirstDifference(Bgr(big), KxPixels(ReadFile(At("three.kx")))), "") << parse;
    if (parse == "--level 6") default_file = ReadFile(At("one.kx"));
  }
  // The decode speed reached the writer: its parse is not the default's.
  EXPECT_NE(ReadFile(At("one.kx")), default_file);

  // Batches: more pictures than threads (whole pictures in parallel) and
  // fewer (each shared out), with a failure and two inputs for one output.
  const std::string inputs = " big.ppm small.ppm bad.ppm small.bmp big.ppm";
  RunResult reference;
  for (const std::string threads : {"1", "2", "8"}) {
    const fs::path out = At("out-" + threads);
    fs::create_directory(out);
    std::string command = "encode -j " + threads;
    command += " -o out-" + threads;
    command += inputs;
    const RunResult run = Kxconv(command);
    EXPECT_EQ(run.status, 1) << threads;
    EXPECT_EQ(Listing(out), (std::vector<std::string>{"big.kx", "small.kx"})) << threads;
    EXPECT_EQ(ReadFile(out / "big.kx"), ReadFile(At("out-1") / "big.kx")) << threads;
    EXPECT_EQ(KxPixels(ReadFile(out / "small.kx")), Bgr(TestPicture(20, 10))) << threads << ": the first input wins";
    if (threads == "1") {
      reference = run;
      EXPECT_NE(run.err.find("kxconv: bad.ppm: "), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("kxconv: small.bmp: would overwrite out-1/small.kx"), std::string::npos) << run.err;
      EXPECT_NE(run.err.find("kxconv: big.ppm: would overwrite out-1/big.kx"), std::string::npos) << run.err;
    } else {
      std::string expected = reference.err;
      for (std::size_t at = 0; (at = expected.find("out-1/", at)) != std::string::npos; at += 6) {
        expected.replace(at, 6, "out-" + threads + "/");
      }
      EXPECT_EQ(run.err, expected) << threads << " threads: the same messages in the same order";
    }
  }
}

}  // namespace
