#include "tests/support/thread_count.h"

#include <dlfcn.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <vector>

#include "kx.h"
#include "tests/support/count_thread_starts.h"

namespace {

using DecodeFn = kx_result (*)(const void*, size_t, int, void*, size_t, size_t, kx_decode_report*);
using StrideFn = size_t (*)(int32_t, int);
using ProbeFn = kx_result (*)(const void*, size_t, kx_info*);

}  // namespace

int ThreadsStartedDuring(const std::function<void()>& work) {
  const int before = ThreadsStartedSoFar();
  work();
  return ThreadsStartedSoFar() - before;
}

int LibraryDecodeThreads(const std::string& library_path, const std::string& file_path, int layout) {
  static void* const library = dlopen(library_path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (library == nullptr) return -1;
  const auto decode = reinterpret_cast<DecodeFn>(dlsym(library, "kx_decode"));
  const auto default_stride = reinterpret_cast<StrideFn>(dlsym(library, "kx_default_stride"));
  const auto probe = reinterpret_cast<ProbeFn>(dlsym(library, "kx_probe"));
  if (decode == nullptr || default_stride == nullptr || probe == nullptr) return -1;
  std::ifstream in(file_path, std::ios::binary);
  const std::vector<char> file{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  kx_info info = KX_INFO_INIT;
  if (probe(file.data(), file.size(), &info) != KX_OK) return -1;
  const std::size_t stride_bytes = default_stride(info.width, layout);
  // Fresh rows, as a loader's new pixbuf or image are.
  const std::size_t rows_bytes = stride_bytes * static_cast<std::size_t>(info.height);
  void* const rows = std::malloc(rows_bytes);
  if (rows == nullptr) return -1;
  kx_result result = KX_OK;
  const int started = ThreadsStartedDuring(
      [&] { result = decode(file.data(), file.size(), layout, rows, stride_bytes, rows_bytes, nullptr); });
  std::free(rows);
  return result == KX_OK ? started : -1;
}
