// Writes a folder of KX files, good and damaged, for the end-to-end
// comparison of hosts: every file must give the same answers and the same
// bitmap from the native library and from both modules under Wine.
//
//   make_samples OUT_DIR
#include <cstdio>
#include <fstream>
#include <random>
#include <string>

#include "tests/support/kx_build.h"

namespace {

bool Write(const std::string& dir, const std::string& name, const Bytes& bytes) {
  std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

// A smooth gradient with a few flat bands, written as literal runs and copies
// so that every token form appears.
Bytes Gradient(int width, int height) {
  StreamWriter w;
  // Delta-coded: each pixel stores its difference from the one before.
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      if (x > 0 && (y / 8) % 2 == 1) {
        w.Short(3, 3);  // the band repeats the previous difference
        continue;
      }
      w.Literal(static_cast<std::uint8_t>(x == 0 ? 1 : 0));
      w.Literal(static_cast<std::uint8_t>(y % 3));
      w.Literal(2);
    }
  }
  return MakeKx(width, height, w.Finish());
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples OUT_DIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  std::mt19937 rng(20261207);
  bool ok = true;
  ok &= Write(dir, "small-2x1.kx", MakeKx(2, 1, {0x00, 0x10, 0x20, 0x30, 0x01, 0x02, 0x03}));
  ok &= Write(dir, "example-2x2.kx", MakeKx(2, 2, {0x18, 0x01, 0x02, 0x03, 0x09, 0x80, 0x53}));
  ok &= Write(dir, "gradient-333x129.kx", Gradient(333, 129));
  for (const int size : {1, 7, 64, 257}) {
    const std::size_t total = std::size_t(size) * std::size_t(size + 3) * 3;
    const Bytes stream = RandomTokenStream(rng, total);
    const std::string tag = std::to_string(size) + "x" + std::to_string(size + 3);
    ok &= Write(dir, "tokens-" + tag + ".kx", MakeKx(size, size + 3, stream));
    ok &= Write(dir, "cut-" + tag + ".kx", MakeKx(size, size + 3, Bytes(stream.begin(), stream.begin() + long(stream.size() / 2))));
    Bytes junk = stream;
    const Bytes tail = RandomBytes(rng, 333);
    junk.insert(junk.end(), tail.begin(), tail.end());
    ok &= Write(dir, "junk-" + tag + ".kx", MakeKx(size, size + 3, junk));
    ok &= Write(dir, "noise-" + tag + ".kx", MakeKx(size, size + 3, RandomBytes(rng, total / 2 + 1)));
  }
  ok &= Write(dir, "header-only-5x5.kx", MakeHeader(5, 5));
  ok &= Write(dir, "too-large-32767.kx", MakeKx(32767, 32767, {0x00, 1, 2, 3}));
  ok &= Write(dir, "zero-width.kx", MakeKx(0, 10, {0x00, 1, 2, 3}));
  ok &= Write(dir, "not-kx.bin", Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 2, 3});
  // Other formats whose bytes 12 to 15 read as a small width and height.
  ok &= Write(dir, "not-kx-4x4.bin", Bytes{'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 4, 0, 4, 0, 1, 2, 3});
  ok &= Write(dir, "icon-16x16.ico", WindowsIcon16());
  ok &= Write(dir, "coding-03-9000x2.kx", MakeKx(9000, 2, {0x00, 1, 2, 3}, 0x03));
  ok &= Write(dir, "ten-bytes.kx", Bytes(10, 'K'));
  ok &= Write(dir, "empty.kx", Bytes{});
  if (!ok) {
    std::fprintf(stderr, "make_samples: cannot write to %s\n", dir.c_str());
    return 1;
  }
  return 0;
}
