// Encoding speed and size of the KX writer at every level, and in the same
// run the general-purpose compressors on the same raw pixels: LZ4 (default
// and HC 9), zstd (1 and 19) and zlib (1, 6 and 9). Also the threaded
// writer on 1 and 2 threads. Every benchmark reports megabytes of raw
// pixels per second; a summary at the end gives each output's size and the
// ratios the writer is judged by.
//
// On a shared machine the one-thread compressors are compared by the CPU
// time of the thread that runs them (other work on the machine then changes
// them less than it changes the time on the clock); the threaded writer by
// real time, since its helper's work does not show in the calling thread's
// CPU time. The summary prints the machine's load average before and after.
//
// Pictures: the three of pictures.h at 2000 x 1500, and real photographs
// given as binary PPM files with --photo=PATH (bench/run.sh passes one when
// the machine has one). The threads are timed on the last of them, or on
// the picture given with --large=PATH, which nothing else encodes.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>
#include <zlib.h>
#include <zstd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/pictures.h"
#include "codec/reference/decompress.h"
#include "writer/encode.h"
#include "writer/threaded_encode.h"

using namespace kx;

namespace {

constexpr int kWidth = 2000;
constexpr int kHeight = 1500;

using Bytes = std::vector<std::uint8_t>;

struct Picture {
  std::string name;
  int width = 0;
  int height = 0;
  Pixels raw;  // blue, green, red
};

// A compressor: fills `out` (already large enough) and returns the bytes
// written, 0 on failure.
using Compress = std::size_t (*)(const Picture& p, int level, Bytes* out);

std::size_t KxWriter(const Picture& p, int level, Bytes* out) {
  static thread_local Bytes work;
  const EncodeOptions options{level, true};
  work.resize(EncodeWorkBytes(options));
  return EncodeImage(p.raw.data(), p.width, p.height, options, work.data(), out->data(), out->size());
}

std::size_t Lz4(const Picture& p, int level, Bytes* out) {
  const auto* src = reinterpret_cast<const char*>(p.raw.data());
  auto* dst = reinterpret_cast<char*>(out->data());
  const int src_bytes = static_cast<int>(p.raw.size());
  const int capacity = static_cast<int>(out->size());
  const int n = level == 0 ? LZ4_compress_default(src, dst, src_bytes, capacity)
                           : LZ4_compress_HC(src, dst, src_bytes, capacity, level);
  return n > 0 ? static_cast<std::size_t>(n) : 0;
}

std::size_t Zstd(const Picture& p, int level, Bytes* out) {
  const std::size_t n = ZSTD_compress(out->data(), out->size(), p.raw.data(), p.raw.size(), level);
  return ZSTD_isError(n) ? 0 : n;
}

std::size_t Zlib(const Picture& p, int level, Bytes* out) {
  uLongf n = static_cast<uLongf>(out->size());
  return compress2(out->data(), &n, p.raw.data(), static_cast<uLong>(p.raw.size()), level) == Z_OK ? n : 0;
}

struct Codec {
  std::string name;
  Compress compress;
  int level;
};

std::vector<Codec> Codecs() {
  std::vector<Codec> codecs;
  for (int level = kMinEncodeLevel; level <= kMaxEncodeLevel; ++level) {
    codecs.push_back({"KX-" + std::to_string(level), KxWriter, level});
  }
  codecs.push_back({"LZ4", Lz4, 0});
  codecs.push_back({"LZ4HC-9", Lz4, 9});
  codecs.push_back({"zstd-1", Zstd, 1});
  codecs.push_back({"zstd-19", Zstd, 19});
  codecs.push_back({"zlib-1", Zlib, 1});
  codecs.push_back({"zlib-6", Zlib, 6});
  codecs.push_back({"zlib-9", Zlib, 9});
  return codecs;
}

std::size_t Capacity(const Picture& p) {
  const std::size_t raw = p.raw.size();
  std::size_t most = EncodeBoundBytes(p.width, p.height);
  most = std::max(most, static_cast<std::size_t>(LZ4_compressBound(static_cast<int>(raw))));
  most = std::max(most, ZSTD_compressBound(raw));
  return std::max(most, static_cast<std::size_t>(compressBound(static_cast<uLong>(raw))));
}

// Reads a binary PPM (P6, maxval 255) into blue, green, red pixels; false
// when the file is not one.
bool ReadPpm(const std::string& path, Picture* p) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int maxval = 0;
  if (!(in >> magic >> p->width >> p->height >> maxval) || magic != "P6" || maxval != 255) return false;
  in.get();
  if (p->width < 1 || p->width > 8192 || p->height < 1 || p->height > 8192) return false;
  p->raw.resize(std::size_t{3} * static_cast<std::size_t>(p->width) * static_cast<std::size_t>(p->height));
  if (!in.read(reinterpret_cast<char*>(p->raw.data()), static_cast<std::streamsize>(p->raw.size()))) return false;
  for (std::size_t k = 0; k + 2 < p->raw.size(); k += 3) std::swap(p->raw[k], p->raw[k + 2]);
  const std::size_t slash = path.find_last_of('/');
  p->name = "photo:" + path.substr(slash == std::string::npos ? 0 : slash + 1);
  return true;
}

