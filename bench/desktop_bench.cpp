// Time to load the benchmark pictures through the desktop loaders against
// the plug-in's GetPicture, in one process and one run: the same three
// 12-megapixel pictures as decode_bench, written by the project's writer to
// files, loaded by
//   - GetPicture in memory mode (what the loaders are judged against), in
//     memory mode from a fresh copy of the file's bytes, and in file mode:
//     a loader too must bring the input into memory of its own, and fresh
//     pages cost (on the machine measured, 15 ms for 29 MB: more than the
//     copy itself),
//   - gdk_pixbuf_new_from_file, and a GdkPixbufLoader fed 64 KiB pieces
//     from memory, as applications feed streams (and when that load
//     announced its first row),
//   - QImageReader from the file, and from memory (recognised by content).
// Each round loads every picture once by every way, in turn, starting
// with another way each round, so that the machine's noise and whatever
// the previous load left in the caches fall on all of them alike; the medians and their ratios
// to GetPicture are printed. Every way's picture is checked once against
// the plug-in's before anything is timed.
//
//   desktop_bench [ROUNDS]      (default 15)
#define GDK_PIXBUF_ENABLE_BACKEND
#include <gdk-pixbuf/gdk-pixbuf.h>
#undef GDK_PIXBUF_ENABLE_BACKEND

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "bench/pictures.h"
#include "codec/format/bitmap.h"
#include "codec/reference/row_store.h"
#include "platform/platform.h"
#include "plugin/spi.h"
#include "writer/encode.h"

using namespace kx;

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;
constexpr SpiUint kMemoryMode = 1;
constexpr SpiUint kFileMode = 0;
constexpr std::size_t kPieceBytes = std::size_t{64} << 10;
constexpr const char* kLoaderWay = "pixbuf loader 64 KiB";

using Bytes = std::vector<std::uint8_t>;

struct Sample {
  std::string kind;
  std::string path;
  Bytes kx;
};

// Top-down RGB rows without padding: what every way must give.
using Rgb = Bytes;

Rgb RgbOfBits(const std::uint8_t* bits) {
  PictureLayout layout{};
  PlanPicture(kWidth, kHeight, &layout);
  Rgb rgb(layout.total_bytes);
  BitmapToRgbRows(bits, layout, rgb.data(), layout.row_bytes);
  return rgb;
}

Rgb RgbOfRows(const std::uint8_t* pixels, int width, int height, std::size_t stride_bytes) {
  Rgb rgb;
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* const row = pixels + std::size_t(y) * stride_bytes;
    rgb.insert(rgb.end(), row, row + std::size_t(width) * 3);
  }
  return rgb;
}

// One way of loading a picture. `keep`, when not null, receives the pixels.
struct Way {
  const char* name;
  std::function<bool(const Sample&, Rgb* keep)> load;
};

bool PluginLoad(const Sample& s, SpiUint mode, Rgb* keep) {
  SpiHandle info = nullptr;
  SpiHandle bits = nullptr;
  char* const buf = mode == kMemoryMode ? reinterpret_cast<char*>(const_cast<std::uint8_t*>(s.kx.data()))
                                        : const_cast<char*>(s.path.c_str());
  const SpiLong len = mode == kMemoryMode ? static_cast<SpiLong>(s.kx.size()) : 0;
  if (GetPicture(buf, len, mode, &info, &bits, nullptr, 0) != kSpiSuccess) return false;
  if (keep != nullptr) *keep = RgbOfBits(static_cast<const std::uint8_t*>(LockBlock(bits)));
  FreeBlock(info);
  FreeBlock(bits);
  return true;
}

// The input in memory of its own first, as a loader must have it.
bool PluginLoadFromCopy(const Sample& s, Rgb* keep) {
  const Sample copy{s.kind, s.path, Bytes(s.kx)};
  return PluginLoad(copy, kMemoryMode, keep);
}

