// Prints the installer's Registry table (an .idt file that msibuild imports)
// from the table DllRegisterServer writes, so that the two cannot drift
// apart. A native program: it compiles the same header without Windows.
//
//   registry_idt COMPONENT64 FILE64 COMPONENT32 FILE32 >Registry.idt
//
// Each DLL's component gets the entries of its own registry view, its
// module path given as [#FILE]; the Explorer entries, which live in the
// 64-bit view, go with the 64-bit component. Each component also deletes
// its view's own keys whole on removal, as DllUnregisterServer does.
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <string>

using DWORD = std::uint32_t;
using BYTE = unsigned char;

#include "wic/registration_table.h"

namespace {

// The table's texts are ASCII; anything else would need a code page.
bool Narrow(const wchar_t* wide, std::string* out) {
  out->clear();
  for (; *wide != 0; ++wide) {
    if (*wide < 0x20 || *wide > 0x7E) return false;
    out->push_back(static_cast<char>(*wide));
  }
  return true;
}

// A text as the installer's Formatted type takes it literally: brackets
// would name properties, and a leading # would make a number.
std::string FormattedText(const std::string& text) {
  std::string out = text.size() > 0 && text[0] == '#' ? "#" : "";
  for (const char c : text) {
    if (c == '[') {
      out += "[\\[]";
    } else if (c == ']') {
      out += "[\\]]";
    } else {
      out.push_back(c);
    }
  }
  return out;
}

struct Component {
  const char* id;
  const char* file_id;
  const char* suffix;  // of the row names
  bool explorer;       // holds the Explorer entries
};

int g_row = 0;

bool Row(const Component& c, const wchar_t* key, const std::string& name, const std::string& value) {
  std::string key_text;
  if (!Narrow(key, &key_text)) return false;
  std::printf("KxReg%s%02d\t2\t%s\t%s\t%s\t%s\r\n", c.suffix, g_row++, key_text.c_str(), name.c_str(), value.c_str(),
              c.id);
  return true;
}

bool PrintComponent(const Component& c) {
  g_row = 0;
  for (const Entry& e : kEntries) {
    if (e.view == View::kExplorer && !c.explorer) continue;
    std::string name;
    if (e.name != nullptr && !Narrow(e.name, &name)) return false;
    std::string value;
    switch (e.kind) {
      case Kind::kKey:
        name = "+";  // the key alone, created on installation
        break;
      case Kind::kText:
        if (!Narrow(e.text, &value)) return false;
        value = FormattedText(value);
        break;
      case Kind::kModulePath: value = std::string("[#") + c.file_id + "]"; break;
      case Kind::kNumber: value = "#" + std::to_string(e.number); break;
      case Kind::kBinary: {
        value = "#x";
        char hex[3];
        for (DWORD k = 0; k < e.binary_bytes; ++k) {
          std::snprintf(hex, sizeof hex, "%02X", e.binary[k]);
          value += hex;
        }
        break;
      }
    }
    if (!Row(c, e.key, name, value)) return false;
  }
  for (const wchar_t* key : kOwnKeys) {
    if (!Row(c, key, "-", "")) return false;  // removed whole on uninstallation
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: registry_idt COMPONENT64 FILE64 COMPONENT32 FILE32\n");
    return 2;
  }
  std::printf("Registry\tRoot\tKey\tName\tValue\tComponent_\r\n");
  std::printf("s72\ti2\tl255\tL255\tL0\ts72\r\n");
  std::printf("Registry\tRegistry\r\n");
  const Component components[] = {{argv[1], argv[2], "64_", true}, {argv[3], argv[4], "32_", false}};
  for (const Component& c : components) {
    if (!PrintComponent(c)) {
      std::fprintf(stderr, "registry_idt: a text outside ASCII in the table\n");
      return 1;
    }
  }
  return 0;
}
