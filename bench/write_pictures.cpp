// Writes the benchmark pictures as KX files (flat.kx, photo.kx, art.kx:
// 4000 x 3000, made by bench/pictures.cpp and encoded by the project's writer
// at its default level), so that every build of the plug-in, the Windows
// modules under Wine included, is timed on the very same bytes.
//
//   write_pictures DIR
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "bench/pictures.h"
#include "writer/encode.h"

using namespace kx;

namespace {

constexpr int kWidth = 4000;
constexpr int kHeight = 3000;

bool Write(const std::string& path, const Pixels& raw) {
  const EncodeOptions options{};
  std::vector<std::uint8_t> work(EncodeWorkBytes(options));
  std::vector<std::uint8_t> kx(EncodeBoundBytes(kWidth, kHeight));
  kx.resize(EncodeImage(raw.data(), kWidth, kHeight, options, work.data(), kx.data(), kx.size()));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(kx.data()), static_cast<std::streamsize>(kx.size()));
  out.close();
  return !kx.empty() && static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_pictures DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  const bool ok = Write(dir + "/flat.kx", FlatIllustration(kWidth, kHeight)) &&
                  Write(dir + "/photo.kx", Photograph(kWidth, kHeight)) &&
                  Write(dir + "/art.kx", RenderedArt(kWidth, kHeight));
  if (!ok) std::fprintf(stderr, "write_pictures: cannot write the pictures to %s\n", dir.c_str());
  return ok ? 0 : 1;
}
