// spihost: loads an import plug-in module by path and drives it the way an
// image viewer does, printing what it sees.
//
//   spihost [--wide] PLUGIN
//   spihost [--wide] [--memory] [--handle] [--cancel] [--offset N] PLUGIN PICTURE [OUT.bmp]
//
// --wide calls the wide (UTF-16) entry points with the picture's name as the
// system gave it in UTF-16 (on Windows, from the wide command line), so that
// names outside the ANSI code page arrive intact. Both forms print the same.
//
// Exit status: 0 when GetPicture returned 0, 1 otherwise, 2 on bad usage or
// when the module cannot be loaded.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "plugin/spi.h"
#include "tools/host/host.h"

namespace {

constexpr std::size_t kHeadCopyBytes = 2048;
constexpr std::size_t kBmpFileHeaderBytes = 14;
constexpr std::size_t kBmpInfoHeaderBytes = 40;

using GetPluginInfoFn = int(SPI_CALL*)(int, char*, int);
using IsSupportedFn = int(SPI_CALL*)(char*, SpiDword);
using GetPictureInfoFn = int(SPI_CALL*)(char*, SpiLong, SpiUint, PictureInfo*);
using GetPictureFn = int(SPI_CALL*)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
using GetPluginInfoWFn = int(SPI_CALL*)(int, SpiWchar*, int);
using IsSupportedWFn = int(SPI_CALL*)(const SpiWchar*, SpiDword);
using GetPictureInfoWFn = int(SPI_CALL*)(const SpiWchar*, SpiLong, SpiUint, PictureInfo*);
using GetPictureWFn = int(SPI_CALL*)(const SpiWchar*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback,
                                     SpiLong);

struct Options {
  bool wide = false;
  bool memory = false;
  bool handle = false;
  bool cancel = false;
  long offset = 0;
  const char* plugin = nullptr;
  const char* picture = nullptr;
  int picture_argument = 0;  // its index in argv
  WideString wide_picture;   // with --wide: the name in UTF-16
  const char* out_bmp = nullptr;
};

// The entry points of one form, looked up by name; null where the module
// lacks one.
struct EntryPoints {
  IsSupportedFn is_supported = nullptr;
  GetPictureInfoFn get_picture_info = nullptr;
  GetPictureFn get_picture = nullptr;
  IsSupportedWFn is_supported_w = nullptr;
  GetPictureInfoWFn get_picture_info_w = nullptr;
  GetPictureWFn get_picture_w = nullptr;
};

int Usage(const char* why) {
  std::fprintf(stderr, "spihost: %s\n", why);
  std::fprintf(stderr,
               "usage: spihost [--wide] PLUGIN\n"
               "       spihost [--wide] [--memory] [--handle] [--cancel] [--offset N] PLUGIN PICTURE [OUT.bmp]\n");
  return 2;
}

bool ParseArgs(int argc, char** argv, Options* options) {
  std::vector<int> positional;
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--wide") {
      options->wide = true;
    } else if (arg == "--memory") {
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
      positional.push_back(a);
    }
  }
  if (positional.empty() || positional.size() > 3) return false;
  options->plugin = argv[positional[0]];
  if (positional.size() > 1) {
    options->picture_argument = positional[1];
    options->picture = argv[positional[1]];
  }
  if (positional.size() > 2) options->out_bmp = argv[positional[2]];
  return true;
}

// The picture as the host itself reads it: by its UTF-16 name with --wide,
// so that the copies below come from the file the plug-in is asked about.
std::filesystem::path PicturePath(const Options& options) {
  return options.wide ? std::filesystem::path(options.wide_picture) : std::filesystem::path(options.picture);
}

// What a viewer shows IsSupported: up to kHeadCopyBytes from `offset` on,
// the rest of the copy zero. False when the file cannot be opened.
bool ReadHead(const std::filesystem::path& path, long offset, std::vector<char>* head) {
  head->assign(kHeadCopyBytes, 0);
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  if (in.seekg(offset)) in.read(head->data(), static_cast<std::streamsize>(head->size()));
  return true;
}

