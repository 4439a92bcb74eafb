// Times a whole picture through WIC against the plug-in in one process:
// GetPicture of the module beside the program, and the path a WIC
// application takes through the factory with kxwic.dll registered
// (CreateDecoderFromStream or CreateDecoderFromFilename, GetFrame, a
// whole-frame CopyPixels into the caller's buffer), taking turns run by
// run: from memory (GetPicture's memory mode against a memory stream) and
// from the file (its file mode against the file's name). Blocks and
// decoders are released after the clock stops. The pictures must match
// (GetPicture's rows flipped), or nothing is printed for them.
//
//   kxwic_timing [--runs N] PICTURE.kx...
//
// Output, one line per picture and source: NAME WIDTHxHEIGHT memory|file
// getpicture BEST MEDIAN wic BEST MEDIAN copypixels BEST MEDIAN, in ms,
// then wic/getpicture of the bests and of the medians.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "wic/tests/wic_support.h"

namespace {

using Clock = std::chrono::steady_clock;
using GetPictureFn = int(SPI_CALL*)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);

double Ms(Clock::time_point start) { return std::chrono::duration<double, std::milli>(Clock::now() - start).count(); }

struct Timing {
  double best;
  double median;
};

Timing Summarise(std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  const std::size_t n = ms.size();
  return Timing{ms.front(), n % 2 == 1 ? ms[n / 2] : (ms[n / 2 - 1] + ms[n / 2]) / 2};
}

// The WIC path; the time of CopyPixels alone in `copy_ms`.
// From the file's name when `name` is given, else from memory.
// The caller's buffer is allocated inside the clock, as GetPicture's blocks
// are: the first touch of its pages is part of either's time. A copy of the
// picture goes to `out` when given.
bool DecodeThroughWic(const Bytes& file, const wchar_t* name, std::size_t bytes, UINT stride, double* total_ms,
                      double* copy_ms, Bytes* out) {
  const Clock::time_point start = Clock::now();
  std::unique_ptr<BYTE[]> pixels(new BYTE[bytes]);
  Com<IWICStream> stream;
  Com<IWICBitmapDecoder> decoder;
  Com<IWICBitmapFrameDecode> frame;
  if (name != nullptr) {
    if (FAILED(Factory()->CreateDecoderFromFilename(name, nullptr, GENERIC_READ, WICDecodeMetadataCacheOnDemand,
                                                    decoder.Out()))) {
      return false;
    }
  } else if (FAILED(Factory()->CreateStream(stream.Out())) ||
             FAILED(stream->InitializeFromMemory(const_cast<BYTE*>(file.data()), DWORD(file.size()))) ||
             FAILED(Factory()->CreateDecoderFromStream(stream.get(), nullptr, WICDecodeMetadataCacheOnDemand,
                                                       decoder.Out()))) {
    return false;
  }
  if (FAILED(decoder->GetFrame(0, frame.Out()))) return false;
  const Clock::time_point copy_start = Clock::now();
  const HRESULT hr = frame->CopyPixels(nullptr, stride, UINT(bytes), pixels.get());
  *copy_ms = Ms(copy_start);
  *total_ms = Ms(start);
  if (out != nullptr) out->assign(pixels.get(), pixels.get() + bytes);
  return hr == S_OK;
}

int TimePicture(GetPictureFn get_picture, const std::string& path, int runs) {
  Bytes file = ReadFileBytes(path);
  const TopDown want = PluginPicture(file);
  if (want.result != 0) {
    std::fprintf(stderr, "kxwic_timing: GetPicture failed on %s\n", path.c_str());
    return 1;
  }
  const std::wstring wide_name = Wide(path);
  std::string ansi_name = path;
  const UINT stride = want.width * 3;
  Bytes out;
  double total_ms = 0;
  double copy_ms = 0;
  for (const bool from_file : {false, true}) {
    const wchar_t* name = from_file ? wide_name.c_str() : nullptr;
    if (!DecodeThroughWic(file, name, want.pixels.size(), stride, &total_ms, &copy_ms, &out) || out != want.pixels) {
      std::fprintf(stderr, "kxwic_timing: WIC's picture of %s is not GetPicture's\n", path.c_str());
      return 1;
    }
    std::vector<double> plugin_ms;
    std::vector<double> wic_ms;
    std::vector<double> copies_ms;
    for (int r = 0; r < runs; ++r) {
      SpiHandle info = nullptr;
      SpiHandle bits = nullptr;
      const Clock::time_point start = Clock::now();
      const int result = from_file ? get_picture(ansi_name.data(), 0, 0, &info, &bits, nullptr, 0)
                                   : get_picture(reinterpret_cast<char*>(file.data()), SpiLong(file.size()), 1, &info,
                                                 &bits, nullptr, 0);
      plugin_ms.push_back(Ms(start));
      if (info != nullptr) LocalFree(info);
      if (bits != nullptr) LocalFree(bits);
      if (result != 0 || !DecodeThroughWic(file, name, want.pixels.size(), stride, &total_ms, &copy_ms, nullptr)) {
        return 1;
      }
      wic_ms.push_back(total_ms);
      copies_ms.push_back(copy_ms);
    }
    const Timing plugin = Summarise(plugin_ms);
    const Timing wic = Summarise(wic_ms);
    const Timing copies = Summarise(copies_ms);
    std::printf("%s %ux%u %s getpicture %.2f %.2f wic %.2f %.2f copypixels %.2f %.2f wic/getpicture %.3f %.3f\n",
                path.substr(path.find_last_of("/\\") + 1).c_str(), want.width, want.height,
                from_file ? "file" : "memory", plugin.best, plugin.median, wic.best, wic.median, copies.best,
                copies.median, wic.best / plugin.best, wic.median / plugin.median);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 15;
  int a = 1;
  if (a + 1 < argc && std::strcmp(argv[a], "--runs") == 0) {
    runs = std::atoi(argv[a + 1]);
    a += 2;
  }
  if (runs < 1 || a >= argc) {
    std::fprintf(stderr, "usage: kxwic_timing [--runs N] PICTURE.kx...\n");
    return 2;
  }
  const GetPictureFn get_picture = Module().GetPicture;  // the module beside the program
  int status = 0;
  for (; a < argc; ++a) status |= TimePicture(get_picture, argv[a], runs);
  return status;
}
