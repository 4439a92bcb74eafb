// Property: random pixels of random sizes, at any level, with or without the
// delta step, encode to a file the recognition test accepts and that decodes
// back to exactly those pixels; encoded on 2 to 4 threads, the file is the
// same byte for byte. The largest pictures span two stretch joins.
//
// The pixels repeat what is left of the input, with a grain on top whose
// size the input's last byte sets: patterns alone make long copies, the
// grain short ones and literals between them, as photographs do.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "codec/format/kx_format.h"
#include "codec/reference/decompress.h"
#include "fuzz/fuzz_input.h"
#include "writer/encode.h"
#include "writer/threaded_encode.h"

using namespace kx;

namespace {

constexpr int kMaxWidth = 1024;
constexpr int kMaxHeight = 200;
constexpr int kMaxThreads = 4;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzInput in{data, size};
  const int width = in.Range(1, kMaxWidth);
  const int height = in.Range(1, kMaxHeight);
  EncodeOptions options;
  options.level = in.Range(1, 9);
  options.delta = (in.Byte() & 1) != 0;
  const unsigned threads = static_cast<unsigned>(in.Range(2, kMaxThreads));

  const unsigned grain = in.BackByte() % 16u;
  const std::size_t total_bytes = std::size_t(width) * std::size_t(height) * 3;
  std::vector<std::uint8_t> pixels(total_bytes);
  for (std::size_t k = 0; k < total_bytes; ++k) {
    std::uint32_t mixed = static_cast<std::uint32_t>(k) * 0x9E3779B1u;
    mixed = (mixed ^ (mixed >> 15)) * 0x85EBCA6Bu;
    const unsigned noise = grain == 0 ? 0 : (mixed >> 24) % (grain + 1);
    pixels[k] = static_cast<std::uint8_t>((in.size == 0 ? 0 : in.data[k % in.size]) + noise);
  }

  std::vector<std::uint8_t> work(EncodeWorkBytes(options));
  std::vector<std::uint8_t> file(EncodeBoundBytes(width, height));
  const std::size_t file_bytes =
      EncodeImage(pixels.data(), width, height, options, work.data(), file.data(), file.size());
  Check(file_bytes > kHeaderBytes && file_bytes <= file.size(), "encoded size");
  Check(!options.delta || CheckHeader(file.data()) == 1, "the header is accepted");

  std::vector<std::uint8_t> decoded(total_bytes);
  const std::size_t produced = DecompressPixels(file.data(), file_bytes, decoded.data(), total_bytes);
  Check(produced == total_bytes, "the stream is complete");
  Check(decoded == pixels, "round trip");

  std::vector<std::uint8_t> threaded(file.size());
  const std::size_t threaded_bytes =
      EncodeImageThreaded(pixels.data(), width, height, options, threads, threaded.data(), threaded.size());
  Check(threaded_bytes == file_bytes && std::memcmp(threaded.data(), file.data(), file_bytes) == 0,
        "the same file on several threads");
  return 0;
}
