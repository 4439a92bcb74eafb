// Writes the fuzz targets' seed corpora: fuzz/corpus/decode (streams with
// their settings at the end, fuzz/fuzz_input.h), fuzz/corpus/split (the same
// led by piece sizes) and fuzz/corpus/plugin (KX files). Besides the worked examples of every token form, the seeds reach
// the fast decoder's unchecked groups (with every flag byte) and the slides
// of its smallest window, which random mutation of short inputs does not
// find on its own.
//
//   make_seeds CORPUS_DIR      (writes CORPUS_DIR/decode, CORPUS_DIR/split and CORPUS_DIR/plugin)
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "fuzz/fuzz_input.h"
#include "tests/support/kx_build.h"

using namespace kx;

namespace {

bool Write(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

Bytes WithSettings(Bytes stream, const DecodeSettings& settings) {
  AppendDecodeSettings(&stream, settings);
  return stream;
}

// About 64 KiB of output shaped for the fast decoder: 24 KiB of long copies
// first, so that the window's output position nears its end, then groups of
// every token form while more than kFastInputBytes of input and 32 KiB of
// picture remain (the unchecked path, sliding once), then long copies to
// the end of the picture (the checked path, sliding again before a long
// copy). Copies reach back to every distance, the greatest included.
Bytes GroupsAndSlides(std::mt19937& rng) {
  StreamWriter w;
  w.Run(RandomBytes(rng, 40));
  for (const unsigned distance : {1u, 40u, 3u, 4096u, 7u, 16384u}) w.Long(distance, 4096);
  for (int group = 0; group < 48; ++group) {
    w.Literal(static_cast<std::uint8_t>(rng()));
    w.Short(1 + rng() % 32, 2 + rng() % 3);
    w.Run(RandomBytes(rng, 9 + rng() % 32));
    w.Medium(1 + rng() % 1024, 3 + rng() % 16);
    w.Long(1 + rng() % 16384, 3 + rng() % 254);
    w.Literal(static_cast<std::uint8_t>(rng()));
    w.Long(1 + rng() % 15, group % 4 == 0 ? 1024 : 17);
    w.Short(3, 3);
  }
  while (w.produced_bytes() < kMaxFuzzRawBytes) w.Long(1 + rng() % 16384, 4096);
  return w.Finish();
}

// The groups of 64 flag bytes, from `first` on, each control token in the
// form FlagGroup gives it for `variant`, then nine literal runs (the input
// the unchecked path wants after a group) and long copies to the end of a
// 64 KiB picture. The groups that start in the first half of the picture
// are decoded unchecked, the rest by the checked path.
Bytes FlagGroups(std::mt19937& rng, unsigned first, unsigned variant) {
  StreamWriter w;
  for (int k = 0; k < 8; ++k) w.Literal(static_cast<std::uint8_t>(rng()));
  for (unsigned flag = first; flag < first + 64; ++flag) FlagGroup(&w, rng, flag, variant);
  for (int k = 0; k < 9; ++k) w.Run(RandomBytes(rng, 40));
  while (w.produced_bytes() < kMaxFuzzRawBytes) w.Long(1 + rng() % 16384, 4096);
  return w.Finish();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_seeds CORPUS_DIR\n");
    return 2;
  }
  const std::filesystem::path decode_dir = std::filesystem::path(argv[1]) / "decode";
  const std::filesystem::path plugin_dir = std::filesystem::path(argv[1]) / "plugin";
  std::filesystem::create_directories(decode_dir);
  std::filesystem::create_directories(plugin_dir);
  const std::filesystem::path split_dir = std::filesystem::path(argv[1]) / "split";
  std::filesystem::create_directories(split_dir);
  std::mt19937 rng(2024);
  bool ok = true;
  // Every decode seed is a split seed too, led by piece codes
  // (fuzz/split_fuzzer.cpp) taken in turn from this list: a byte at a time,
  // 7 bytes, pieces that end at many offsets of a token, pieces of 16 KiB
  // and of 512 bytes around single bytes.
  const Bytes split_codes[] = {{0, 0}, {0, 6}, {2, 2, 4, 40}, {1, 255}, {2, 193, 0, 2}, {3, 12, 192, 1, 100}};
  std::size_t split_seeds = 0;
  auto decode = [&](const std::string& name, const Bytes& stream, const DecodeSettings& settings) {
    const Bytes input = WithSettings(stream, settings);
    ok = Write(decode_dir / name, input) && ok;
    Bytes split = split_codes[split_seeds++ % std::size(split_codes)];
    split.insert(split.end(), input.begin(), input.end());
    ok = Write(split_dir / name, split) && ok;
  };
  auto plugin = [&](const std::string& name, const Bytes& file) { ok = Write(plugin_dir / name, file) && ok; };

  // The worked examples: every form, a run cut by the end, copies of 256,
  // 1024 and 4096 bytes at distance 1, a copy reaching before the start.
  decode("example-2x2", {0x18, 0x01, 0x02, 0x03, 0x09, 0x80, 0x53}, {2, 2, true, 0, 0});
  decode("example-2x2-plain", {0x18, 0x01, 0x02, 0x03, 0x09, 0x80, 0x53}, {2, 2, false, 1, 1});
  decode("cut-run-3x1", {0x80, 0x03, 0x0A, 0x0B, 0x0C, 0x0D}, {3, 1, true, 2, 0});
  decode("long-copies-20x20", {0x40, 0x7F, 0xC0, 0x00, 0xFE}, {20, 20, false, 0, 0});
  {
    StreamWriter w;
    w.Literal(1);
    w.Long(1, 256);
    w.Long(1, 1024);
    w.Long(1, 4096);
    w.Medium(1, 18);
    w.Short(32, 4);
    w.Run(RandomBytes(rng, 40));
    w.Long(16384, 255);
    decode("all-forms-60x32", w.Finish(), {60, 32, true, 3, 2});
  }
  {
    StreamWriter w;
    w.Long(200, 20);
    w.Literal(9);
    w.Medium(500, 10);
    w.Short(32, 4);
    decode("before-start-9x9", w.Finish(), {9, 9, true, 1, 0});
  }

  // The fast decoder's paths, with each kernel and window.
  for (unsigned k = 0; k < 4; ++k) {
    decode("groups-slides-512x42-" + std::to_string(k), GroupsAndSlides(rng),
           {512, 42, k % 2 == 0, k, k == 3 ? 1u : 0u});
  }
  decode("random-tokens-1000x20", RandomTokenStream(rng, 60000), {1000, 20, true, 0, 0});
  decode("long-copies-4096x5", LongCopyTokenStream(rng, 61440, true), {4096, 5, true, 1, 2});
  decode("random-bytes-333x64", RandomBytes(rng, 1500), {333, 64, true, 0, 0});

  // Every flag byte's group, with each kernel (a generator of their own, so
  // that the seeds above stay as they were).
  std::mt19937 flag_rng(2025);
  for (unsigned k = 0; k < 4; ++k) {
    decode("flag-groups-" + std::to_string(64 * k) + "-512x42", FlagGroups(flag_rng, 64 * k, k),
           {512, 42, k % 2 == 1, k, k});
  }

  // The library's other layouts and strides, each with another window and
  // an odd width (its own generator, so that the seeds above stay as they
  // were).
  std::mt19937 layout_rng(2026);
  for (unsigned layout = 1; layout < 8; ++layout) {
    decode("layouts-" + std::to_string(layout) + "-333x30", GroupsAndSlides(layout_rng),
           {333, 30, layout % 2 == 1, 0, layout % 4, layout});
  }

  // Files for the entry points: the examples, damaged and refused headers,
  // and one picture large enough for the unchecked groups.
  plugin("example-2x2.kx", MakeKx(2, 2, {0x18, 0x01, 0x02, 0x03, 0x09, 0x80, 0x53}));
  plugin("small-2x1.kx", MakeKx(2, 1, {0x00, 0x10, 0x20, 0x30, 0x01, 0x02, 0x03}));
  plugin("cut-7x10.kx", MakeKx(7, 10, {0xFF, 0xC0, 0x00}));
  plugin("too-large.kx", MakeHeader(32767, 32767));
  plugin("zero-width.kx", MakeHeader(0, 5));
  plugin("groups-200x100.kx", MakeKx(200, 100, GroupsAndSlides(rng)));
  plugin("random-tokens-170x110.kx", MakeKx(170, 110, RandomTokenStream(rng, 56100), 0x03));
  // File mode: the last byte chooses the offset (fuzz/plugin_fuzzer.cpp). A
  // picture after 37 bytes of other data, found at offset 37 (kind 1: the
  // byte before the last); the same file at the most negative offset (kind
  // 2, choice 0) through the wide entry points (bit 3).
  Bytes contained(37, 'J');
  const Bytes inner = MakeKx(9, 4, {0x00, 0x10, 0x20, 0x30, 0x01, 0x02, 0x03, 0x04});
  contained.insert(contained.end(), inner.begin(), inner.end());
  contained.insert(contained.end(), {37, 0x01});
  plugin("file-offset-37.kx", contained);
  contained.back() = 0x0A;
  contained[contained.size() - 2] = 0;
  plugin("file-offset-most-negative.kx", contained);

  if (!ok) {
    std::fprintf(stderr, "cannot write the seeds under %s\n", argv[1]);
    return 1;
  }
  return 0;
}
