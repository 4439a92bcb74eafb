// Times a plug-in module as a viewer uses it: loads any build of it by path
// (libkxfilter.so natively, kxfilter.spi under 32-bit Wine, kxfilter.sph
// under 64-bit Wine), decodes each picture in memory mode several times in
// this one process, and prints the best and median milliseconds of
// GetPicture next to those of a memcpy of the same bitmap's bytes, measured
// in the same process, with a hash of the bitmap so that runs of different
// builds can be seen to do the same work. Next to them, the floor of any
// GetPicture: a fresh zero-filled block of the bitmap's size (allocated as
// the module allocates it), written once; runs of the two alternate, and
// the ratio is the median of each run's GetPicture over its floor. Every
// large block is fresh, natively too (below).
//
//   plugin_timing [--runs N] MODULE PICTURE.kx...
//   plugin_timing [--runs N] --prefault-costs
//
// Output, one line per picture:
//   NAME WIDTHxHEIGHT getpicture BEST MEDIAN memcpy BEST MEDIAN fnv1a HASH fresh BEST MEDIAN ratio R
//
// --prefault-costs measures, with this build's threads and memory, what the
// prefault thread weighs: starting and joining a thread, and per block size
// a fresh zero-filled block written once from its highest address down (as
// the decoder fills a bitmap) alone and with a thread touching its pages
// from the lowest address up (the module's TouchPages), runs alternating.
// The size from which the second is faster is where the thread pays; a
// decoder writes more slowly than this, which leaves the thread more faults
// to take over.
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
#include "platform/touch_pages.h"
#include "plugin/spi.h"
#include "tools/host/host.h"

using namespace kx;

#if defined(_WIN32)
#include <windows.h>
#else
#include <malloc.h>
#include <pthread.h>
#endif

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

// A zero-filled block as the module's bitmap is: LocalAlloc on Windows, the
// stand-in's calloc natively.
void* AllocZeroed(std::size_t bytes) {
#if defined(_WIN32)
  return LocalAlloc(LMEM_FIXED | LMEM_ZEROINIT, bytes);
#else
  return std::calloc(1, bytes);
#endif
}

void FreeZeroed(void* block) {
#if defined(_WIN32)
  LocalFree(block);
#else
  std::free(block);
#endif
}

// A thread as the platform layer starts its prefault thread: a 64 KiB
// stack, started and joined.
constexpr std::size_t kThreadStackBytes = std::size_t{64} << 10;

#if defined(_WIN32)
DWORD WINAPI TouchThread(LPVOID job) {
  if (job != nullptr) TouchPages(*static_cast<const PrefaultJob*>(job));
  return 0;
}
std::uintptr_t StartThread(PrefaultJob* job) {
  return reinterpret_cast<std::uintptr_t>(
      CreateThread(nullptr, kThreadStackBytes, TouchThread, job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr));
}
void JoinThread(std::uintptr_t thread) {
  WaitForSingleObject(reinterpret_cast<HANDLE>(thread), INFINITE);
  CloseHandle(reinterpret_cast<HANDLE>(thread));
}
#else
void* TouchThread(void* job) {
  if (job != nullptr) TouchPages(*static_cast<const PrefaultJob*>(job));
  return nullptr;
}
std::uintptr_t StartThread(PrefaultJob* job) {
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_t thread{};
  const int started = pthread_create(&thread, &attributes, TouchThread, job);
  pthread_attr_destroy(&attributes);
  return started == 0 ? static_cast<std::uintptr_t>(thread) : 0;
}
void JoinThread(std::uintptr_t thread) { pthread_join(static_cast<pthread_t>(thread), nullptr); }
#endif

// A fresh zero-filled block written once from its highest address down, in
// pieces of `row_bytes`, with or without the prefault thread; milliseconds
// until the block is written (and the thread joined), freed after.
double WriteFreshBlock(std::size_t bytes, std::size_t row_bytes, bool with_thread) {
  const Clock::time_point start = Clock::now();
  auto* block = static_cast<std::uint8_t*>(AllocZeroed(bytes));
  if (block == nullptr) return -1;
  PrefaultJob job{block, bytes, bytes, bytes, false, false, 0};
  const std::uintptr_t thread = with_thread ? StartThread(&job) : 0;
  for (std::size_t end = bytes; end > 0;) {
    const std::size_t piece = end < row_bytes ? end : row_bytes;
    end -= piece;
    std::memset(block + end, 0x5A, piece);
  }
  if (thread != 0) JoinThread(thread);
  const double ms = MillisecondsSince(start);
  const bool written = block[bytes / 2] == 0x5A;  // keeps the writes from being dropped
  FreeZeroed(block);
  return written ? ms : -1;
}

