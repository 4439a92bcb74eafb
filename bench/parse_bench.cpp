// The writer's frontier of size against decode time: the levels and the
// decode speeds (kx_encode_options.decode_speed) on the benchmark pictures
// and the photographs given with --photo=FILE.ppm. For every file: its
// bytes and its tokens by form (exact: they carry the argument on a busy
// machine), and its decode time on one thread into RGBA rows paired with the
// default level's file of the same picture: every round decodes both, in
// alternating order, into the same warm buffer, and the median of the
// per-round ratios is printed (a busy spell falls on both sides of a pair).
// Then the decoder's cost model, fitted by least squares on the fastest
// round of every file: time = a x single literals + c x control tokens (runs
// and copies) + b x output bytes, and the same with one constant per token.
// Usage: parse_bench [--rounds=N] [--levels=1,6,9] [--speeds=1,3,5]
//                    [--side=4000x3000] [--photo=FILE.ppm]...
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "bench/decode_files.h"
#include "bench/pictures.h"
#include "bench/token_count.h"
#include "kx.h"

namespace {

using namespace decode_bench;

struct Paired {
  double file_seconds;      // median
  double file_min_seconds;  // the fastest round: the least disturbed by a busy machine
  double base_min_seconds;
  double ratio;  // median of base / file per round: how many times faster the file decodes
};

Paired Measure(const Bytes& file, const Bytes& base, const Picture& p, int rounds) {
  Bytes out;
  std::vector<double> times, base_times;
  DecodeInTurn(
      rounds, p, &out, [&] { return DecodeSeconds(file, p, &out, 1); }, [&] { return DecodeSeconds(base, p, &out, 1); },
      &times, &base_times);
  std::vector<double> ratio;
  for (std::size_t r = 0; r < times.size(); ++r) ratio.push_back(base_times[r] / times[r]);
  return {Median(times), *std::min_element(times.begin(), times.end()),
          *std::min_element(base_times.begin(), base_times.end()), Median(ratio)};
}

std::vector<int> ParseList(const char* text) {
  std::vector<int> values;
  while (*text != '\0') {
    char* end = nullptr;
    values.push_back(static_cast<int>(std::strtol(text, &end, 10)));
    if (end == text) break;
    text = *end == ',' ? end + 1 : end;
  }
  return values;
}

// Least squares for y = x . k over rows of n columns (n <= 3), by the
// normal equations and Gaussian elimination.
std::vector<double> Fit(const std::vector<std::vector<double>>& xs, const std::vector<double>& ys) {
  const std::size_t n = xs[0].size();
  std::vector<std::vector<double>> m(n, std::vector<double>(n + 1, 0.0));
  for (std::size_t r = 0; r < xs.size(); ++r) {
    for (std::size_t i = 0; i < n; ++i) {
      for (std::size_t j = 0; j < n; ++j) m[i][j] += xs[r][i] * xs[r][j];
      m[i][n] += xs[r][i] * ys[r];
    }
  }
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t k = i + 1; k < n; ++k) {
      const double f = m[k][i] / m[i][i];
      for (std::size_t j = i; j <= n; ++j) m[k][j] -= f * m[i][j];
    }
  }
  std::vector<double> k(n, 0.0);
  for (std::size_t i = n; i-- > 0;) {
    double v = m[i][n];
    for (std::size_t j = i + 1; j < n; ++j) v -= m[i][j] * k[j];
    k[i] = v / m[i][i];
  }
  return k;
}

