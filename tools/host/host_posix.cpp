// Native module loading for hosts; blocks and files come from the stand-in.
#include <dlfcn.h>
#include <sys/mman.h>

#include <thread>
#include <vector>

#include "platform/utf16.h"
#include "tools/host/host.h"

namespace {

// One code point from the UTF-8 at `bytes`, and how many bytes it took; 0
// for bytes that are no shortest-form UTF-8 of a scalar value.
std::size_t DecodeUtf8(const unsigned char* bytes, std::uint32_t* code_point) {
  const unsigned char lead = bytes[0];
  std::size_t length = 0;
  std::uint32_t least = 0;
  if (lead < 0x80) {
    *code_point = lead;
    return 1;
  } else if ((lead & 0xE0) == 0xC0) {
    length = 2, least = 0x80, *code_point = lead & 0x1Fu;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, least = 0x800, *code_point = lead & 0x0Fu;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, least = 0x10000, *code_point = lead & 0x07u;
  } else {
    return 0;
  }
  for (std::size_t k = 1; k < length; ++k) {
    if ((bytes[k] & 0xC0) != 0x80) return 0;  // also stops at the terminating zero
    *code_point = (*code_point << 6) | (bytes[k] & 0x3Fu);
  }
  const bool surrogate = *code_point >= 0xD800 && *code_point <= 0xDFFF;
  if (*code_point < least || *code_point > 0x10FFFF || surrogate) return 0;
  return length;
}

}  // namespace

bool HostWideName(const std::string& ansi, WideString* wide) {
  wide->clear();
  const auto* bytes = reinterpret_cast<const unsigned char*>(ansi.c_str());
  for (std::size_t at = 0; at < ansi.size();) {
    std::uint32_t code_point = 0;
    const std::size_t used = DecodeUtf8(bytes + at, &code_point);
    if (used == 0) return false;
    at += used;
    if (code_point < 0x10000) {
      wide->push_back(static_cast<char16_t>(code_point));
    } else {
      wide->push_back(static_cast<char16_t>(0xD800 + ((code_point - 0x10000) >> 10)));
      wide->push_back(static_cast<char16_t>(0xDC00 + ((code_point - 0x10000) & 0x3FF)));
    }
  }
  return true;
}

bool HostAnsiName(const WideString& wide, std::string* ansi) {
  std::vector<char> bytes(wide.size() * 3 + 1);  // a unit takes at most 3 bytes, a pair 4
  if (!kx::Utf16ToUtf8(wide.c_str(), bytes.data(), bytes.size())) return false;
  *ansi = bytes.data();
  return true;
}

bool HostWideArguments(int argc, char** argv, std::vector<WideString>* arguments) {
  arguments->assign(static_cast<std::size_t>(argc), WideString());
  for (int a = 0; a < argc; ++a) {
    if (!HostWideName(argv[a], &(*arguments)[static_cast<std::size_t>(a)])) return false;
  }
  return true;
}

void* HostLoadModule(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
void* HostFindExport(void* module, const char* name) { return dlsym(module, name); }
void HostUnloadModule(void* module) { dlclose(module); }

void* HostMapAt(std::uintptr_t address, std::size_t bytes) {
  void* const want = reinterpret_cast<void*>(address);
  void* const got = mmap(want, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
  if (got == MAP_FAILED) return nullptr;
  if (got != want) {  // kernels before 4.17 take the address as a hint only
    munmap(got, bytes);
    return nullptr;
  }
  return got;
}
void HostUnmapAt(void* at, std::size_t bytes) { munmap(at, bytes); }

bool HostRunParallel(int count, void (*fn)(void*, int), void* context) {
  std::vector<std::thread> threads;
  if (count > 0) threads.reserve(static_cast<std::size_t>(count));
  for (int k = 0; k < count; ++k) threads.emplace_back(fn, context, k);
  for (std::thread& t : threads) t.join();
  return count > 0;
}