bool KeepPixbuf(GdkPixbuf* pixbuf, Rgb* keep) {
  if (pixbuf == nullptr) return false;
  if (keep != nullptr) {
    *keep = RgbOfRows(gdk_pixbuf_read_pixels(pixbuf), gdk_pixbuf_get_width(pixbuf), gdk_pixbuf_get_height(pixbuf),
                      std::size_t(gdk_pixbuf_get_rowstride(pixbuf)));
  }
  g_object_unref(pixbuf);
  return true;
}

bool PixbufFromFile(const Sample& s, Rgb* keep) {
  GError* error = nullptr;
  GdkPixbuf* const pixbuf = gdk_pixbuf_new_from_file(s.path.c_str(), &error);
  if (error != nullptr) g_error_free(error);
  return KeepPixbuf(pixbuf, keep);
}

// When the last PixbufLoader call's first row was announced, in seconds
// after its first write: how long a program showing a picture that arrives
// in 64 KiB pieces (as fast as memory gives them) shows nothing.
double g_first_row_seconds = 0;

struct FirstRow {
  std::chrono::steady_clock::time_point start;
  bool seen = false;
};

void OnFirstRow(GdkPixbufLoader*, gint, gint, gint, gint, gpointer data) {
  auto* const first = static_cast<FirstRow*>(data);
  if (first->seen) return;
  first->seen = true;
  g_first_row_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - first->start).count();
}

bool PixbufLoader(const Sample& s, Rgb* keep) {
  GdkPixbufLoader* const loader = gdk_pixbuf_loader_new();
  FirstRow first{std::chrono::steady_clock::now(), false};
  g_signal_connect(loader, "area-updated", G_CALLBACK(OnFirstRow), &first);
  bool ok = true;
  for (std::size_t at = 0; ok && at < s.kx.size(); at += kPieceBytes) {
    ok = gdk_pixbuf_loader_write(loader, s.kx.data() + at, std::min(kPieceBytes, s.kx.size() - at), nullptr);
  }
  ok = gdk_pixbuf_loader_close(loader, nullptr) && ok;
  GdkPixbuf* const pixbuf = gdk_pixbuf_loader_get_pixbuf(loader);
  if (pixbuf != nullptr) g_object_ref(pixbuf);
  g_object_unref(loader);
  return KeepPixbuf(pixbuf, keep) && ok;
}

bool KeepImage(const QImage& image, Rgb* keep) {
  if (image.isNull()) return false;
  if (keep != nullptr)
    *keep = RgbOfRows(image.constBits(), image.width(), image.height(), std::size_t(image.bytesPerLine()));
  return true;
}

bool QtFromFile(const Sample& s, Rgb* keep) {
  return KeepImage(QImageReader(QString::fromStdString(s.path)).read(), keep);
}

bool QtFromMemory(const Sample& s, Rgb* keep) {
  QByteArray data = QByteArray::fromRawData(reinterpret_cast<const char*>(s.kx.data()), int(s.kx.size()));
  QBuffer buffer(&data);
  buffer.open(QIODevice::ReadOnly);
  return KeepImage(QImageReader(&buffer).read(), keep);
}

