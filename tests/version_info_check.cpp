// Reads a Windows binary's VERSIONINFO back the way Explorer's properties
// page does (GetFileVersionInfoW, VerQueryValueW) and checks it against the
// project's version:
//
//   version_info_check FILE VERSION     (VERSION as 1.2.3.4)
//
// Prints one line per value; exits 1 with "FAIL:" lines when anything is
// missing or differs.
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

namespace {

int g_failures = 0;

void Fail(const char* what, const std::string& got) {
  std::printf("FAIL: %s: got '%s'\n", what, got.c_str());
  ++g_failures;
}

std::string Narrow(const wchar_t* text) {
  std::string out;
  for (; *text != 0; ++text) out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
  return out;
}

std::string StringValue(const std::vector<unsigned char>& block, const char* name) {
  std::wstring query = L"\\StringFileInfo\\040904B0\\";
  for (const char* c = name; *c != 0; ++c) query.push_back(static_cast<wchar_t>(*c));
  void* value = nullptr;
  UINT chars = 0;
  if (VerQueryValueW(block.data(), query.c_str(), &value, &chars) == 0 || value == nullptr) return "(none)";
  return Narrow(static_cast<const wchar_t*>(value));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: version_info_check FILE VERSION\n");
    return 2;
  }
  const char* path = argv[1];
  const std::string version = argv[2];
  unsigned parts[4] = {0, 0, 0, 0};
  if (std::sscanf(version.c_str(), "%u.%u.%u.%u", &parts[0], &parts[1], &parts[2], &parts[3]) != 4) {
    std::fprintf(stderr, "version_info_check: VERSION must have four numbers\n");
    return 2;
  }
  std::wstring wide_path;
  for (const char* c = path; *c != 0; ++c) wide_path.push_back(static_cast<wchar_t>(static_cast<unsigned char>(*c)));

  DWORD ignored = 0;
  const DWORD size_bytes = GetFileVersionInfoSizeW(wide_path.c_str(), &ignored);
  if (size_bytes == 0) {
    Fail("version information", "none");
    return 1;
  }
  std::vector<unsigned char> block(size_bytes);
  if (GetFileVersionInfoW(wide_path.c_str(), 0, size_bytes, block.data()) == 0) {
    Fail("version information", "unreadable");
    return 1;
  }

  void* fixed_value = nullptr;
  UINT fixed_bytes = 0;
  if (VerQueryValueW(block.data(), L"\\", &fixed_value, &fixed_bytes) == 0 || fixed_bytes < sizeof(VS_FIXEDFILEINFO)) {
    Fail("fixed file information", "none");
  } else {
    const auto* fixed = static_cast<const VS_FIXEDFILEINFO*>(fixed_value);
    const DWORD want_ms = (parts[0] << 16) | parts[1];
    const DWORD want_ls = (parts[2] << 16) | parts[3];
    char got[64];
    std::snprintf(got, sizeof got, "%lu.%lu.%lu.%lu", fixed->dwFileVersionMS >> 16, fixed->dwFileVersionMS & 0xFFFF,
                  fixed->dwFileVersionLS >> 16, fixed->dwFileVersionLS & 0xFFFF);
    std::printf("file version (fixed): %s\n", got);
    if (fixed->dwSignature != 0xFEEF04BD) Fail("fixed signature", std::to_string(fixed->dwSignature));
    if (fixed->dwFileVersionMS != want_ms || fixed->dwFileVersionLS != want_ls) Fail("file version (fixed)", got);
    if (fixed->dwProductVersionMS != want_ms || fixed->dwProductVersionLS != want_ls) {
      Fail("product version (fixed)", "differs from the file version");
    }
  }

  const char* base = std::strrchr(path, '/');
  const char* backslash = std::strrchr(path, '\\');
  if (backslash != nullptr && (base == nullptr || backslash > base)) base = backslash;
  base = base == nullptr ? path : base + 1;

  struct Expected {
    const char* name;
    std::string want;  // empty: any text that is not empty
  };
  const Expected strings[] = {
      {"FileVersion", version},   {"ProductVersion", version}, {"ProductName", "kxfilter"},
      {"OriginalFilename", base}, {"FileDescription", ""},     {"LegalCopyright", ""},
  };
  for (const Expected& e : strings) {
    const std::string got = StringValue(block, e.name);
    std::printf("%s: %s\n", e.name, got.c_str());
    if (got == "(none)" || got.empty() || (!e.want.empty() && got != e.want)) Fail(e.name, got);
  }
  const std::string copyright = StringValue(block, "LegalCopyright");
  if (copyright.rfind("Copyright", 0) != 0) Fail("LegalCopyright starts with Copyright", copyright);
  return g_failures == 0 ? 0 : 1;
}
