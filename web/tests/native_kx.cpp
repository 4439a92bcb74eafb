// The native library as the web package's tests and measurements see it:
// the reference a WebAssembly build must match byte for byte, and the
// native side of the timing comparison, in the same run.
//
//   kx_web_reference decode IN.kx OUT.rgba        prints: result width height complete decoded_pixels
//   kx_web_reference encode IN.rgba W H LEVEL [DECODE_SPEED] OUT.kx   prints: result file_bytes
//   kx_web_reference pictures DIR                 writes flat.kx, photo.kx, art.kx (4000 x 3000) and
//                                                 large.kx (8192 x 8192) at the default level
//   kx_web_reference time DECODE_REPS ENCODE_REPS FILE.kx...
//                                                 prints JSON: the fastest decode to RGBA (into a fresh
//                                                 block, and into one already written) and encode of
//                                                 the decoded pixels at the default level, in ms (null
//                                                 where no repetition was asked for)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/pictures.h"
#include "kx.h"

namespace {

using Bytes = std::vector<unsigned char>;

bool ReadFile(const char* path, Bytes* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return true;
}

bool WriteFile(const std::string& path, const unsigned char* data, std::size_t n) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
  return static_cast<bool>(out);
}

// Decodes to top-down RGBA without gaps, as the web module does.
int DecodeRgba(const Bytes& file, Bytes* rgba, kx_decode_report* report) {
  kx_info info = KX_INFO_INIT;
  const kx_result header = kx_probe(file.data(), file.size(), &info);
  if (header != KX_OK) return header;
  const std::size_t stride_bytes = kx_default_stride(info.width, KX_LAYOUT_RGBA);
  rgba->resize(static_cast<std::size_t>(kx_buffer_bytes(info.width, info.height, KX_LAYOUT_RGBA, stride_bytes)));
  return kx_decode(file.data(), file.size(), KX_LAYOUT_RGBA, rgba->data(), stride_bytes, rgba->size(), report);
}

int EncodeRgba(const unsigned char* pixels, std::size_t pixels_bytes, int width, int height, int level,
               int decode_speed, Bytes* file) {
  kx_encode_options options = KX_ENCODE_OPTIONS_INIT;
  options.level = level;
  options.decode_speed = decode_speed;
  file->resize(static_cast<std::size_t>(kx_encode_bound(width, height)));
  std::size_t file_bytes = 0;
  const int result = kx_encode(pixels, pixels_bytes, width, height, KX_LAYOUT_RGBA, 4 * static_cast<std::size_t>(width),
                               &options, file->data(), file->size(), &file_bytes);
  file->resize(result == KX_OK ? file_bytes : 0);
  return result;
}

int Decode(const char* in, const char* out) {
  Bytes file;
  if (!ReadFile(in, &file)) return 2;
  Bytes rgba;
  kx_decode_report report = KX_DECODE_REPORT_INIT;
  const int result = DecodeRgba(file, &rgba, &report);
  if (result == KX_OK && !WriteFile(out, rgba.data(), rgba.size())) return 2;
  std::printf("%d %d %d %d %llu\n", result, report.width, report.height, report.complete,
              static_cast<unsigned long long>(report.decoded_pixels));
  return 0;
}

int Encode(const char* in, int width, int height, int level, int decode_speed, const char* out) {
  Bytes rgba;
  if (!ReadFile(in, &rgba)) return 2;
  Bytes file;
  const int result = EncodeRgba(rgba.data(), rgba.size(), width, height, level, decode_speed, &file);
  if (result == KX_OK && !WriteFile(out, file.data(), file.size())) return 2;
  std::printf("%d %zu\n", result, file.size());
  return 0;
}

// Blue, green, red rows into RGBA, as a page would hand them over.
Bytes Widen(const Pixels& raw) {
  Bytes rgba(raw.size() / 3 * 4);
  for (std::size_t k = 0, j = 0; k < raw.size(); k += 3, j += 4) {
    rgba[j] = raw[k + 2];
    rgba[j + 1] = raw[k + 1];
    rgba[j + 2] = raw[k];
    rgba[j + 3] = 255;
  }
  return rgba;
}

