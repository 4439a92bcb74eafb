// A photograph opened through one gdk-pixbuf process as KX, as JPEG and as
// PNG, and the plug-in's GetPicture on it against the fresh-block floor:
// what a program showing pictures pays for each format.
//
//   pixbuf_formats_bench [--rounds N] PHOTO.ppm...      (default 15 rounds)
//
// Beside each PHOTO.ppm (the photograph's pixels, as `djpeg -ppm` writes
// them) the run expects PHOTO.kx (written by `kxconv encode` at the default
// level), PHOTO-s6.kx (`kxconv encode --decode-speed 6`), PHOTO-q90.jpg
// (`cjpeg -quality 90`: 4:2:0) and PHOTO-q75.jpg (`cjpeg` without options);
// bench/pixbuf_formats.sh makes them. The run writes PHOTO.png itself with
// gdk-pixbuf's PNG writer and no options (libpng's defaults: zlib level 6,
// adaptive filters). The KX loader is the build's, through its own loaders
// cache; JPEG and PNG are gdk-pixbuf's built-in loaders.
//
// Each round loads every file of a photograph once by gdk_pixbuf_new_from_file,
// the order turning each round, then runs GetPicture (memory mode, blocks
// freed) and the floor in turn, the first of the two alternating. The floor
// is the plug-in's least possible work: the bitmap's bytes copied by memcpy
// into a freshly allocated block of its size. Every large block is fresh
// (glibc's mmap threshold fixed, as plugin_timing fixes it), as a viewer's
// first picture is. Each load is timed in wall time and in CPU time of the
// whole process, which counts the work of any second thread too; the ratios
// printed are medians of the per-round ratios. Before anything is timed,
// every picture is checked: KX, PNG and GetPicture exact against the PPM,
// JPEG its size.
#include <gdk-pixbuf/gdk-pixbuf.h>
#include <malloc.h>
#include <time.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/format/bitmap.h"
#include "codec/reference/row_store.h"
#include "platform/platform.h"
#include "plugin/spi.h"

using namespace kx;

namespace {

using Bytes = std::vector<std::uint8_t>;
constexpr SpiUint kMemoryMode = 1;

struct Ppm {
  int width = 0;
  int height = 0;
  Bytes rgb;  // top-down rows, 3 bytes a pixel, no padding
};

bool ReadFile(const std::string& path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

// One number of a binary PPM's header, after whitespace and comments.
bool PpmNumber(const Bytes& b, std::size_t* at, int* value) {
  while (*at < b.size() && (b[*at] == '#' || std::isspace(b[*at]))) {
    if (b[*at] == '#') {
      while (*at < b.size() && b[*at] != '\n') ++*at;
    } else {
      ++*at;
    }
  }
  long v = 0;
  const std::size_t start = *at;
  while (*at < b.size() && std::isdigit(b[*at]) && v < 100000) v = v * 10 + (b[(*at)++] - '0');
  *value = static_cast<int>(v);
  return *at > start;
}

bool ReadPpm(const std::string& path, Ppm* ppm) {
  Bytes b;
  if (!ReadFile(path, &b) || b.size() < 2 || b[0] != 'P' || b[1] != '6') return false;
  std::size_t at = 2;
  int maxval = 0;
  if (!PpmNumber(b, &at, &ppm->width) || !PpmNumber(b, &at, &ppm->height) || !PpmNumber(b, &at, &maxval) ||
      maxval != 255 || at >= b.size()) {
    return false;
  }
  ++at;  // the one whitespace byte before the pixels
  const std::size_t bytes = std::size_t(ppm->width) * std::size_t(ppm->height) * 3;
  if (b.size() - at < bytes) return false;
  ppm->rgb.assign(b.begin() + std::ptrdiff_t(at), b.begin() + std::ptrdiff_t(at + bytes));
  return true;
}

Bytes RgbOfPixbuf(const GdkPixbuf* pixbuf) {
  Bytes rgb;
  const int width = gdk_pixbuf_get_width(pixbuf);
  const int channels = gdk_pixbuf_get_n_channels(pixbuf);
  const std::size_t stride_bytes = std::size_t(gdk_pixbuf_get_rowstride(pixbuf));
  const guint8* const pixels = gdk_pixbuf_read_pixels(pixbuf);
  for (int y = 0; y < gdk_pixbuf_get_height(pixbuf); ++y) {
    const guint8* row = pixels + std::size_t(y) * stride_bytes;
    for (int x = 0; x < width; ++x, row += channels) rgb.insert(rgb.end(), row, row + 3);
  }
  return rgb;
}

struct Stamp {
  std::chrono::steady_clock::time_point wall;
  double cpu_seconds;
};

Stamp Now() {
  timespec cpu{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &cpu);
  return Stamp{std::chrono::steady_clock::now(), double(cpu.tv_sec) + 1e-9 * double(cpu.tv_nsec)};
}

struct Times {
  std::vector<double> wall_ms;
  std::vector<double> cpu_ms;
  void Add(const Stamp& start, const Stamp& stop) {
    wall_ms.push_back(1e3 * std::chrono::duration<double>(stop.wall - start.wall).count());
    cpu_ms.push_back(1e3 * (stop.cpu_seconds - start.cpu_seconds));
  }
};

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

double MedianRatio(const std::vector<double>& a, const std::vector<double>& b) {
  std::vector<double> ratios;
  for (std::size_t i = 0; i < a.size(); ++i) ratios.push_back(a[i] / b[i]);
  return Median(ratios);
}

struct File {
  const char* name;
  std::string path;
  std::size_t bytes;
  Times times;
};

// gdk_pixbuf_new_from_file and the pixbuf freed: what opening it costs.
bool LoadOnce(const std::string& path, Bytes* keep, int* width, int* height) {
  GError* error = nullptr;
  GdkPixbuf* const pixbuf = gdk_pixbuf_new_from_file(path.c_str(), &error);
  if (pixbuf == nullptr) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error != nullptr ? error->message : "no picture");
    if (error != nullptr) g_error_free(error);
    return false;
  }
  if (keep != nullptr) *keep = RgbOfPixbuf(pixbuf);
  if (width != nullptr) *width = gdk_pixbuf_get_width(pixbuf);
  if (height != nullptr) *height = gdk_pixbuf_get_height(pixbuf);
  g_object_unref(pixbuf);
  return true;
}

