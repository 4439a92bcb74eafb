// The public library's decode on one thread against two, paired: every
// round decodes the same file both ways, in alternating order, into the
// same warm buffer, and the ratio of the two times is kept; the median of
// the ratios over the rounds is printed (a busy spell on the machine falls
// on both sides of a pair). Three parts:
//   - the threshold: the photograph stand-in at sizes from 64 KiB to 12 MB
//     of pixels, to place kTwoCoreMinBytes (codec/decode/two_core_decode.h);
//   - the frontier: every level on the benchmark pictures and the
//     photographs given with --photo=FILE.ppm: file bytes, tokens, and the
//     decode time on one thread and on two;
//   - the decoder's cost model: the fastest round on one thread fitted as
//     a x tokens + b x output bytes over every file of the frontier (least
//     squares), with the worst relative error of the fit.
// Usage: two_core_bench [--rounds=N] [--levels=1..9] [--photo=FILE.ppm]... [--threshold-only]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/decode_files.h"
#include "bench/pictures.h"
#include "bench/token_count.h"
#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"
#include "kx.h"

using namespace kx;

namespace {

using namespace decode_bench;

struct Paired {
  double one_seconds;  // medians
  double two_seconds;
  double ratio;            // median of two / one per round
  double one_min_seconds;  // the fastest round on one thread: the least disturbed by a busy machine
};

// Into RGBA rows, as the desktop loaders decode.
Paired Measure(const Bytes& file, const Picture& p, int rounds) {
  Bytes out;
  std::vector<double> one, two;
  DecodeInTurn(
      rounds, p, &out, [&] { return DecodeSeconds(file, p, &out, 1); }, [&] { return DecodeSeconds(file, p, &out, 2); },
      &one, &two);
  std::vector<double> ratio;
  for (std::size_t r = 0; r < one.size(); ++r) ratio.push_back(two[r] / one[r]);
  return {Median(one), Median(two), Median(ratio), *std::min_element(one.begin(), one.end())};
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  int first_level = 1;
  int last_level = 9;
  std::vector<std::string> photos;
  bool threshold_only = false;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg.rfind("--rounds=", 0) == 0) rounds = std::atoi(arg.c_str() + 9);
    if (arg.rfind("--levels=", 0) == 0) std::sscanf(arg.c_str() + 9, "%d..%d", &first_level, &last_level);
    if (arg.rfind("--photo=", 0) == 0) photos.push_back(arg.substr(8));
    if (arg == "--threshold-only") threshold_only = true;
  }

  std::printf("threshold: photograph stand-in at the default level, %d paired rounds\n", rounds);
  std::printf("%12s %10s %10s %10s\n", "pixel bytes", "one ms", "two ms", "two/one");
  const int sides[][2] = {{148, 148}, {209, 209},   {296, 296},   {418, 418},  {591, 591},
                          {836, 836}, {1182, 1182}, {2000, 1500}, {4000, 3000}};
  for (const auto& side : sides) {
    const Picture p{"photo", side[0], side[1], Photograph(side[0], side[1])};
    const Bytes file = Encode(p, KX_DEFAULT_LEVEL, 0);
    const Paired m = Measure(file, p, rounds * 4);
    std::printf("%12zu %10.3f %10.3f %10.3f\n", p.raw.size(), m.one_seconds * 1e3, m.two_seconds * 1e3, m.ratio);
  }

  if (threshold_only) return 0;

  std::vector<Picture> pictures;
  pictures.push_back({"illustration 4000x3000", 4000, 3000, FlatIllustration(4000, 3000)});
  pictures.push_back({"photograph stand-in 4000x3000", 4000, 3000, Photograph(4000, 3000)});
  pictures.push_back({"rendered art 4000x3000", 4000, 3000, RenderedArt(4000, 3000)});
  for (const std::string& path : photos) {
    Picture p;
    if (!ReadPpm(path, &p)) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    pictures.push_back(std::move(p));
  }

  // Sums for the least-squares fit of one-thread time = a x tokens + b x bytes.
  double stt = 0, stb = 0, sbb = 0, sty = 0, sby = 0;
  struct Row {
    double tokens, bytes, seconds;
  };
  std::vector<Row> rows;
  std::printf("\nfrontier, %d paired rounds (RGBA rows, warm buffer)\n", rounds);
  std::printf("%-32s %5s %12s %8s %10s %10s %10s %10s %8s\n", "picture", "level", "file bytes", "size", "tokens",
              "one ms", "one min", "two ms", "two/one");
  for (const Picture& p : pictures) {
    double default_bytes = 0;
    for (int level = first_level; level <= last_level; ++level) {
      const Bytes file = Encode(p, level, 0);
      if (level == KX_DEFAULT_LEVEL || default_bytes == 0) default_bytes = static_cast<double>(file.size());
      const std::size_t tokens = CountTokens(file, p.raw.size());
      const Paired m = Measure(file, p, rounds);
      std::printf("%-32s %5d %12zu %8.3f %10zu %10.2f %10.2f %10.2f %8.3f\n", p.name.c_str(), level, file.size(),
                  static_cast<double>(file.size()) / static_cast<double>(p.raw.size()), tokens, m.one_seconds * 1e3,
                  m.one_min_seconds * 1e3, m.two_seconds * 1e3, m.ratio);
      const double t = static_cast<double>(tokens);
      const double b = static_cast<double>(p.raw.size()) * 4 / 3;  // bytes written
      stt += t * t;
      stb += t * b;
      sbb += b * b;
      sty += t * m.one_min_seconds;
      sby += b * m.one_min_seconds;
      rows.push_back({t, b, m.one_min_seconds});
    }
  }
  const double det = stt * sbb - stb * stb;
  const double a = (sty * sbb - sby * stb) / det;
  const double b = (stt * sby - stb * sty) / det;
  double worst = 0;
  for (const Row& r : rows) worst = std::max(worst, std::fabs(a * r.tokens + b * r.bytes - r.seconds) / r.seconds);
  std::printf(
      "\ncost model, one thread, fastest rounds: %.2f ns per token + %.3f ns per output byte (RGBA); worst error "
      "%.0f%%\n",
      a * 1e9, b * 1e9, worst * 100);
  return 0;
}
