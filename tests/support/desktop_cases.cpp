#include "tests/support/desktop_cases.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

#include "codec/format/bitmap.h"
#include "codec/reference/row_store.h"
#include "tests/support/plugin_api.h"
#include "writer/encode.h"

using namespace kx;

namespace {

std::filesystem::path DataDir() { return std::filesystem::path(KX_TEST_DATA_DIR); }

// Smooth gradients with a little noise, as a photograph gives: blue, green,
// red bytes, top row first.
Bytes PhotographLike(int width, int height, std::mt19937& rng) {
  Bytes pixels;
  pixels.reserve(std::size_t(width) * height * 3);
  std::uniform_int_distribution<int> noise(-3, 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels.push_back(static_cast<std::uint8_t>((x * 255 / width + noise(rng)) & 0xFF));
      pixels.push_back(static_cast<std::uint8_t>((y * 255 / height + noise(rng)) & 0xFF));
      pixels.push_back(static_cast<std::uint8_t>(((x + y) / 3 + noise(rng)) & 0xFF));
    }
  }
  return pixels;
}

Bytes Encode(const Bytes& pixels, int width, int height) {
  const EncodeOptions options{};
  Bytes work(EncodeWorkBytes(options));
  Bytes file(EncodeBoundBytes(width, height));
  file.resize(EncodeImage(pixels.data(), width, height, options, work.data(), file.data(), file.size()));
  return file;
}

PictureFile Written(const std::string& name, const Bytes& bytes) { return {name, WriteTempFile(name, bytes)}; }

}  // namespace

std::vector<PictureFile> GoodPictures() {
  std::vector<PictureFile> files;
  for (const auto& entry : std::filesystem::directory_iterator(DataDir() / "decode")) {
    if (entry.path().extension() == ".kx") files.push_back({entry.path().filename().string(), entry.path().string()});
  }
  std::mt19937 rng(91);
  const Bytes photo = Encode(PhotographLike(640, 480, rng), 640, 480);
  files.push_back(Written("photo-640x480.kx", photo));
  files.push_back(Written("cut-photo-640x480.kx", Bytes(photo.begin(), photo.begin() + long(photo.size() / 2))));
  Bytes junk_after = Encode(PhotographLike(64, 64, rng), 64, 64);
  const Bytes junk = RandomBytes(rng, 100000);
  junk_after.insert(junk_after.end(), junk.begin(), junk.end());
  files.push_back(Written("junk-after-64x64.kx", junk_after));
  files.push_back(Written("noise-333x7.kx", Encode(RandomBytes(rng, 333 * 7 * 3), 333, 7)));
  files.push_back(Written("one-1x1.kx", Encode(RandomBytes(rng, 3), 1, 1)));
  files.push_back(Written("column-1x300.kx", Encode(PhotographLike(1, 300, rng), 1, 300)));
  files.push_back(Written("wide-9000x3.kx", MakeKx(9000, 3, RandomTokenStream(rng, 9000 * 3 * 3))));
  files.push_back(Written("no-delta-50x41.kx", MakeKx(50, 41, RandomTokenStream(rng, 50 * 41 * 3), 0x03)));
  return files;
}

PictureFile LargePicture() {
  constexpr int kWidth = 4001;
  constexpr int kHeight = 2900;
  static_assert(std::size_t{3} * kWidth * kHeight > (std::size_t{32} << 20), "");
  std::mt19937 rng(92);
  return Written("large-4001x2900.kx",
                 MakeKx(kWidth, kHeight, LongCopyTokenStream(rng, std::size_t{3} * kWidth * kHeight)));
}

std::vector<RefusedFile> RefusedPictures() {
  const std::filesystem::path dir = DataDir() / "damaged";
  const auto file = [&dir](const char* name) { return PictureFile{name, (dir / name).string()}; };
  return {
      {file("empty.kx"), "Not a KX image (shorter than its 16-byte header)"},
      {file("ten-bytes.kx"), "Not a KX image (shorter than its 16-byte header)"},
      {file("not-kx.kx"), "Not a KX image"},
      {file("not-kx-4x4.kx"), "Not a KX image"},
      {file("icon-16x16.ico"), "Not a KX image"},
      {file("zero-width.kx"), "KX image has no pixels (0 \u00d7 10)"},
      {file("too-large-32767.kx"), "KX image too large (32767 \u00d7 32767)"},
  };
}

RgbPicture PluginRgb(const std::string& path) {
  const HostPicture host = FetchFromFile(path);
  RgbPicture picture;
  PictureLayout layout{};
  if (host.result != 0 || host.info.size() < 12) return picture;
  const auto le32 = [&host](std::size_t at) {
    return int(host.info[at] | host.info[at + 1] << 8 | host.info[at + 2] << 16 | host.info[at + 3] << 24);
  };
  if (PlanPicture(le32(4), le32(8), &layout) != LayoutStatus::kOk || host.bits.size() < layout.bits_bytes) {
    return picture;
  }
  picture.width = layout.width;
  picture.height = layout.height;
  picture.rows.resize(layout.total_bytes);
  BitmapToRgbRows(host.bits.data(), layout, picture.rows.data(), layout.row_bytes);
  return picture;
}

RgbPicture TightRows(const std::uint8_t* pixels, int width, int height, std::size_t stride_bytes) {
  RgbPicture picture;
  picture.width = width;
  picture.height = height;
  const std::size_t row_bytes = std::size_t(width) * 3;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* const row = pixels + std::size_t(y) * stride_bytes;
    picture.rows.insert(picture.rows.end(), row, row + row_bytes);
  }
  return picture;
}

std::string RgbDifference(const RgbPicture& want, const RgbPicture& got) {
  if (got.width != want.width || got.height != want.height) {
    return std::to_string(got.width) + "x" + std::to_string(got.height) + ", expected " + std::to_string(want.width) +
           "x" + std::to_string(want.height);
  }
  return FirstDifference(want.rows, got.rows);
}

Bytes ReadWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}
