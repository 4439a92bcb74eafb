// The reference the Python tests compare the binding and the Pillow plug-in
// with, independent of libkx's decoder: the header rules, and the
// byte-at-a-time reference decoder of tests/support for the pixels.
//
//   reference_decode FILE OUT.ppm
//
// Prints "not recognised", "recognised, not decoded", or "recognised W H
// complete" / "recognised W H cut" and then writes the picture's pixels (RGB,
// top row first; after a cut stream, what a viewer gets: the bytes it did not
// produce are zero before the delta step) to OUT.ppm.
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>

#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "tests/support/reference_decoder.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: reference_decode FILE OUT.ppm\n");
    return 2;
  }
  std::ifstream in(argv[1], std::ios::binary);
  const Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (kx::RecognizeHeader(file.data(), file.size()) != kx::HeaderCheck::kOk) {
    std::printf("not recognised\n");
    return 0;
  }
  kx::ImageSize size{};
  kx::PictureLayout picture{};
  if (kx::PlanFromHeader(file.data(), file.size(), &size, &picture) != kx::HeaderCheck::kOk) {
    std::printf("recognised, not decoded\n");
    return 0;
  }
  const ReferenceResult decoded = ReferenceDecode(file, picture.total_bytes);
  std::ofstream out(argv[2], std::ios::binary | std::ios::trunc);
  out << "P6\n" << picture.width << ' ' << picture.height << "\n255\n";
  for (std::size_t k = 0; k < picture.total_bytes; k += 3) {
    // The file stores blue, green, red.
    const char rgb[3] = {static_cast<char>(decoded.pixels[k + 2]), static_cast<char>(decoded.pixels[k + 1]),
                         static_cast<char>(decoded.pixels[k])};
    out.write(rgb, 3);
  }
  if (!out) return 1;
  std::printf("recognised %d %d %s\n", picture.width, picture.height,
              decoded.produced == picture.total_bytes ? "complete" : "cut");
  return 0;
}
