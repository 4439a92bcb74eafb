// What the decode benchmarks share: a picture with its name, written and
// decoded through the public library (into RGBA rows, as the desktop
// loaders decode), a photograph read from a binary PPM, and the median.
// Header-only, so that a benchmark builds with one compiler command against
// a Windows build's libkx.a (docs/benchmarks.md).
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "bench/pictures.h"
#include "kx.h"

namespace decode_bench {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

inline std::size_t Size(std::size_t bytes, int side) { return bytes * static_cast<std::size_t>(side); }

struct Picture {
  std::string name;
  int width;
  int height;
  Pixels raw;  // top-down BGR
};

// The file the library writes at `level` and `decode_speed`; ends the
// program if it cannot.
inline Bytes Encode(const Picture& p, int level, int decode_speed) {
  kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
  options.level = level;
  options.decode_speed = decode_speed;
  options.threads = 2;  // the same file whatever the number
  Bytes file(kx_encode_bound(p.width, p.height));
  std::size_t file_bytes = 0;
  if (kx_encode(p.raw.data(), p.raw.size(), p.width, p.height, KX_LAYOUT_BGR, Size(3, p.width), &options, file.data(),
                file.size(), &file_bytes) != KX_OK) {
    std::fprintf(stderr, "encoding %s failed\n", p.name.c_str());
    std::exit(1);
  }
  file.resize(file_bytes);
  return file;
}

// One decode into `out` (RGBA rows of the picture) on `threads` threads,
// in seconds; ends the program if it fails.
inline double DecodeSeconds(const Bytes& file, const Picture& p, Bytes* out, unsigned threads) {
  kx_decode_options options = KX_DECODE_OPTIONS_INIT;
  options.threads = threads;
  const Clock::time_point start = Clock::now();
  const kx_result result = kx_decode_ex(file.data(), file.size(), KX_LAYOUT_RGBA, out->data(), Size(4, p.width),
                                        out->size(), &options, nullptr);
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (result != KX_OK) {
    std::fprintf(stderr, "decoding %s failed: %d\n", p.name.c_str(), static_cast<int>(result));
    std::exit(1);
  }
  return seconds;
}

// Two decodes into `out` in turn, `rounds` times, the first of the pair
// alternating so that neither always finds the caches as the other left
// them; each one's seconds, round by round. `a` runs once untimed first,
// so that no round pays for the first touch of `out`'s pages.
template <typename DecodeA, typename DecodeB>
void DecodeInTurn(int rounds, const Picture& p, Bytes* out, DecodeA a, DecodeB b, std::vector<double>* a_seconds,
                  std::vector<double>* b_seconds) {
  out->resize(Size(4, p.width) * Size(1, p.height));
  a();
  for (int r = 0; r < rounds; ++r) {
    if (r % 2 == 0) {
      a_seconds->push_back(a());
      b_seconds->push_back(b());
    } else {
      b_seconds->push_back(b());
      a_seconds->push_back(a());
    }
  }
}

inline double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

// A binary PPM of maxval 255 (what djpeg -ppm writes) as top-down BGR.
inline bool ReadPpm(const std::string& path, Picture* p) {
  std::ifstream in(path, std::ios::binary);
  std::string magic;
  int max_value = 0;
  in >> magic >> p->width >> p->height >> max_value;
  in.get();
  if (!in || magic != "P6" || max_value != 255) return false;
  Pixels rgb(Size(3, p->width) * Size(1, p->height));
  in.read(reinterpret_cast<char*>(rgb.data()), static_cast<std::streamsize>(rgb.size()));
  if (!in) return false;
  for (std::size_t k = 0; k < rgb.size(); k += 3) std::swap(rgb[k], rgb[k + 2]);
  p->raw = std::move(rgb);
  const std::size_t slash = path.find_last_of('/');
  p->name = path.substr(slash == std::string::npos ? 0 : slash + 1);
  return true;
}

}  // namespace decode_bench
