// spihost: loads an import plug-in module by path and drives it the way an
// image viewer does, printing what it sees.
//
//   spihost PLUGIN
//   spihost [--memory] [--handle] [--cancel] [--offset N] PLUGIN PICTURE [OUT.bmp]
//
// Exit status: 0 when GetPicture returned 0, 1 otherwise, 2 on bad usage or
// when the module cannot be loaded.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "platform/host.h"
#include "plugin/spi.h"

namespace {

constexpr std::size_t kHeadCopyBytes = 2048;
constexpr std::size_t kBmpFileHeaderBytes = 14;
constexpr std::size_t kBmpInfoHeaderBytes = 40;

using GetPluginInfoFn = int(SPI_CALL*)(int, char*, int);
using IsSupportedFn = int(SPI_CALL*)(char*, SpiDword);
using GetPictureInfoFn = int(SPI_CALL*)(char*, SpiLong, SpiUint, PictureInfo*);
using GetPictureFn = int(SPI_CALL*)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);

struct Options {
  bool memory = false;
  bool handle = false;
  bool cancel = false;
  long offset = 0;
  const char* plugin = nullptr;
  const char* picture = nullptr;
  const char* out_bmp = nullptr;
};

int Usage(const char* why) {
  std::fprintf(stderr, "spihost: %s\n", why);
  std::fprintf(stderr,
               "usage: spihost PLUGIN\n"
               "       spihost [--memory] [--handle] [--cancel] [--offset N] PLUGIN PICTURE [OUT.bmp]\n");
  return 2;
}

bool ParseArgs(int argc, char** argv, Options* options) {
  std::vector<const char*> positional;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--memory") {
      options->memory = true;
    } else if (arg == "--handle") {
      options->handle = true;
    } else if (arg == "--cancel") {
      options->cancel = true;
    } else if (arg == "--offset" && a + 1 < argc) {
      char* end = nullptr;
      options->offset = std::strtol(argv[++a], &end, 10);
      if (*end != '\0' || options->offset < 0) return false;
    } else if (arg.size() > 1 && arg[0] == '-') {
      return false;
    } else {
      positional.push_back(argv[a]);
    }
  }
  if (positional.empty() || positional.size() > 3) return false;
  options->plugin = positional[0];
  if (positional.size() > 1) options->picture = positional[1];
  if (positional.size() > 2) options->out_bmp = positional[2];
  return true;
}

bool ReadWholeFile(const char* path, std::vector<char>* bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  return !in.bad();
}

void Put16(unsigned char* p, unsigned v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}
void Put32(unsigned char* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}
std::int32_t Get32(const unsigned char* p) {
  return static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                                   (std::uint32_t{p[3]} << 24));
}

// Writes the two blocks as a BMP file: file header, the information block's
// 40-byte header, then the bits block's rows.
bool WriteBmp(const char* path, const unsigned char* info, const unsigned char* bits, std::size_t bits_bytes) {
  const std::int32_t width = Get32(info + 4);
  const std::int32_t height = Get32(info + 8);
  const std::size_t stride_bytes = (static_cast<std::size_t>(width) * 3 + 3) / 4 * 4;
  std::size_t image_bytes = stride_bytes * static_cast<std::size_t>(height < 0 ? -height : height);
  if (image_bytes > bits_bytes) image_bytes = bits_bytes;
  unsigned char file_header[kBmpFileHeaderBytes] = {'B', 'M'};
  Put32(file_header + 2, static_cast<std::uint32_t>(kBmpFileHeaderBytes + kBmpInfoHeaderBytes + image_bytes));
  Put32(file_header + 10, kBmpFileHeaderBytes + kBmpInfoHeaderBytes);
  std::FILE* out = std::fopen(path, "wb");
  if (out == nullptr) return false;
  bool ok = std::fwrite(file_header, 1, sizeof file_header, out) == sizeof file_header;
  ok = ok && std::fwrite(info, 1, kBmpInfoHeaderBytes, out) == kBmpInfoHeaderBytes;
  ok = ok && std::fwrite(bits, 1, image_bytes, out) == image_bytes;
  return std::fclose(out) == 0 && ok;
}

int SPI_CALL Proceed(int, int, SpiLong) { return 0; }
int SPI_CALL Cancel(int, int, SpiLong) { return 1; }

