// The group decoder's kernels against each other, paired: every round
// decodes the same file with the SSSE3 kernel (16-byte copies throughout)
// and with the one the library picks (kBest: on AVX2 processors the 32-byte
// copies where a stream's copies are long), in alternating order, into the
// same warm buffer of RGBA rows as the desktop loaders ask for, and keeps
// the ratio of the two times. Prints the medians, the median of the ratios,
// and whether both gave the same bytes. The time is the thread's own CPU
// time, so that a spell in which the shared machine ran something else
// falls on neither side.
// Usage: group_kernel_bench [--rounds=N] [--tokens-only] FILE.kx...
//   --tokens-only: the rows store nothing, so the time is the token
//   decoder's (with the window's flushes) alone.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/decode/fast_decode.h"
#include "codec/decode/row_writer.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"

using namespace kx;

namespace {

using Bytes = std::vector<std::uint8_t>;

double ThreadSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

void StoreNothing(RowWriter*, const std::uint8_t*, std::uint8_t*, std::size_t) {}

// Decodes `file` into `rgba` with `kernel`; returns the seconds taken.
double Decode(const Bytes& file, const PictureLayout& layout, bool tokens_only, DeltaKernel kernel, Bytes* rgba,
              Bytes* window) {
  const std::size_t stride_bytes = 4 * static_cast<std::size_t>(layout.width);
  const RowWriter rows = tokens_only ? StartRowsWith(layout, rgba->data(), stride_bytes, false, StoreNothing, nullptr)
                                     : StartWideRows(layout, rgba->data(), stride_bytes,
                                                     PickWideKernel(true, AsksForDelta(file.data(), file.size())));
  const double start = ThreadSeconds();
  DecodeIntoRows(file.data(), file.size(), layout.total_bytes, rows, window->data(), window->size(), kernel);
  return ThreadSeconds() - start;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  bool tokens_only = false;
  std::vector<std::string> files;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg.rfind("--rounds=", 0) == 0) {
      rounds = std::max(1, std::atoi(arg.c_str() + 9));
    } else if (arg == "--tokens-only") {
      tokens_only = true;
    } else {
      files.push_back(arg);
    }
  }
  std::printf("%s, %d rounds; kBest %s AVX2\n", tokens_only ? "token decoder alone" : "RGBA rows", rounds,
              DeltaKernelAvailable(DeltaKernel::kAvx2) ? "with" : "without");
  std::printf("%-40s %10s %10s %10s  %s\n", "file", "SSSE3 ms", "best ms", "best/SSSE3", "same bytes");
  Bytes window(kDecodeWindowBytes);
  for (const std::string& path : files) {
    std::ifstream in(path, std::ios::binary);
    const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ImageSize size{};
    PictureLayout layout{};
    if (file.size() < kHeaderBytes || PlanFromHeader(file.data(), file.size(), &size, &layout) != HeaderCheck::kOk) {
      std::printf("%-40s not a KX picture\n", path.c_str());
      continue;
    }
    Bytes want(4 * layout.total_bytes / 3);
    Bytes got(want.size());
    Decode(file, layout, false, DeltaKernel::kSsse3, &want, &window);
    Decode(file, layout, false, DeltaKernel::kBest, &got, &window);
    const bool same = want == got;
    std::vector<double> ssse3;
    std::vector<double> best;
    std::vector<double> ratios;
    for (int round = 0; round < rounds; ++round) {
      const bool best_first = round % 2 == 1;
      double best_seconds = best_first ? Decode(file, layout, tokens_only, DeltaKernel::kBest, &got, &window) : 0;
      const double ssse3_seconds = Decode(file, layout, tokens_only, DeltaKernel::kSsse3, &got, &window);
      if (!best_first) best_seconds = Decode(file, layout, tokens_only, DeltaKernel::kBest, &got, &window);
      ssse3.push_back(ssse3_seconds);
      best.push_back(best_seconds);
      ratios.push_back(best_seconds / ssse3_seconds);
    }
    std::printf("%-40s %10.3f %10.3f %10.3f  %s\n", path.c_str(), 1e3 * Median(ssse3), 1e3 * Median(best),
                Median(ratios), same ? "yes" : "NO");
  }
  return 0;
}