double WorstError(const std::vector<std::vector<double>>& xs, const std::vector<double>& ys,
                  const std::vector<double>& k) {
  double worst = 0;
  for (std::size_t r = 0; r < xs.size(); ++r) {
    double y = 0;
    for (std::size_t i = 0; i < k.size(); ++i) y += k[i] * xs[r][i];
    worst = std::max(worst, std::fabs(y - ys[r]) / ys[r]);
  }
  return worst;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 15;
  std::vector<int> levels{1, 6, 9};
  std::vector<int> speeds{1, 3, 5, 7, 9};
  int side_width = 4000;
  int side_height = 3000;
  std::vector<std::string> photos;
  for (int k = 1; k < argc; ++k) {
    const std::string arg = argv[k];
    if (arg.rfind("--rounds=", 0) == 0) rounds = std::atoi(arg.c_str() + 9);
    if (arg.rfind("--levels=", 0) == 0) levels = ParseList(arg.c_str() + 9);
    if (arg.rfind("--speeds=", 0) == 0) speeds = ParseList(arg.c_str() + 9);
    if (arg.rfind("--side=", 0) == 0) std::sscanf(arg.c_str() + 7, "%dx%d", &side_width, &side_height);
    if (arg.rfind("--photo=", 0) == 0) photos.push_back(arg.substr(8));
  }

  std::vector<Picture> pictures;
  const std::string side = std::to_string(side_width) + "x" + std::to_string(side_height);
  pictures.push_back({"illustration " + side, side_width, side_height, FlatIllustration(side_width, side_height)});
  pictures.push_back({"photograph stand-in " + side, side_width, side_height, Photograph(side_width, side_height)});
  pictures.push_back({"rendered art " + side, side_width, side_height, RenderedArt(side_width, side_height)});
  for (const std::string& path : photos) {
    Picture p;
    if (!ReadPpm(path, &p)) {
      std::fprintf(stderr, "cannot read %s\n", path.c_str());
      return 1;
    }
    pictures.push_back(std::move(p));
  }

  std::vector<std::vector<double>> forms_x, tokens_x, within_x;
  std::vector<double> ys;
  std::vector<double> picture_out_bytes;
  std::printf("frontier: one-thread decode into RGBA rows, %d rounds paired with level %d's file\n", rounds,
              KX_DEFAULT_LEVEL);
  std::printf("%-30s %-8s %11s %7s %10s %7s %9s %8s %9s %8s %8s %7s\n", "picture", "parse", "file bytes", "bytes/6",
              "tokens", "tok/6", "literals", "runs", "copies", "med ms", "min ms", "6/this");
  for (const Picture& p : pictures) {
    const Bytes base = Encode(p, KX_DEFAULT_LEVEL, 0);
    const TokenForms base_forms = CountTokenForms(base, p.raw.size());
    const double base_tokens = static_cast<double>(base_forms.literals + base_forms.runs + base_forms.copies);
    struct Candidate {
      int level;
      int speed;
    };
    std::vector<Candidate> candidates;
    candidates.reserve(levels.size() + speeds.size());
    for (int level : levels) candidates.push_back({level, 0});
    for (int speed : speeds) candidates.push_back({KX_DEFAULT_LEVEL, speed});
    for (const Candidate& c : candidates) {
      const Bytes file = c.level == KX_DEFAULT_LEVEL && c.speed == 0 ? base : Encode(p, c.level, c.speed);
      const TokenForms forms = CountTokenForms(file, p.raw.size());
      const std::size_t tokens = forms.literals + forms.runs + forms.copies;
      const Paired m = Measure(file, base, p, rounds);
      char parse[16];
      if (c.speed == 0) {
        std::snprintf(parse, sizeof parse, "level %d", c.level);
      } else {
        std::snprintf(parse, sizeof parse, "speed %d", c.speed);
      }
      std::printf("%-30s %-8s %11zu %7.3f %10zu %7.3f %9zu %8zu %9zu %8.2f %8.2f %7.3f\n", p.name.c_str(), parse,
                  file.size(), static_cast<double>(file.size()) / static_cast<double>(base.size()), tokens,
                  static_cast<double>(tokens) / base_tokens, forms.literals, forms.runs, forms.copies,
                  m.file_seconds * 1e3, m.file_min_seconds * 1e3, m.ratio);
      std::fflush(stdout);
      const double out_bytes = static_cast<double>(p.raw.size()) * 4 / 3;  // RGBA bytes written
      forms_x.push_back(
          {static_cast<double>(forms.literals), static_cast<double>(forms.runs + forms.copies), out_bytes});
      tokens_x.push_back({static_cast<double>(tokens), out_bytes});
      // The same forms with one constant per picture in place of the
      // bytes: the token costs from the files of one picture against each
      // other, whatever the picture's content costs per byte.
      std::vector<double> within{static_cast<double>(forms.literals), static_cast<double>(forms.runs + forms.copies)};
      for (std::size_t k = 0; k < pictures.size(); ++k) within.push_back(&pictures[k] == &p ? 1.0 : 0.0);
      within_x.push_back(within);
      ys.push_back(m.file_min_seconds);
    }
    picture_out_bytes.push_back(static_cast<double>(p.raw.size()) * 4 / 3);
  }
  const std::vector<double> k3 = Fit(forms_x, ys);
  const std::vector<double> k2 = Fit(tokens_x, ys);
  std::printf(
      "\ncost model, one thread, fastest rounds of %zu files:\n"
      "  %.2f ns per single literal + %.2f ns per run or copy + %.3f ns per output byte (RGBA); worst error %.0f%%\n"
      "  %.2f ns per token + %.3f ns per output byte (RGBA); worst error %.0f%%\n",
      ys.size(), k3[0] * 1e9, k3[1] * 1e9, k3[2] * 1e9, WorstError(forms_x, ys, k3) * 100, k2[0] * 1e9, k2[1] * 1e9,
      WorstError(tokens_x, ys, k2) * 100);
  const std::vector<double> kw = Fit(within_x, ys);
  std::printf(
      "  with one constant per picture: %.2f ns per single literal + %.2f ns per run or copy; worst error %.0f%%\n",
      kw[0] * 1e9, kw[1] * 1e9, WorstError(within_x, ys, kw) * 100);
  for (std::size_t k = 0; k < pictures.size(); ++k) {
    std::printf("    %-30s %.3f ns per output byte (RGBA)\n", pictures[k].name.c_str(),
                kw[2 + k] / picture_out_bytes[k] * 1e9);
  }
  return 0;
}