// GetPicture in memory mode, both blocks freed; the bitmap's bits_bytes
// kept when asked.
bool GetPictureOnce(const Bytes& kx, std::size_t bits_bytes, Bytes* keep_bitmap) {
  SpiHandle info = nullptr;
  SpiHandle bits = nullptr;
  if (GetPicture(reinterpret_cast<char*>(const_cast<std::uint8_t*>(kx.data())), static_cast<SpiLong>(kx.size()),
                 kMemoryMode, &info, &bits, nullptr, 0) != kSpiSuccess) {
    return false;
  }
  if (keep_bitmap != nullptr) {
    const auto* const p = static_cast<const std::uint8_t*>(LockBlock(bits));
    keep_bitmap->assign(p, p + bits_bytes);
  }
  FreeBlock(info);
  FreeBlock(bits);
  return true;
}

// The floor: the bitmap's bytes into a fresh block of their size.
bool FloorOnce(const Bytes& bitmap) {
  auto* const block = static_cast<std::uint8_t*>(std::malloc(bitmap.size()));
  if (block == nullptr) return false;
  std::memcpy(block, bitmap.data(), bitmap.size());
  const bool written = block[bitmap.size() / 2] == bitmap[bitmap.size() / 2];  // keeps the copy from being dropped
  std::free(block);
  return written;
}

std::string Sibling(const std::string& ppm_path, const char* suffix) {
  const std::size_t dot = ppm_path.rfind('.');
  return (dot == std::string::npos ? ppm_path : ppm_path.substr(0, dot)) + suffix;
}

std::size_t FileBytes(const std::string& path) {
  Bytes b;
  return ReadFile(path, &b) ? b.size() : 0;
}

bool WritePng(const Ppm& ppm, const std::string& path) {
  GdkPixbuf* const pixbuf = gdk_pixbuf_new_from_data(ppm.rgb.data(), GDK_COLORSPACE_RGB, FALSE, 8, ppm.width,
                                                     ppm.height, ppm.width * 3, nullptr, nullptr);
  GError* error = nullptr;
  const bool saved = pixbuf != nullptr && gdk_pixbuf_save(pixbuf, path.c_str(), "png", &error, nullptr);
  if (error != nullptr) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), error->message);
    g_error_free(error);
  }
  if (pixbuf != nullptr) g_object_unref(pixbuf);
  return saved;
}