int Pictures(const std::string& dir) {
  struct Picture {
    const char* name;
    Pixels (*make)(int, int);
    int side_x, side_y;
  };
  const Picture pictures[] = {{"flat.kx", FlatIllustration, 4000, 3000},
                              {"photo.kx", Photograph, 4000, 3000},
                              {"art.kx", RenderedArt, 4000, 3000},
                              {"large.kx", FlatIllustration, 8192, 8192}};
  for (const Picture& picture : pictures) {
    const Bytes rgba = Widen(picture.make(picture.side_x, picture.side_y));
    Bytes file;
    if (EncodeRgba(rgba.data(), rgba.size(), picture.side_x, picture.side_y, 0, 0, &file) != KX_OK) return 1;
    if (!WriteFile(dir + "/" + picture.name, file.data(), file.size())) return 2;
  }
  return 0;
}

template <typename Work>
double FastestMs(int reps, Work work) {
  double best_ms = -1;
  for (int k = 0; k < reps; ++k) {
    const auto start = std::chrono::steady_clock::now();
    work();
    const std::chrono::duration<double, std::milli> took = std::chrono::steady_clock::now() - start;
    best_ms = best_ms < 0 ? took.count() : std::min(best_ms, took.count());
  }
  return best_ms;
}

// Times kx_decode to RGBA and kx_encode of those pixels at the default
// level, each into a fresh malloc'd block per call as the web module's glue
// does (a std::vector would also zero it first, which the glue does not);
// and kx_decode into the block the first decode wrote, whose pages are
// there already: the library's work alone, which is what the module's
// decodeView is compared with.
int Time(int decode_reps, int encode_reps, int count, char** paths) {
  std::printf("{");
  for (int k = 0; k < count; ++k) {
    Bytes file;
    if (!ReadFile(paths[k], &file)) return 2;
    Bytes rgba;
    kx_decode_report report = KX_DECODE_REPORT_INIT;
    if (DecodeRgba(file, &rgba, &report) != KX_OK) return 1;
    const std::size_t stride_bytes = kx_default_stride(report.width, KX_LAYOUT_RGBA);
    const double decode_ms = FastestMs(decode_reps, [&] {
      void* const out = std::malloc(rgba.size());
      kx_decode(file.data(), file.size(), KX_LAYOUT_RGBA, out, stride_bytes, rgba.size(), nullptr);
      std::free(out);
    });
    const double reused_ms = FastestMs(decode_reps, [&] {
      kx_decode(file.data(), file.size(), KX_LAYOUT_RGBA, rgba.data(), stride_bytes, rgba.size(), nullptr);
    });
    const auto bound_bytes = static_cast<std::size_t>(kx_encode_bound(report.width, report.height));
    const double encode_ms = FastestMs(encode_reps, [&] {
      void* const out = std::malloc(bound_bytes);
      std::size_t file_bytes = 0;
      kx_encode(rgba.data(), rgba.size(), report.width, report.height, KX_LAYOUT_RGBA, stride_bytes, nullptr, out,
                bound_bytes, &file_bytes);
      std::free(out);
    });
    // A time below zero: not measured.
    const auto json_ms = [](double ms) { return ms < 0 ? std::string("null") : std::to_string(ms); };
    std::printf("%s\"%s\":{\"decode_ms\":%s,\"reused_ms\":%s,\"encode_ms\":%s}", k == 0 ? "" : ",", paths[k],
                json_ms(decode_ms).c_str(), json_ms(reused_ms).c_str(), json_ms(encode_ms).c_str());
  }
  std::printf("}\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string command = argc > 1 ? argv[1] : "";
  if (command == "decode" && argc == 4) return Decode(argv[2], argv[3]);
  if (command == "encode" && argc == 7)
    return Encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), 0, argv[6]);
  if (command == "encode" && argc == 8)
    return Encode(argv[2], std::atoi(argv[3]), std::atoi(argv[4]), std::atoi(argv[5]), std::atoi(argv[6]), argv[7]);
  if (command == "pictures" && argc == 3) return Pictures(argv[2]);
  if (command == "time" && argc >= 5) return Time(std::atoi(argv[2]), std::atoi(argv[3]), argc - 4, argv + 4);
  std::fprintf(stderr, "usage: see the comment at the top of web/tests/native_kx.cpp\n");
  return 2;
}
