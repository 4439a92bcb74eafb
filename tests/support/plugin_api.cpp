#include "tests/support/plugin_api.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>

#include "tools/host/host.h"

namespace {

#if defined(_WIN32)
template <typename Fn>
void Find(void* module, const char* name, Fn* fn) {
  *fn = reinterpret_cast<Fn>(HostFindExport(module, name));
  if (*fn == nullptr) {
    std::fprintf(stderr, "%s lacks the entry point %s\n", KX_MODULE_FILE, name);
    std::abort();
  }
}

EntryPoints Load() {
  void* module = HostLoadModule(KX_MODULE_FILE);
  if (module == nullptr) {
    std::fprintf(stderr, "cannot load %s from the test's folder\n", KX_MODULE_FILE);
    std::abort();
  }
  EntryPoints e{};
  Find(module, "GetPluginInfo", &e.GetPluginInfo);
  Find(module, "IsSupported", &e.IsSupported);
  Find(module, "GetPictureInfo", &e.GetPictureInfo);
  Find(module, "GetPicture", &e.GetPicture);
  Find(module, "GetPreview", &e.GetPreview);
  Find(module, "GetPluginInfoW", &e.GetPluginInfoW);
  Find(module, "IsSupportedW", &e.IsSupportedW);
  Find(module, "GetPictureInfoW", &e.GetPictureInfoW);
  Find(module, "GetPictureW", &e.GetPictureW);
  Find(module, "GetPreviewW", &e.GetPreviewW);
  return e;
}
#else
EntryPoints Load() {
  return EntryPoints{GetPluginInfo,  IsSupported,  GetPictureInfo,  GetPicture,  GetPreview,
                     GetPluginInfoW, IsSupportedW, GetPictureInfoW, GetPictureW, GetPreviewW};
}
#endif

CallForm g_form = CallForm::kAnsi;

// A name as the wide form gets it: the ANSI name converted, as a host
// converts its own; buffers of memory mode stay as they are.
class WideArgument {
 public:
  WideArgument(const char* buf, SpiUint flag) {
    if (buf == nullptr || InputModeOf(flag) == InputMode::kMemory) {
      pointer_ = reinterpret_cast<const SpiWchar*>(buf);
      return;
    }
    if (!HostWideName(buf, &name_)) {
      std::fprintf(stderr, "the test's file name %s has no UTF-16 form\n", buf);
      std::abort();
    }
    pointer_ = name_.c_str();
  }
  const SpiWchar* get() const { return pointer_; }

 private:
  WideString name_;
  const SpiWchar* pointer_ = nullptr;
};

Bytes CopyBlock(void* handle, bool use_handle_as_address) {
  const std::size_t n = HostBlockBytes(handle);
  const auto* p = static_cast<const std::uint8_t*>(use_handle_as_address ? handle : HostLockBlock(handle));
  return Bytes(p, p + n);
}

// Calls `get_picture` with two marked slots, then copies out and frees
// whatever blocks it handed over.
template <typename Call>
HostPicture FetchWith(const Call& get_picture, bool use_handle_as_address) {
  // Slots start with a marker so that a slot the plug-in wrote is told apart.
  void* const untouched = reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x5A5A5A50));
  SpiHandle info = untouched;
  SpiHandle bits = untouched;
  HostPicture picture;
  picture.result = get_picture(&info, &bits);
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

}  // namespace

const EntryPoints& Module() {
  static const EntryPoints entry_points = Load();
  return entry_points;
}

CallForm TestedForm() { return g_form; }
void SelectForm(CallForm form) { g_form = form; }

const PluginCalls& Plugin() {
  static const PluginCalls calls;
  return calls;
}

int PluginCalls::GetPluginInfo(int infono, char* buf, int buflen) const {
  return Module().GetPluginInfo(infono, buf, buflen);
}

int PluginCalls::IsSupported(char* filename, SpiDword dw) const {
  if (g_form == CallForm::kAnsi) return Module().IsSupported(filename, dw);
  return Module().IsSupportedW(WideArgument(filename, 0).get(), dw);
}

int PluginCalls::GetPictureInfo(char* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo) const {
  if (g_form == CallForm::kAnsi) return Module().GetPictureInfo(buf, len, flag, lpInfo);
  return Module().GetPictureInfoW(WideArgument(buf, flag).get(), len, flag, lpInfo);
}

int PluginCalls::GetPicture(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                            ProgressCallback progressCallback, SpiLong lData) const {
  if (g_form == CallForm::kAnsi) return Module().GetPicture(buf, len, flag, pHBInfo, pHBm, progressCallback, lData);
  return Module().GetPictureW(WideArgument(buf, flag).get(), len, flag, pHBInfo, pHBm, progressCallback, lData);
}

int PluginCalls::GetPreview(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                            ProgressCallback progressCallback, SpiLong lData) const {
  if (g_form == CallForm::kAnsi) return Module().GetPreview(buf, len, flag, pHBInfo, pHBm, progressCallback, lData);
  return Module().GetPreviewW(WideArgument(buf, flag).get(), len, flag, pHBInfo, pHBm, progressCallback, lData);
}

HostPicture FetchPicture(char* buf, SpiLong len, SpiUint flag, ProgressCallback callback, SpiLong lData,
                         bool use_handle_as_address) {
  return FetchWith(
      [&](SpiHandle* info, SpiHandle* bits) {
        return Plugin().GetPicture(buf, len, flag, info, bits, callback, lData);
      },
      use_handle_as_address);
}

HostPicture FetchFromMemory(const Bytes& file, SpiUint flag) {
  // An exact-size copy: reading beyond len is caught by the sanitizers.
  Bytes copy(file);
  return FetchPicture(reinterpret_cast<char*>(copy.data()), static_cast<SpiLong>(copy.size()), flag);
}

HostPicture FetchFromFile(const std::string& path, SpiLong offset) {
  return FetchPicture(const_cast<char*>(path.c_str()), offset, 0);
}

HostPicture FetchFromAnsiName(const std::string& name, SpiLong offset) {
  return FetchWith(
      [&](SpiHandle* info, SpiHandle* bits) {
        return Module().GetPicture(const_cast<char*>(name.c_str()), offset, 0, info, bits, nullptr, 0);
      },
      false);
}

HostPicture FetchFromWideName(const WideString& name, SpiLong offset) {
  return FetchWith(
      [&](SpiHandle* info, SpiHandle* bits) {
        return Module().GetPictureW(name.c_str(), offset, 0, info, bits, nullptr, 0);
      },
      false);
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

std::filesystem::path WriteTempFileAt(const std::filesystem::path& relative, const Bytes& bytes) {
  std::filesystem::path path = TempFolder() / relative;
  std::filesystem::create_directories(path.parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  out.close();
  return path;
}

std::string WriteTempFile(const std::string& name, const Bytes& bytes) { return WriteTempFileAt(name, bytes).string(); }

std::string MissingFilePath() { return (TempFolder() / "no-such-file.kx").string(); }