// One photograph: checks its files, then times them; false on any failure.
bool RunPhoto(const std::string& ppm_path, int rounds) {
  Ppm ppm;
  if (!ReadPpm(ppm_path, &ppm)) {
    std::fprintf(stderr, "%s: not a binary PPM of maxval 255\n", ppm_path.c_str());
    return false;
  }
  const std::string png_path = Sibling(ppm_path, ".png");
  if (!WritePng(ppm, png_path)) return false;
  std::vector<File> files = {{"KX (default level)", Sibling(ppm_path, ".kx"), 0, {}},
                             {"KX (decode speed 6)", Sibling(ppm_path, "-s6.kx"), 0, {}},
                             {"JPEG q90 4:2:0", Sibling(ppm_path, "-q90.jpg"), 0, {}},
                             {"JPEG q75 (cjpeg)", Sibling(ppm_path, "-q75.jpg"), 0, {}},
                             {"PNG (gdk-pixbuf)", png_path, 0, {}}};
  constexpr std::size_t kKx = 0;
  constexpr std::size_t kKxFast = 1;
  constexpr std::size_t kPng = 4;
  for (std::size_t f = 0; f < files.size(); ++f) {
    files[f].bytes = FileBytes(files[f].path);
    Bytes rgb;
    int width = 0;
    int height = 0;
    if (files[f].bytes == 0 || !LoadOnce(files[f].path, &rgb, &width, &height)) return false;
    const bool lossless = f == kKx || f == kKxFast || f == kPng;
    if (width != ppm.width || height != ppm.height || (lossless && rgb != ppm.rgb)) {
      std::fprintf(stderr, "%s: the picture loaded is not the photograph\n", files[f].path.c_str());
      return false;
    }
  }
  Bytes kx;
  Bytes bitmap;
  PictureLayout layout{};
  if (!ReadFile(files[kKx].path, &kx) || PlanPicture(ppm.width, ppm.height, &layout) != LayoutStatus::kOk ||
      !GetPictureOnce(kx, layout.bits_bytes, &bitmap)) {
    std::fprintf(stderr, "%s: GetPicture failed\n", files[kKx].path.c_str());
    return false;
  }
  Bytes rgb(std::size_t(ppm.width) * std::size_t(ppm.height) * 3);
  BitmapToRgbRows(bitmap.data(), layout, rgb.data(), std::size_t(ppm.width) * 3);
  if (rgb != ppm.rgb) {
    std::fprintf(stderr, "%s: GetPicture's bitmap is not the photograph\n", files[kKx].path.c_str());
    return false;
  }

  Times get_picture;
  Times floor;
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t turn = 0; turn < files.size(); ++turn) {
      File& file = files[(turn + std::size_t(round)) % files.size()];
      const Stamp start = Now();
      if (!LoadOnce(file.path, nullptr, nullptr, nullptr)) return false;
      file.times.Add(start, Now());
    }
    for (int turn = 0; turn < 2; ++turn) {
      const bool plugin = (turn + round) % 2 == 0;
      const Stamp start = Now();
      if (!(plugin ? GetPictureOnce(kx, layout.bits_bytes, nullptr) : FloorOnce(bitmap))) return false;
      (plugin ? get_picture : floor).Add(start, Now());
    }
  }

  std::printf("\n%s: %d x %d, %.1f MB of pixels, %d rounds; medians in ms, ratios the medians of each round's\n",
              ppm_path.c_str(), ppm.width, ppm.height, 1e-6 * double(ppm.rgb.size()), rounds);
  std::printf("%-28s %11s %9s %9s %11s %11s %11s %11s\n", "gdk_pixbuf_new_from_file", "file bytes", "wall", "CPU",
              "KX/it wall", "KX/it CPU", "KX s6/wall", "KX s6/CPU");
  for (const File& file : files) {
    std::printf("%-28s %11zu %9.2f %9.2f %11.3f %11.3f %11.3f %11.3f\n", file.name, file.bytes,
                Median(file.times.wall_ms), Median(file.times.cpu_ms),
                MedianRatio(files[kKx].times.wall_ms, file.times.wall_ms),
                MedianRatio(files[kKx].times.cpu_ms, file.times.cpu_ms),
                MedianRatio(files[kKxFast].times.wall_ms, file.times.wall_ms),
                MedianRatio(files[kKxFast].times.cpu_ms, file.times.cpu_ms));
  }
  std::printf("%-28s %11s %9s %9s %11s %11s\n", "in process", "bytes", "wall", "CPU", "/floor wall", "/floor CPU");
  std::printf("%-28s %11zu %9.2f %9.2f %11.3f %11.3f\n", "GetPicture memory", bitmap.size(),
              Median(get_picture.wall_ms), Median(get_picture.cpu_ms), MedianRatio(get_picture.wall_ms, floor.wall_ms),
              MedianRatio(get_picture.cpu_ms, floor.cpu_ms));
  std::printf("%-28s %11zu %9.2f %9.2f %11.3f %11.3f\n", "fresh-block floor (memcpy)", bitmap.size(),
              Median(floor.wall_ms), Median(floor.cpu_ms), 1.0, 1.0);
  std::fflush(stdout);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Before GLib reads its environment: the build's KX loader (gdk-pixbuf's
  // JPEG and PNG loaders are built in and need no cache).
  setenv("GDK_PIXBUF_MODULE_FILE", KX_PIXBUF_LOADERS_CACHE, 1);
  // gdk-pixbuf picks a loader by the type GLib sniffs: the build's MIME
  // database beside the system's.
  setenv("XDG_DATA_HOME", KX_MIME_DATA_DIR, 1);
  // glibc hands a freed block of up to 32 MiB back to the next request of
  // its size already faulted in; a fixed threshold makes every large block
  // fresh, for every format alike.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  int rounds = 15;
  int a = 1;
  if (a + 1 < argc && std::strcmp(argv[a], "--rounds") == 0) {
    rounds = std::atoi(argv[a + 1]);
    a += 2;
  }
  if (rounds < 1 || a >= argc) {
    std::fprintf(stderr, "usage: pixbuf_formats_bench [--rounds N] PHOTO.ppm...\n");
    return 2;
  }
  for (; a < argc; ++a) {
    if (!RunPhoto(argv[a], rounds)) return 1;
  }
  return 0;
}