Sample MakeSample(const std::string& kind, const Pixels& raw, const std::string& dir) {
  Sample s{kind, dir + "/" + kind + ".kx", {}};
  const EncodeOptions options{};
  Bytes work(EncodeWorkBytes(options));
  s.kx.resize(EncodeBoundBytes(kWidth, kHeight));
  s.kx.resize(EncodeImage(raw.data(), kWidth, kHeight, options, work.data(), s.kx.data(), s.kx.size()));
  std::ofstream(s.path, std::ios::binary)
      .write(reinterpret_cast<const char*>(s.kx.data()), std::streamsize(s.kx.size()));
  return s;
}

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  // Before GLib and Qt read their environment: the build's loaders.
  setenv("GDK_PIXBUF_MODULE_FILE", KX_PIXBUF_LOADERS_CACHE, 1);
  setenv("XDG_DATA_HOME", KX_MIME_DATA_DIR, 1);
  setenv("QT_PLUGIN_PATH", KX_QT_PLUGIN_DIR, 1);
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
  if (rounds < 1) {
    std::fprintf(stderr, "usage: desktop_bench [ROUNDS]\n");
    return 2;
  }

  char dir_template[] = "/tmp/kx-desktop-bench-XXXXXX";
  const char* const dir = mkdtemp(dir_template);
  if (dir == nullptr) return 1;
  std::printf("Making and encoding the pictures (%d x %d) in %s...\n", kWidth, kHeight, dir);
  std::fflush(stdout);
  const std::vector<Sample> samples = {MakeSample("flat", FlatIllustration(kWidth, kHeight), dir),
                                       MakeSample("photo", Photograph(kWidth, kHeight), dir),
                                       MakeSample("art", RenderedArt(kWidth, kHeight), dir)};

  const std::vector<Way> ways = {
      {"GetPicture memory", [](const Sample& s, Rgb* keep) { return PluginLoad(s, kMemoryMode, keep); }},
      {"GetPicture memory, copy", PluginLoadFromCopy},
      {"GetPicture file", [](const Sample& s, Rgb* keep) { return PluginLoad(s, kFileMode, keep); }},
      {"pixbuf new_from_file", PixbufFromFile},
      {kLoaderWay, PixbufLoader},
      {"Qt QImageReader file", QtFromFile},
      {"Qt QImageReader memory", QtFromMemory},
  };

  int status = 0;
  for (const Sample& s : samples) {
    Rgb want;
    PluginLoad(s, kMemoryMode, &want);
    for (const Way& way : ways) {
      Rgb got;
      if (!way.load(s, &got) || got != want) {
        std::printf("%s: %s differs from the plug-in's picture\n", s.kind.c_str(), way.name);
        status = 1;
      }
    }
  }
  if (status != 0) return status;

  // seconds[picture][way][round]; first_row[picture][round] of the loader
  std::vector<std::vector<double>> first_row(samples.size());
  std::vector<std::vector<std::vector<double>>> seconds(samples.size(), std::vector<std::vector<double>>(ways.size()));
  for (int round = 0; round < rounds; ++round) {
    for (std::size_t p = 0; p < samples.size(); ++p) {
      for (std::size_t turn = 0; turn < ways.size(); ++turn) {
        const std::size_t w = (turn + std::size_t(round)) % ways.size();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = ways[w].load(samples[p], nullptr);
        const auto stop = std::chrono::steady_clock::now();
        if (!ok) return 1;
        seconds[p][w].push_back(std::chrono::duration<double>(stop - start).count());
        if (std::string(ways[w].name) == kLoaderWay) first_row[p].push_back(g_first_row_seconds);
      }
    }
  }

  std::printf("\nMedian of %d rounds, ms per picture; in brackets, the ratio to GetPicture in memory mode\n", rounds);
  std::printf("%-24s", "");
  for (const Sample& s : samples) std::printf("%8s (KX %5.1f MB)  ", s.kind.c_str(), double(s.kx.size()) / 1e6);
  std::printf("\n");
  for (std::size_t w = 0; w < ways.size(); ++w) {
    std::printf("%-24s", ways[w].name);
    for (std::size_t p = 0; p < samples.size(); ++p) {
      const double base = Median(seconds[p][0]);
      const double t = Median(seconds[p][w]);
      std::printf("%9.2f ms [%5.2fx]      ", 1e3 * t, t / base);
    }
    std::printf("\n");
  }
  std::printf("%-24s", "  its first row");
  for (std::size_t p = 0; p < samples.size(); ++p) {
    const double base = Median(seconds[p][0]);
    const double t = Median(first_row[p]);
    std::printf("%9.2f ms [%5.2fx]      ", 1e3 * t, t / base);
  }
  std::printf("\n");
  for (const Sample& s : samples) std::remove(s.path.c_str());
  rmdir(dir);
  return 0;
}