// Output sizes, found once before anything is timed.
std::map<std::string, std::size_t> g_sizes;

std::string Key(const std::string& codec, const Picture& p) { return codec + "/" + p.name; }

void SetRate(benchmark::State& state, const Picture& p) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(p.raw.size()));
}

// Compresses once, checks that the KX files decode to the picture, and
// registers the timed runs.
bool Register(const Picture& p, const std::vector<Codec>& codecs) {
  Bytes out(Capacity(p));
  for (const Codec& c : codecs) {
    const std::size_t n = c.compress(p, c.level, &out);
    if (n == 0) {
      std::printf("%s failed on %s\n", c.name.c_str(), p.name.c_str());
      return false;
    }
    g_sizes[Key(c.name, p)] = n;
    if (c.compress == KxWriter) {
      Bytes back(p.raw.size());
      if (DecompressPixels(out.data(), n, back.data(), back.size()) != back.size() || back != p.raw) {
        std::printf("%s: the file does not decode to %s\n", c.name.c_str(), p.name.c_str());
        return false;
      }
    }
    benchmark::RegisterBenchmark(Key(c.name, p).c_str(), [&p, c](benchmark::State& state) {
      Bytes dst(Capacity(p));
      for (auto _ : state) {
        benchmark::DoNotOptimize(c.compress(p, c.level, &dst));
        benchmark::ClobberMemory();
      }
      SetRate(state, p);
    })->Unit(benchmark::kMillisecond);
  }
  return true;
}

// The threaded writer on 1 and 2 threads, in real time. Besides the median,
// the fastest repetition is kept: on a machine other work shares, it comes
// nearest to what the cores give when they are free.
void RegisterThreads(const Picture& p) {
  for (const int level : {1, 6, 9}) {
    for (const unsigned threads : {1u, 2u}) {
      const std::string name = "KX-" + std::to_string(level) + "-threads-" + std::to_string(threads) + "/" + p.name;
      benchmark::RegisterBenchmark(name.c_str(), [&p, level, threads](benchmark::State& state) {
        Bytes dst(EncodeBoundBytes(p.width, p.height));
        for (auto _ : state) {
          benchmark::DoNotOptimize(EncodeImageThreaded(p.raw.data(), p.width, p.height, EncodeOptions{level, true},
                                                       threads, dst.data(), dst.size()));
        }
        SetRate(state, p);
      })
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); });
    }
  }
}

// The console output as usual; keeps each benchmark's real and CPU time per
// iteration in seconds (the medians when repeated).
class MedianKeeper : public benchmark::ConsoleReporter {
 public:
  struct Times {
    double real = 0;
    double cpu = 0;
    double fastest_real = 0;  // the fastest repetition, when kept
  };
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      // Every benchmark here reports milliseconds.
      Times& t = times_[run.run_name.function_name];
      if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "min") {
        t.fastest_real = run.GetAdjustedRealTime() / 1e3;
        continue;
      }
      if (run.repetitions > 1 && !(run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")) continue;
      t.real = run.GetAdjustedRealTime() / 1e3;
      t.cpu = run.GetAdjustedCPUTime() / 1e3;
    }
  }
  Times Get(const std::string& name) const {
    const auto it = times_.find(name);
    return it == times_.end() ? Times{} : it->second;
  }

 private:
  std::map<std::string, Times> times_;
};

std::string LoadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string one;
  std::string five;
  return in >> one >> five ? one + " (1 min), " + five + " (5 min)" : "unknown";
}