int PrefaultCosts(int runs) {
  std::vector<double> thread_ms;
  for (int r = 0; r < runs; ++r) {
    const Clock::time_point start = Clock::now();
    JoinThread(StartThread(nullptr));
    thread_ms.push_back(MillisecondsSince(start));
  }
  const Timing thread = Summarise(thread_ms);
  std::printf("thread start and join: best %.3f median %.3f ms\n", thread.best_ms, thread.median_ms);
  std::printf("%8s %17s %17s %7s\n", "MiB", "alone best/median", "thread best/median", "ratio");
  constexpr std::size_t kRowBytes = std::size_t{3} * 2560;
  for (const std::size_t mib : {1u, 2u, 3u, 4u, 6u, 8u, 12u, 16u, 24u, 32u, 48u}) {
    const std::size_t bytes = mib << 20;
    std::vector<double> alone_ms;
    std::vector<double> with_ms;
    std::vector<double> ratios;
    for (int r = 0; r < runs; ++r) {
      alone_ms.push_back(WriteFreshBlock(bytes, kRowBytes, false));
      with_ms.push_back(WriteFreshBlock(bytes, kRowBytes, true));
      ratios.push_back(with_ms.back() / alone_ms.back());
    }
    const Timing alone = Summarise(alone_ms);
    const Timing with = Summarise(with_ms);
    std::printf("%8zu %8.2f / %6.2f %8.2f / %6.2f %7.3f\n", mib, alone.best_ms, alone.median_ms, with.best_ms,
                with.median_ms, Summarise(ratios).median_ms);
  }
  return 0;
}

std::uint64_t Fnv1a(const std::uint8_t* bytes, std::size_t n) {
  std::uint64_t hash = 0xCBF29CE484222325ULL;
  for (std::size_t k = 0; k < n; ++k) hash = (hash ^ bytes[k]) * 0x100000001B3ULL;
  return hash;
}

// One GetPicture in memory mode; on success the bitmap's bytes go to `bits`
// when asked for. The blocks are freed after the clock has stopped.
bool Decode(GetPictureFn get_picture, Bytes* file, double* ms, Bytes* bits, std::int32_t* width, std::int32_t* height) {
  SpiHandle info = nullptr;
  SpiHandle bitmap = nullptr;
  const Clock::time_point start = Clock::now();
  const int result = get_picture(reinterpret_cast<char*>(file->data()), static_cast<SpiLong>(file->size()), kMemoryMode,
                                 &info, &bitmap, nullptr, 0);
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
  std::vector<double> fresh_ms;
  std::vector<double> ratios;
  for (int r = 0; r < runs; ++r) {
    if (!Decode(get_picture, &file, &ms, nullptr, nullptr, nullptr)) return 1;
    decode_ms.push_back(ms);
    fresh_ms.push_back(WriteFreshBlock(bits.size(), bits.size(), false));
    ratios.push_back(decode_ms.back() / fresh_ms.back());
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
  const Timing fresh = Summarise(fresh_ms);
  std::printf("%s %dx%d getpicture %.2f %.2f memcpy %.2f %.2f fnv1a %016llx fresh %.2f %.2f ratio %.2f\n",
              std::filesystem::path(path).stem().string().c_str(), width, height, decode.best_ms, decode.median_ms,
              copied.best_ms, copied.median_ms, static_cast<unsigned long long>(Fnv1a(bits.data(), bits.size())),
              fresh.best_ms, fresh.median_ms, Summarise(ratios).median_ms);
  std::fflush(stdout);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // glibc hands a freed block of up to 32 MiB back to the next request of
  // its size, already faulted in, where Windows (and Wine) give large blocks
  // fresh pages each time. A fixed threshold makes every large block fresh,
  // as a viewer's first picture is.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
  int runs = kDefaultRuns;
  int a = 1;
  if (a + 1 < argc && std::strcmp(argv[a], "--runs") == 0) {
    runs = std::atoi(argv[a + 1]);
    a += 2;
  }
  if (runs >= 1 && argc - a == 1 && std::strcmp(argv[a], "--prefault-costs") == 0) return PrefaultCosts(runs);
  if (runs < 1 || argc - a < 2) {
    std::fprintf(stderr,
                 "usage: plugin_timing [--runs N] MODULE PICTURE.kx...\n"
                 "       plugin_timing [--runs N] --prefault-costs\n");
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