// The file's bytes from `offset` to its end, with one read, as a viewer
// passes a picture in memory. The buffer has at least one byte, so that its
// address is never null even for nothing.
bool ReadFromOffset(const std::filesystem::path& path, long offset, std::vector<char>* bytes,
                    std::size_t* size_bytes) {
  std::error_code error;
  const std::uintmax_t file_bytes = std::filesystem::file_size(path, error);
  if (error) return false;
  const std::uintmax_t start = std::min<std::uintmax_t>(static_cast<std::uintmax_t>(offset), file_bytes);
  *size_bytes = static_cast<std::size_t>(file_bytes - start);
  bytes->assign(*size_bytes + 1, 0);
  std::ifstream in(path, std::ios::binary);
  return in && in.seekg(static_cast<std::streamoff>(start)) &&
         in.read(bytes->data(), static_cast<std::streamsize>(*size_bytes)).gcount() ==
             static_cast<std::streamsize>(*size_bytes);
}

// A viewer reads the blocks as Windows lays them out: little-endian.
std::int32_t Get32(const unsigned char* p) {
  return static_cast<std::int32_t>(std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
                                   std::uint32_t{p[3]} << 24);
}

void Put32(unsigned char* p, std::uint32_t value) {
  for (int k = 0; k < 4; ++k) p[k] = static_cast<unsigned char>(value >> (8 * k));
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

// The texts as the module wrote them: a UTF-16 unit outside ASCII is shown
// as \u{XXXX}, so that the two forms print the same only when they wrote
// the same characters.
int ListInfo(void* module, bool wide) {
  auto get_plugin_info = reinterpret_cast<GetPluginInfoFn>(HostFindExport(module, "GetPluginInfo"));
  auto get_plugin_info_w = reinterpret_cast<GetPluginInfoWFn>(HostFindExport(module, "GetPluginInfoW"));
  if (wide ? get_plugin_info_w == nullptr : get_plugin_info == nullptr) {
    return Usage(wide ? "the module has no GetPluginInfoW" : "the module has no GetPluginInfo");
  }
  constexpr int kTextUnits = 256;
  for (int n = 0;; ++n) {
    std::string text;
    if (wide) {
      SpiWchar units[kTextUnits] = {};
      if (get_plugin_info_w(n, units, kTextUnits) == 0) return 0;
      for (int k = 0; k < kTextUnits && units[k] != 0; ++k) {
        char shown[16];
        const auto unit = static_cast<unsigned>(units[k]);
        std::snprintf(shown, sizeof shown, unit < 0x80 ? "%c" : "\\u{%04X}", unit);
        text += shown;
      }
    } else {
      char bytes[kTextUnits] = {};
      if (get_plugin_info(n, bytes, kTextUnits) == 0) return 0;
      text = bytes;
    }
    std::printf("info %d: %s\n", n, text.c_str());
  }
}

EntryPoints FindEntryPoints(void* module) {
  EntryPoints e;
  e.is_supported = reinterpret_cast<IsSupportedFn>(HostFindExport(module, "IsSupported"));
  e.get_picture_info = reinterpret_cast<GetPictureInfoFn>(HostFindExport(module, "GetPictureInfo"));
  e.get_picture = reinterpret_cast<GetPictureFn>(HostFindExport(module, "GetPicture"));
  e.is_supported_w = reinterpret_cast<IsSupportedWFn>(HostFindExport(module, "IsSupportedW"));
  e.get_picture_info_w = reinterpret_cast<GetPictureInfoWFn>(HostFindExport(module, "GetPictureInfoW"));
  e.get_picture_w = reinterpret_cast<GetPictureWFn>(HostFindExport(module, "GetPictureW"));
  return e;
}

int DrivePicture(void* module, const Options& options) {
  const EntryPoints e = FindEntryPoints(module);
  const bool wide = options.wide;
  if (wide ? e.is_supported_w == nullptr : e.is_supported == nullptr) {
    return Usage(wide ? "the module has no IsSupportedW" : "the module has no IsSupported");
  }

  char* const name = const_cast<char*>(options.picture);
  const SpiWchar* const wide_name = options.wide_picture.c_str();
  const std::filesystem::path path = PicturePath(options);
  std::vector<char> memory;
  std::size_t memory_bytes = 0;
  if (options.memory && !ReadFromOffset(path, options.offset, &memory, &memory_bytes)) {
    std::fprintf(stderr, "spihost: cannot read %s\n", options.picture);
    return 1;
  }

  int supported = 0;
  if (options.handle) {
    const std::uintptr_t file = wide ? HostOpenFile(wide_name) : HostOpenFile(options.picture);
    if (file == 0) {
      std::fprintf(stderr, "spihost: cannot open %s\n", options.picture);
      return 1;
    }
    HostSeekFile(file, static_cast<std::uint32_t>(options.offset));
    const auto dw = static_cast<SpiDword>(file);
    supported = wide ? e.is_supported_w(wide_name, dw) : e.is_supported(name, dw);
    HostCloseFile(file);
  } else {
    std::vector<char> head;
    if (!ReadHead(path, options.offset, &head)) {
      std::fprintf(stderr, "spihost: cannot read %s\n", options.picture);
      return 1;
    }
    const auto dw = reinterpret_cast<SpiDword>(head.data());
    supported = wide ? e.is_supported_w(wide_name, dw) : e.is_supported(name, dw);
  }
  std::printf("supported: %d\n", supported);

  if (wide ? e.get_picture_info_w == nullptr || e.get_picture_w == nullptr
           : e.get_picture_info == nullptr || e.get_picture == nullptr) {
    std::printf("GetPictureInfo/GetPicture: missing from the module\n");
    return 1;
  }
  // In memory mode the picture is the file's bytes from the offset on, the
  // same bytes in either form.
  char* const buf = options.memory ? memory.data() : name;
  const SpiWchar* const wide_buf = options.memory ? reinterpret_cast<const SpiWchar*>(memory.data()) : wide_name;
  const SpiLong len = options.memory ? static_cast<SpiLong>(memory_bytes) : static_cast<SpiLong>(options.offset);
  const SpiUint flag = options.memory ? 1 : 0;

  PictureInfo info{};
  const int info_result =
      wide ? e.get_picture_info_w(wide_buf, len, flag, &info) : e.get_picture_info(buf, len, flag, &info);
  std::printf("info: result=%d width=%d height=%d depth=%d\n", info_result, info.width, info.height,
              info.colorDepth);

  SpiHandle info_block = nullptr;
  SpiHandle bits_block = nullptr;
  ProgressCallback const progress = options.cancel ? Cancel : Proceed;
  const int result = wide ? e.get_picture_w(wide_buf, len, flag, &info_block, &bits_block, progress, 0)
                          : e.get_picture(buf, len, flag, &info_block, &bits_block, progress, 0);
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

int Run(int argc, char** argv) {
  Options options;
  if (!ParseArgs(argc, argv, &options)) return Usage("bad arguments");
  if (options.wide && options.picture != nullptr) {
    std::vector<WideString> arguments;
    if (!HostWideArguments(argc, argv, &arguments)) return Usage("the arguments have no UTF-16 form");
    options.wide_picture = arguments[static_cast<std::size_t>(options.picture_argument)];
  }
  void* module = HostLoadModule(options.plugin);
  if (module == nullptr) {
    std::fprintf(stderr, "spihost: cannot load the module %s\n", options.plugin);
    return 2;
  }
  int status = 0;
  if (options.picture == nullptr) {
    status = ListInfo(module, options.wide);
  } else {
    status = DrivePicture(module, options);
  }
  std::fflush(stdout);
  HostUnloadModule(module);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  // A name with no spelling on this system, or memory running out, ends the
  // run with a message rather than an abort.
  try {
    return Run(argc, argv);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "spihost: %s\n", error.what());
    return 2;
  }
}
