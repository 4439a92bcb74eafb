// Times a plug-in module as a viewer uses it: loads any build of it by path
// (libkxfilter.so natively, kxfilter.spi under 32-bit Wine, kxfilter.sph
// under 64-bit Wine), decodes each picture in memory mode several times in
// this one process, and prints the best and median milliseconds of
// GetPicture next to those of a memcpy of the same bitmap's bytes, measured
// in the same process, with a hash of the bitmap so that runs of different
// builds can be seen to do the same work.
//
//   plugin_timing [--runs N] MODULE PICTURE.kx...
//
// Output, one line per picture:
//   NAME WIDTHxHEIGHT getpicture BEST MEDIAN memcpy BEST MEDIAN fnv1a HASH
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "codec/format/little_endian.h"
#include "plugin/spi.h"
#include "tools/host/host.h"

using namespace kx;

namespace {

using GetPictureFn = int(SPI_CALL*)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;

constexpr int kDefaultRuns = 15;
constexpr SpiUint kMemoryMode = 1;

struct Timing {
  double best_ms;
  double median_ms;
};

Timing Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const std::size_t n = ms.size();
  const double median = n % 2 == 1 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2;
  return Timing{ms.front(), median};
}

double MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

std::uint64_t Fnv1a(const std::uint8_t* bytes, std::size_t n) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (std::size_t k = 0; k < n; ++k) hash = (hash ^ bytes[k]) * 0x100000001B3ULL;
  return hash;
}

// One GetPicture in memory mode; on success the bitmap's bytes go to `bits`
// when asked for. The blocks are freed after the clock has stopped.
bool Decode(GetPictureFn get_picture, Bytes* file, double* ms, Bytes* bits, std::int32_t* width,
            std::int32_t* height) {
  SpiHandle info = nullptr;
  SpiHandle bitmap = nullptr;
  const Clock::time_point start = Clock::now();
  const int result = get_picture(reinterpret_cast<char*>(file->data()), static_cast<SpiLong>(file->size()),
                                 kMemoryMode, &info, &bitmap, nullptr, 0);
  *ms = MillisecondsSince(start);
  if (result == kSpiSuccess && bits != nullptr) {
    const auto* header = static_cast<const std::uint8_t*>(HostLockBlock(info));
    *width = static_cast<std::int32_t>(LoadLe32(header + 4));
    *height = static_cast<std::int32_t>(LoadLe32(header + 8));
    const auto* p = static_cast<const std::uint8_t*>(HostLockBlock(bitmap));
    bits->assign(p, p + HostBlockBytes(bitmap));
  }
  if (info != nullptr) HostFreeBlock(info);
  if (bitmap != nullptr) HostFreeBlock(bitmap);
  return result == kSpiSuccess;
}

int TimePicture(GetPictureFn get_picture, const std::string& path, int runs) {
  std::ifstream in(path, std::ios::binary);
  Bytes file((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (!in || file.empty()) {
    std::fprintf(stderr, "plugin_timing: cannot read %s\n", path.c_str());
    return 1;
  }
  // The first call, untimed, brings the code and the allocator up to speed
  // and gives the bitmap that memcpy then copies.
  Bytes bits;
  double ms = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  if (!Decode(get_picture, &file, &ms, &bits, &width, &height)) {
    std::fprintf(stderr, "plugin_timing: GetPicture failed on %s\n", path.c_str());
    return 1;
  }
  std::vector<double> decode_ms;
  for (int r = 0; r < runs; ++r) {
    if (!Decode(get_picture, &file, &ms, nullptr, nullptr, nullptr)) return 1;
    decode_ms.push_back(ms);
  }
  Bytes copy(bits.size(), 1);  // touched: the copy's time alone is wanted
  std::vector<double> copy_ms;
  for (int r = 0; r < runs; ++r) {
    const Clock::time_point start = Clock::now();
    std::memcpy(copy.data(), bits.data(), bits.size());
    copy_ms.push_back(MillisecondsSince(start));
    if (copy.back() != bits.back()) return 1;  // keeps the copy from being dropped
  }
  const Timing decode = Summarise(decode_ms);
  const Timing copied = Summarise(copy_ms);
  std::printf("%s %dx%d getpicture %.2f %.2f memcpy %.2f %.2f fnv1a %016llx\n",
              std::filesystem::path(path).stem().string().c_str(), width, height, decode.best_ms, decode.median_ms,
              copied.best_ms, copied.median_ms, static_cast<unsigned long long>(Fnv1a(bits.data(), bits.size())));
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = kDefaultRuns;
  int a = 1;
  if (a + 1 < argc && std::strcmp(argv[a], "--runs") == 0) {
    runs = std::atoi(argv[a + 1]);
    a += 2;
  }
  if (runs < 1 || argc - a < 2) {
    std::fprintf(stderr, "usage: plugin_timing [--runs N] MODULE PICTURE.kx...\n");
    return 2;
  }
  void* module = HostLoadModule(argv[a]);
  const auto get_picture = reinterpret_cast<GetPictureFn>(module ? HostFindExport(module, "GetPicture") : nullptr);
  if (get_picture == nullptr) {
    std::fprintf(stderr, "plugin_timing: cannot load GetPicture from %s\n", argv[a]);
    return 2;
  }
  int status = 0;
  for (int p = a + 1; p < argc && status == 0; ++p) status = TimePicture(get_picture, argv[p], runs);
  HostUnloadModule(module);
  return status;
}
