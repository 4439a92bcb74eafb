// Decoding speed of the plug-in on three kinds of 12-megapixel picture, and
// in the same run the baselines it is judged against: memcpy of the bitmap's
// bytes, LZ4 decompression of the raw picture and the straightforward
// byte-at-a-time decoder. Prints the ratios between them at the end.
//
// Every benchmark reports bytes per second of bitmap (or raw picture, which
// for a width that is a multiple of 4 is the same number of bytes).
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/pictures.h"
#include "bench/token_count.h"
#include "codec/decode/fast_decode.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"
#include "codec/reference/decompress.h"
#include "codec/reference/row_store.h"
#include "kx.h"
#include "platform/platform.h"
#include "plugin/spi.h"
#include "tests/doubles/standin.h"
#include "writer/encode.h"

using namespace kx;

namespace {

constexpr int kWidth = 4000;  // a multiple of 4: rows need no padding
constexpr int kHeight = 3000;
constexpr std::size_t kPageBytes = 4096;
constexpr SpiUint kMemoryMode = 1;

using Bytes = std::vector<std::uint8_t>;

struct Sample {
  std::string kind;
  Pixels raw;
  Bytes kx;
  Bytes lz4;
  PictureLayout layout{};
  std::size_t tokens = 0;
};

Sample MakeSample(const std::string& kind, Pixels raw) {
  Sample s;
  s.kind = kind;
  s.raw = std::move(raw);
  PlanPicture(kWidth, kHeight, &s.layout);
  const EncodeOptions options{};
  Bytes work(EncodeWorkBytes(options));
  s.kx.resize(EncodeBoundBytes(kWidth, kHeight));
  s.kx.resize(EncodeImage(s.raw.data(), kWidth, kHeight, options, work.data(), s.kx.data(), s.kx.size()));
  const int raw_bytes = static_cast<int>(s.raw.size());
  s.lz4.resize(static_cast<std::size_t>(LZ4_compressBound(raw_bytes)));
  const int lz4_bytes = LZ4_compress_default(reinterpret_cast<const char*>(s.raw.data()),
                                             reinterpret_cast<char*>(s.lz4.data()), raw_bytes,
                                             static_cast<int>(s.lz4.size()));
  s.lz4.resize(static_cast<std::size_t>(lz4_bytes));
  s.tokens = CountTokens(s.kx, s.layout.total_bytes);
  return s;
}

// Warm buffers shared by the benchmarks that write into memory already
// mapped: the bitmap, a raw picture and the decode window.
struct Buffers {
  Bytes bits;
  Bytes raw;
  Bytes window;
};

void Touch(Bytes* b, std::size_t bytes) {
  b->assign(bytes, 0);
  std::memset(b->data(), 1, b->size());
}

void SetBytes(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(bytes));
}

