#include "tests/support/plugin_api.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "platform/host.h"

namespace {

#if defined(_WIN32)
PluginApi Load() {
  void* module = HostLoadModule("kxfilter.spi");
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load kxfilter.spi from the test's folder\n");
    std::abort();
  }
  PluginApi api{};
  api.GetPluginInfo = reinterpret_cast<decltype(api.GetPluginInfo)>(HostFindExport(module, "GetPluginInfo"));
  api.IsSupported = reinterpret_cast<decltype(api.IsSupported)>(HostFindExport(module, "IsSupported"));
  api.GetPictureInfo = reinterpret_cast<decltype(api.GetPictureInfo)>(HostFindExport(module, "GetPictureInfo"));
  api.GetPicture = reinterpret_cast<decltype(api.GetPicture)>(HostFindExport(module, "GetPicture"));
  api.GetPreview = reinterpret_cast<decltype(api.GetPreview)>(HostFindExport(module, "GetPreview"));
  if (!api.GetPluginInfo || !api.IsSupported || !api.GetPictureInfo || !api.GetPicture || !api.GetPreview) {
    std::fprintf(stderr, "kxfilter.spi lacks an entry point\n");
    std::abort();
  }
  return api;
}
#else
PluginApi Load() { return PluginApi{GetPluginInfo, IsSupported, GetPictureInfo, GetPicture, GetPreview}; }
#endif

Bytes CopyBlock(void* handle, bool use_handle_as_address) {
  const std::size_t n = HostBlockBytes(handle);
  const auto* p = static_cast<const std::uint8_t*>(use_handle_as_address ? handle : HostLockBlock(handle));
  return Bytes(p, p + n);
}

// Never destroyed: the clean-up at exit still needs it.
const std::filesystem::path& TempFolder() {
  static const std::filesystem::path* const folder = [] {
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::filesystem::path p = std::filesystem::temp_directory_path() / ("kxfilter-tests-" + std::to_string(stamp));
    std::filesystem::create_directories(p);
    std::atexit([] {
      std::error_code ignored;
      std::filesystem::remove_all(TempFolder(), ignored);
    });
    return new std::filesystem::path(p);
  }();
  return *folder;
}

}  // namespace

const PluginApi& Plugin() {
  static const PluginApi api = Load();
  return api;
}

HostPicture FetchPicture(char* buf, SpiLong len, SpiUint flag, ProgressCallback callback, SpiLong lData,
                         bool use_handle_as_address) {
  // Slots start with a marker so that a slot the plug-in wrote is told apart.
  void* const untouched = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5A5A5A50));
  SpiHandle info = untouched;
  SpiHandle bits = untouched;
  HostPicture picture;
  picture.result = Plugin().GetPicture(buf, len, flag, &info, &bits, callback, lData);
  if (info != untouched && bits != untouched) {
    picture.handed_over = true;
    picture.info = CopyBlock(info, use_handle_as_address);
    picture.bits = CopyBlock(bits, use_handle_as_address);
    HostFreeBlock(info);
    HostFreeBlock(bits);
  } else if (info != untouched || bits != untouched) {
    std::fprintf(stderr, "GetPicture filled one slot only\n");
    std::abort();
  }
  return picture;
}

HostPicture FetchFromMemory(const Bytes& file, SpiUint flag) {
  // An exact-size copy: reading beyond len is caught by the sanitizers.
  Bytes copy(file);
  return FetchPicture(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(copy.size()), flag);
}

HostPicture FetchFromFile(const std::string& path, SpiLong offset) {
  return FetchPicture(const_cast<char*>(path.c_str()), offset, 0);
}

std::string WriteTempFile(const std::string& name, const Bytes& bytes) {
  const std::filesystem::path path = TempFolder() / name;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return path.string();
}

std::string MissingFilePath() { return (TempFolder() / "no-such-file.kx").string(); }