// Sizes, speeds and the ratios to zlib -6 of every compressor on `p`.
void PrintCodecs(const MedianKeeper& r, const Picture& p, const std::vector<Codec>& codecs) {
  const auto cpu = [&r](const std::string& name) { return r.Get(name).cpu; };
  const double raw_mb = static_cast<double>(p.raw.size()) / 1e6;
  std::printf("  %-8s %12s %7s %9s %12s\n", "codec", "bytes", "of raw", "MB/s", "time/zlib-6");
  const double zlib6 = cpu(Key("zlib-6", p));
  for (const Codec& c : codecs) {
    const std::string key = Key(c.name, p);
    const double s = cpu(key);
    const std::size_t bytes = g_sizes[key];
    std::printf("  %-8s %12zu %6.1f%% %9.1f %12.2f\n", c.name.c_str(), bytes,
                100.0 * static_cast<double>(bytes) / static_cast<double>(p.raw.size()), s > 0 ? raw_mb / s : 0.0,
                zlib6 > 0 ? s / zlib6 : 0.0);
  }
  const std::string default_name = "KX-" + std::to_string(kDefaultEncodeLevel);
  std::printf("  default level / zlib-6: time %.2f [< 1], size %.3f\n",
              zlib6 > 0 ? cpu(Key(default_name, p)) / zlib6 : 0.0,
              static_cast<double>(g_sizes[Key(default_name, p)]) / static_cast<double>(g_sizes[Key("zlib-6", p)]));
  const double fast = cpu(Key("KX-1", p));
  std::printf("  level 1: %.0f MB/s [>= 150]\n", fast > 0 ? raw_mb / fast : 0.0);
}

void PrintSummary(const MedianKeeper& r, const std::vector<std::unique_ptr<Picture>>& pictures,
                  const std::vector<Codec>& codecs) {
  for (const auto& p : pictures) {
    std::printf("\n%s, %d x %d, %.1f MB raw (MB/s per core, from CPU time)\n", p->name.c_str(), p->width, p->height,
                static_cast<double>(p->raw.size()) / 1e6);
    if (r.Get(Key("zlib-6", *p)).cpu > 0) PrintCodecs(r, *p, codecs);
    for (const int level : {1, 6, 9}) {
      const std::string t = "KX-" + std::to_string(level) + "-threads-";
      const MedianKeeper::Times one = r.Get(t + "1/" + p->name);
      const MedianKeeper::Times two = r.Get(t + "2/" + p->name);
      if (one.real > 0 && two.real > 0) {
        std::printf("  level %d: 2 threads / 1 thread speed-up in real time %.2fx (medians), %.2fx (fastest runs) "
                    "[>= 1.8]\n",
                    level, one.real / two.real, two.fastest_real > 0 ? one.fastest_real / two.fastest_real : 0.0);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> photos;
  std::string large;
  std::vector<char*> rest;
  for (int a = 0; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg.rfind("--photo=", 0) == 0) {
      photos.push_back(arg.substr(8));
    } else if (arg.rfind("--large=", 0) == 0) {
      large = arg.substr(8);
    } else {
      rest.push_back(argv[a]);
    }
  }
  int rest_count = static_cast<int>(rest.size());
  benchmark::Initialize(&rest_count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(rest_count, rest.data())) return 1;

  std::printf("Making the pictures and compressing each once...\n");
  std::fflush(stdout);
  std::vector<std::unique_ptr<Picture>> pictures;
  pictures.push_back(std::make_unique<Picture>(Picture{"flat", kWidth, kHeight, FlatIllustration(kWidth, kHeight)}));
  pictures.push_back(std::make_unique<Picture>(Picture{"photo", kWidth, kHeight, Photograph(kWidth, kHeight)}));
  pictures.push_back(std::make_unique<Picture>(Picture{"art", kWidth, kHeight, RenderedArt(kWidth, kHeight)}));
  const auto read = [](const std::string& path) {
    auto p = std::make_unique<Picture>();
    if (!ReadPpm(path, p.get())) {
      std::printf("%s: not a binary PPM picture of at most 8192 x 8192\n", path.c_str());
      p.reset();
    }
    return p;
  };
  for (const std::string& path : photos) {
    pictures.push_back(read(path));
    if (pictures.back() == nullptr) return 1;
  }
  const std::vector<Codec> codecs = Codecs();
  for (const auto& p : pictures) {
    if (!Register(*p, codecs)) return 1;
  }
  std::unique_ptr<Picture> large_picture;
  if (!large.empty()) {
    large_picture = read(large);
    if (large_picture == nullptr) return 1;
  }
  RegisterThreads(large_picture != nullptr ? *large_picture : *pictures.back());

  const std::string load_before = LoadAverage();
  MedianKeeper reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (large_picture != nullptr) pictures.push_back(std::move(large_picture));
  PrintSummary(reporter, pictures, codecs);
  std::printf("\nLoad average: %s before, %s after (2 cores)\n", load_before.c_str(), LoadAverage().c_str());
  benchmark::Shutdown();
  return 0;
}
