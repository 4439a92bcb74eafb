// The decoder in pieces against kx_decode on the benchmark pictures, paired
// in one run: each round times kx_decode, then the same file pushed in
// pieces of 64 KiB, 4 KiB and in one piece, in an order that turns each
// round, into the same (already touched) buffer. Prints the median of each
// and its ratio to kx_decode's median.
//
//   stream_bench [rounds] [width height]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/pictures.h"
#include "kx.h"
#include "writer/encode.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Encode(const Pixels& raw, int width, int height) {
  kx::EncodeOptions options;
  Bytes work(kx::EncodeWorkBytes(options));
  Bytes file(kx::EncodeBoundBytes(width, height));
  file.resize(kx::EncodeImage(raw.data(), width, height, options, work.data(), file.data(), file.size()));
  return file;
}

// The file in pieces of piece_bytes (0: one piece).
bool DecodeInPieces(const Bytes& file, std::size_t piece_bytes, int layout, Bytes* out, std::size_t stride_bytes) {
  kx_decoder_options o = KX_DECODER_OPTIONS_INIT;
  o.layout = layout;
  o.dst = out->data();
  o.stride_bytes = stride_bytes;
  o.dst_bytes = out->size();
  kx_decoder* d = nullptr;
  if (kx_decoder_create(file.data(), file.size(), &o, &d) != KX_OK) return false;
  if (piece_bytes == 0) piece_bytes = file.size();
  for (std::size_t at = 0; at < file.size(); at += piece_bytes) {
    kx_decoder_push(d, file.data() + at, std::min(piece_bytes, file.size() - at), nullptr);
  }
  const bool ok = kx_decoder_finish(d, nullptr) == KX_OK;
  kx_decoder_destroy(d);
  return ok;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 9;
  const int width = argc > 3 ? std::atoi(argv[2]) : 4000;
  const int height = argc > 3 ? std::atoi(argv[3]) : 3000;
  struct Picture {
    const char* kind;
    Pixels (*make)(int, int);
  };
  const Picture pictures[] = {{"flat", FlatIllustration}, {"photo", Photograph}, {"art", RenderedArt}};
  // kx_decode first, then the decoder with pieces of these sizes (0: one piece).
  const std::size_t pieces[] = {std::size_t{64} << 10, std::size_t{4} << 10, 0};
  const char* names[] = {"kx_decode", "64 KiB", "4 KiB", "1 piece"};
  constexpr int kWays = 4;
  std::printf("%d x %d, %d rounds, medians in ms, ratio to kx_decode\n", width, height, rounds);
  std::printf("%-6s %-6s", "kind", "layout");
  for (const char* name : names) std::printf(" %10s %6s", name, "ratio");
  std::printf("\n");
  for (const Picture& p : pictures) {
    const Bytes file = Encode(p.make(width, height), width, height);
    for (const int layout : {KX_LAYOUT_BGR_BOTTOM_UP, KX_LAYOUT_RGBA}) {
      const std::size_t stride_bytes = kx_default_stride(width, layout);
      Bytes out(kx_buffer_bytes(width, height, layout, stride_bytes), 0);
      Bytes check(out.size(), 1);
      std::vector<double> ms[kWays];
      for (int round = 0; round < rounds; ++round) {
        for (int k = 0; k < kWays; ++k) {
          const int way = (k + round) % kWays;
          const auto start = Clock::now();
          const bool ok = way == 0 ? kx_decode(file.data(), file.size(), layout, out.data(), stride_bytes, out.size(),
                                               nullptr) == KX_OK
                                   : DecodeInPieces(file, pieces[way - 1], layout, &out, stride_bytes);
          ms[way].push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
          if (!ok) {
            std::fprintf(stderr, "%s: %s failed\n", p.kind, names[way]);
            return 1;
          }
          if (round == 0 && way == 0) check = out;
          if (round == 0 && way != 0 && out != check) {
            std::fprintf(stderr, "%s: %s gave other pixels than kx_decode\n", p.kind, names[way]);
            return 1;
          }
        }
      }
      const double base = Median(ms[0]);
      std::printf("%-6s %-6s", p.kind, layout == KX_LAYOUT_RGBA ? "RGBA" : "BMP");
      for (int way = 0; way < kWays; ++way) std::printf(" %10.2f %6.3f", Median(ms[way]), Median(ms[way]) / base);
      std::printf("\n");
    }
  }
  return 0;
}