void RegisterAll(const Sample& s, Buffers* buf) {
  const std::string k = "/" + s.kind;
  const std::size_t bits_bytes = s.layout.bits_bytes;
  const bool undo_delta = (s.kx[2] & kDeltaCodingBit) != 0;

  // The plug-in as a host calls it, memory mode, the two blocks freed after
  // each call: fresh blocks each time, so their page faults count. Once as
  // it runs, once with the decoder's thread alone (the stand-in then starts
  // no prefault thread), for the comparison in one run.
  for (const bool one_thread : {false, true}) {
    const std::string name = one_thread ? "GetPictureOneThread" : "GetPicture";
    benchmark::RegisterBenchmark((name + k).c_str(), [&s, bits_bytes, one_thread](benchmark::State& state) {
      if (one_thread) StandInSetPrefaultMinBytes(SIZE_MAX);
      for (auto _ : state) {
        SpiHandle info = nullptr;
        SpiHandle bits = nullptr;
        const int result = GetPicture(reinterpret_cast<char*>(const_cast<std::uint8_t*>(s.kx.data())),
                                      static_cast<SpiLong>(s.kx.size()), kMemoryMode, &info, &bits, nullptr, 0);
        if (result != kSpiSuccess) state.SkipWithError("GetPicture failed");
        FreeBlock(info);
        FreeBlock(bits);
      }
      StandInResetFaults();
      SetBytes(state, bits_bytes);
    });
  }
  // The page faults alone: a zero-filled block of the bitmap's size, one
  // byte written in every page, freed.
  benchmark::RegisterBenchmark(("FirstTouch" + k).c_str(), [bits_bytes](benchmark::State& state) {
    for (auto _ : state) {
      const BlockHandle block = AllocZeroedBlock(bits_bytes);
      auto* bytes = static_cast<std::uint8_t*>(LockBlock(block));
      for (std::size_t at = 0; at < bits_bytes; at += kPageBytes) bytes[at] = 1;
      benchmark::DoNotOptimize(bytes);
      FreeBlock(block);
    }
    SetBytes(state, bits_bytes);
  });
  // The fast decoder alone, into a bitmap and window already mapped.
  benchmark::RegisterBenchmark(("Decode" + k).c_str(), [&s, buf, bits_bytes](benchmark::State& state) {
    for (auto _ : state) {
      DecodeToBitmap(s.kx.data(), s.kx.size(), s.layout, buf->bits.data(), buf->window.data(), buf->window.size());
      benchmark::ClobberMemory();
    }
    SetBytes(state, bits_bytes);
  });
  // The public library's decode into a fresh zero-filled buffer each time,
  // as GetPicture fills a fresh block: the bitmap's rows, and the 4-byte
  // rows a browser's canvas takes.
  for (const int layout : {KX_LAYOUT_BGR_BOTTOM_UP, KX_LAYOUT_RGBA}) {
    const std::string name = layout == KX_LAYOUT_RGBA ? "LibraryRgba" : "Library";
    const std::size_t stride_bytes = kx_default_stride(kWidth, layout);
    const auto out_bytes = static_cast<std::size_t>(kx_buffer_bytes(kWidth, kHeight, layout, stride_bytes));
    benchmark::RegisterBenchmark((name + k).c_str(), [&s, layout, stride_bytes, out_bytes](benchmark::State& state) {
      for (auto _ : state) {
        void* out = std::calloc(1, out_bytes);
        if (kx_decode(s.kx.data(), s.kx.size(), layout, out, stride_bytes, out_bytes, nullptr) != KX_OK) {
          state.SkipWithError("kx_decode failed");
        }
        benchmark::DoNotOptimize(out);
        std::free(out);
      }
      SetBytes(state, out_bytes);
    });
  }
  // The delta step and the bottom-up row store of a whole raw picture, one
  // pass, best kernel and SSE2 baseline.
  for (const DeltaKernel kernel : {DeltaKernel::kBest, DeltaKernel::kSse2}) {
    const std::string name = kernel == DeltaKernel::kBest ? "DeltaStore" : "DeltaStoreSse2";
    benchmark::RegisterBenchmark((name + k).c_str(), [&s, buf, bits_bytes, undo_delta, kernel](benchmark::State& state) {
      for (auto _ : state) {
        StoreDeltaRows(s.raw.data(), buf->bits.data(), s.layout, undo_delta, kernel);
        benchmark::ClobberMemory();
      }
      SetBytes(state, bits_bytes);
    });
  }
  benchmark::RegisterBenchmark(("Memcpy" + k).c_str(), [&s, buf, bits_bytes](benchmark::State& state) {
    for (auto _ : state) {
      std::memcpy(buf->bits.data(), s.raw.data(), bits_bytes);
      benchmark::ClobberMemory();
    }
    SetBytes(state, bits_bytes);
  });
  benchmark::RegisterBenchmark(("LZ4" + k).c_str(), [&s, buf, bits_bytes](benchmark::State& state) {
    for (auto _ : state) {
      const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(s.lz4.data()),
                                        reinterpret_cast<char*>(buf->raw.data()), static_cast<int>(s.lz4.size()),
                                        static_cast<int>(buf->raw.size()));
      if (n != static_cast<int>(s.raw.size())) state.SkipWithError("LZ4_decompress_safe failed");
      benchmark::ClobberMemory();
    }
    SetBytes(state, bits_bytes);
  });
  // The byte-at-a-time decoder into a picture-sized buffer, then the row
  // store: what the plug-in did before, without its allocations.
  benchmark::RegisterBenchmark(("Straightforward" + k).c_str(), [&s, buf, bits_bytes](benchmark::State& state) {
    for (auto _ : state) {
      DecompressPixels(s.kx.data(), s.kx.size(), buf->raw.data(), s.layout.total_bytes);
      StoreRows(buf->raw.data(), buf->bits.data(), s.layout.stride_bytes, s.layout.width, s.layout.height);
      benchmark::ClobberMemory();
    }
    SetBytes(state, bits_bytes);
  });
}