int ListInfo(GetPluginInfoFn get_plugin_info) {
  for (int n = 0;; ++n) {
    char text[256] = {};
    if (get_plugin_info(n, text, static_cast<int>(sizeof text)) == 0) return 0;
    std::printf("info %d: %s\n", n, text);
  }
}

int DrivePicture(void* module, const Options& options) {
  auto is_supported = reinterpret_cast<IsSupportedFn>(HostFindExport(module, "IsSupported"));
  auto get_picture_info = reinterpret_cast<GetPictureInfoFn>(HostFindExport(module, "GetPictureInfo"));
  auto get_picture = reinterpret_cast<GetPictureFn>(HostFindExport(module, "GetPicture"));
  if (is_supported == nullptr) return Usage("the module has no IsSupported");

  std::vector<char> file_bytes;
  if (!ReadWholeFile(options.picture, &file_bytes)) {
    std::fprintf(stderr, "spihost: cannot read %s\n", options.picture);
    return 1;
  }
  const std::size_t offset = static_cast<std::size_t>(options.offset);
  const std::size_t start = offset < file_bytes.size() ? offset : file_bytes.size();
  char* name = const_cast<char*>(options.picture);

  int supported = 0;
  if (options.handle) {
    const std::uintptr_t file = HostOpenFile(options.picture);
    if (file == 0) {
      std::fprintf(stderr, "spihost: cannot open %s\n", options.picture);
      return 1;
    }
    HostSeekFile(file, static_cast<std::uint32_t>(offset));
    supported = is_supported(name, static_cast<SpiDword>(file));
    HostCloseFile(file);
  } else {
    std::vector<char> head(kHeadCopyBytes, 0);
    std::memcpy(head.data(), file_bytes.data() + start, std::min(kHeadCopyBytes, file_bytes.size() - start));
    supported = is_supported(name, reinterpret_cast<SpiDword>(head.data()));
  }
  std::printf("supported: %d\n", supported);

  if (get_picture_info == nullptr || get_picture == nullptr) {
    std::printf("GetPictureInfo/GetPicture: missing from the module\n");
    return 1;
  }
  // In memory mode the picture is the file's bytes from the offset on.
  char* const memory = file_bytes.data() + start;
  const SpiLong memory_bytes = static_cast<SpiLong>(file_bytes.size() - start);
  char* const buf = options.memory ? memory : name;
  const SpiLong len = options.memory ? memory_bytes : static_cast<SpiLong>(options.offset);
  const SpiUint flag = options.memory ? 1 : 0;

  PictureInfo info{};
  const int info_result = get_picture_info(buf, len, flag, &info);
  std::printf("info: result=%d width=%d height=%d depth=%d\n", info_result, info.width, info.height,
              info.colorDepth);

  SpiHandle info_block = nullptr;
  SpiHandle bits_block = nullptr;
  const int result =
      get_picture(buf, len, flag, &info_block, &bits_block, options.cancel ? Cancel : Proceed, 0);
  std::printf("picture: result=%d\n", result);
  if (info_block != nullptr && bits_block != nullptr && options.out_bmp != nullptr) {
    const auto* header = static_cast<const unsigned char*>(HostLockBlock(info_block));
    const auto* bits = static_cast<const unsigned char*>(HostLockBlock(bits_block));
    if (WriteBmp(options.out_bmp, header, bits, HostBlockBytes(bits_block))) {
      std::printf("wrote: %s (%d x %d, 24 bits)\n", options.out_bmp, Get32(header + 4), Get32(header + 8));
    } else {
      std::fprintf(stderr, "spihost: cannot write %s\n", options.out_bmp);
    }
  }
  if (info_block != nullptr) HostFreeBlock(info_block);
  if (bits_block != nullptr) HostFreeBlock(bits_block);
  return result == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  if (!ParseArgs(argc, argv, &options)) return Usage("bad arguments");
  void* module = HostLoadModule(options.plugin);
  if (module == nullptr) {
    std::fprintf(stderr, "spihost: cannot load the module %s\n", options.plugin);
    return 2;
  }
  int status = 0;
  if (options.picture == nullptr) {
    auto get_plugin_info = reinterpret_cast<GetPluginInfoFn>(HostFindExport(module, "GetPluginInfo"));
    status = get_plugin_info == nullptr ? Usage("the module has no GetPluginInfo") : ListInfo(get_plugin_info);
  } else {
    status = DrivePicture(module, options);
  }
  std::fflush(stdout);
  HostUnloadModule(module);
  return status;
}