double Seconds(const benchmark::BenchmarkReporter::Run& run) {
  double per_second = 1e9;
  switch (run.time_unit) {
    case benchmark::kNanosecond: per_second = 1e9; break;
    case benchmark::kMicrosecond: per_second = 1e6; break;
    case benchmark::kMillisecond: per_second = 1e3; break;
    case benchmark::kSecond: per_second = 1; break;
  }
  return run.GetAdjustedRealTime() / per_second;
}

// The console output as usual, and the time per iteration of each
// benchmark kept: the median when repetitions were asked for.
class KeepingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool repeated = run.repetitions > 1;
      if (repeated && !(run.run_type == Run::RT_Aggregate && run.aggregate_name == "median")) continue;
      seconds_[run.run_name.function_name] = Seconds(run);
    }
  }
  // 0 when the benchmark did not run.
  double Get(const std::string& name) const {
    const auto it = seconds_.find(name);
    return it == seconds_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> seconds_;
};

void PrintSummary(const KeepingReporter& r, const std::vector<std::unique_ptr<Sample>>& samples) {
  std::printf("\nPictures: %d x %d, %.1f MB of bitmap each\n", kWidth, kHeight, double(kWidth) * kHeight * 3 / 1e6);
  std::printf("%-7s %12s %9s %12s %12s\n", "kind", "KX bytes", "of raw", "LZ4 bytes", "tokens");
  for (const auto& s : samples) {
    std::printf("%-7s %12zu %8.1f%% %12zu %12zu\n", s->kind.c_str(), s->kx.size(),
                100.0 * double(s->kx.size()) / double(s->raw.size()), s->lz4.size(), s->tokens);
  }
  std::printf("\nTimes per picture in ms (median of repetitions when repeated)\n");
  std::printf("%-7s %9s %9s %9s %9s %9s %9s %9s %9s %9s %9s\n", "kind", "GetPic", "GetPic1T", "1stTouch", "Decode",
              "DeltaSt", "DeltaSSE2", "memcpy", "LZ4", "Straight", "ns/token");
  for (const auto& s : samples) {
    const std::string k = "/" + s->kind;
    const double decode = r.Get("Decode" + k);
    std::printf("%-7s %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f %9.2f\n", s->kind.c_str(),
                1e3 * r.Get("GetPicture" + k), 1e3 * r.Get("GetPictureOneThread" + k), 1e3 * r.Get("FirstTouch" + k),
                1e3 * decode, 1e3 * r.Get("DeltaStore" + k), 1e3 * r.Get("DeltaStoreSse2" + k),
                1e3 * r.Get("Memcpy" + k), 1e3 * r.Get("LZ4" + k), 1e3 * r.Get("Straightforward" + k),
                s->tokens == 0 ? 0.0 : 1e9 * decode / double(s->tokens));
  }
  std::printf("\nRatios (target in brackets)\n");
  for (const auto& s : samples) {
    const std::string k = "/" + s->kind;
    const double memcpy_s = r.Get("Memcpy" + k);
    const double e2e = r.Get("GetPicture" + k);
    const double touch = r.Get("FirstTouch" + k);
    const double decode = r.Get("Decode" + k);
    if (memcpy_s <= 0 || decode <= 0) continue;
    const double one_thread = r.Get("GetPictureOneThread" + k);
    std::printf("%-7s end-to-end / memcpy %.2f%s; without first touch %.2f%s; one thread / two %.2f\n", s->kind.c_str(),
                e2e / memcpy_s, s->kind == "flat" ? " [<= 2.0]" : "", (e2e - touch) / memcpy_s,
                s->kind == "flat" ? " [<= 2.0]" : "", e2e > 0 ? one_thread / e2e : 0.0);
    const char* decode_target = s->kind == "photo" ? " [<= 4]" : (s->kind == "art" ? " [<= 1.6]" : "");
    std::printf("%-7s decode / memcpy %.2f%s; straightforward / decode %.2fx%s; LZ4 / decode %.2f\n", s->kind.c_str(),
                decode / memcpy_s, decode_target, r.Get("Straightforward" + k) / decode,
                s->kind == "photo" ? " [>= 8]" : "", r.Get("LZ4" + k) / decode);
    std::printf("%-7s delta+store / memcpy %.2f [<= 1.3] (SSE2 kernel %.2f)\n", s->kind.c_str(),
                r.Get("DeltaStore" + k) / memcpy_s, r.Get("DeltaStoreSse2" + k) / memcpy_s);
    std::printf("%-7s kx_decode / GetPicture %.2f [<= 1.0]; RGBA rows / GetPicture %.2f\n", s->kind.c_str(),
                e2e > 0 ? r.Get("Library" + k) / e2e : 0.0, e2e > 0 ? r.Get("LibraryRgba" + k) / e2e : 0.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;

  std::printf("Making and encoding the pictures (SSSE3 delta kernel %s)...\n",
              DeltaKernelAvailable(DeltaKernel::kSsse3) ? "available" : "not available");
  std::fflush(stdout);
  std::vector<std::unique_ptr<Sample>> samples;
  samples.push_back(std::make_unique<Sample>(MakeSample("flat", FlatIllustration(kWidth, kHeight))));
  samples.push_back(std::make_unique<Sample>(MakeSample("photo", Photograph(kWidth, kHeight))));
  samples.push_back(std::make_unique<Sample>(MakeSample("art", RenderedArt(kWidth, kHeight))));

  Buffers buf;
  Touch(&buf.bits, samples[0]->layout.bits_bytes);
  Touch(&buf.raw, samples[0]->layout.total_bytes);
  Touch(&buf.window, kDecodeWindowBytes);
  for (const auto& s : samples) {
    // The fast decoder's output is checked once against the straightforward
    // path before anything is timed.
    Bytes want(s->layout.bits_bytes, 0);
    DecompressPixels(s->kx.data(), s->kx.size(), buf.raw.data(), s->layout.total_bytes);
    StoreRows(buf.raw.data(), want.data(), s->layout.stride_bytes, s->layout.width, s->layout.height);
    if (std::memcmp(buf.raw.data(), s->raw.data(), s->raw.size()) != 0) {
      std::printf("%s: the encoded picture does not decode to the original\n", s->kind.c_str());
      return 1;
    }
    DecodeToBitmap(s->kx.data(), s->kx.size(), s->layout, buf.bits.data(), buf.window.data(), buf.window.size());
    if (want != buf.bits) {
      std::printf("%s: DecodeToBitmap differs from the straightforward path\n", s->kind.c_str());
      return 1;
    }
    RegisterAll(*s, &buf);
  }

  KeepingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  PrintSummary(reporter, samples);
  benchmark::Shutdown();
  return 0;
}
