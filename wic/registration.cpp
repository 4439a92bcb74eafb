// DllRegisterServer and DllUnregisterServer over the table of
// registration_table.h.
#include "wic/registration.h"

#include <olectl.h>
#include <shlobj.h>

#include "wic/kxwic.h"
#include "wic/registration_table.h"

namespace {

// Shared keys emptied by unregistration are removed up to (not including)
// the first of these above them: keys Windows always has.
const wchar_t* const kPruneStops[] = {L"Software\\Classes", L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer",
                                      L"Software\\Microsoft"};

REGSAM ViewFlag(View view) { return view == View::kExplorer ? KEY_WOW64_64KEY : 0; }

// The other build's view: where a registration of the other architecture
// lives (the same view on 32-bit Windows, where there is one).
REGSAM OtherViewFlag() { return sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY; }

size_t TextLength(const wchar_t* s) {
  size_t n = 0;
  while (s[n] != 0) ++n;
  return n;
}

bool SameText(const wchar_t* a, const wchar_t* b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
  }
  return true;
}

// The value's type and bytes as written; the module path in `path`.
void ValueOf(const Entry& e, const wchar_t* path, DWORD* type, const BYTE** data, DWORD* bytes) {
  switch (e.kind) {
    case Kind::kKey:
      *type = REG_NONE;
      *data = nullptr;
      *bytes = 0;
      return;
    case Kind::kNumber:
      *type = REG_DWORD;
      *data = reinterpret_cast<const BYTE*>(&e.number);
      *bytes = sizeof e.number;
      return;
    case Kind::kBinary:
      *type = REG_BINARY;
      *data = e.binary;
      *bytes = e.binary_bytes;
      return;
    case Kind::kText:
    case Kind::kModulePath: {
      const wchar_t* text = e.kind == Kind::kText ? e.text : path;
      *type = REG_SZ;
      *data = reinterpret_cast<const BYTE*>(text);
      *bytes = static_cast<DWORD>((TextLength(text) + 1) * sizeof(wchar_t));
      return;
    }
  }
}

LSTATUS WriteEntry(const Entry& e, const wchar_t* path) {
  HKEY key = nullptr;
  LSTATUS status = RegCreateKeyExW(HKEY_LOCAL_MACHINE, e.key, 0, nullptr, REG_OPTION_NON_VOLATILE,
                                   KEY_SET_VALUE | ViewFlag(e.view), nullptr, &key, nullptr);
  if (status != ERROR_SUCCESS) return status;
  DWORD type = 0;
  const BYTE* data = nullptr;
  DWORD bytes = 0;
  ValueOf(e, path, &type, &data, &bytes);
  if (e.kind != Kind::kKey) status = RegSetValueExW(key, e.name, 0, type, data, bytes);
  RegCloseKey(key);
  return status;
}

// Removes a value only while it still holds what registration wrote: what
// a user or another program set there stays.
void RemoveValueIfOurs(const Entry& e) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, e.key, 0, KEY_QUERY_VALUE | KEY_SET_VALUE | ViewFlag(e.view), &key) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD want_type = 0;
  const BYTE* want = nullptr;
  DWORD want_bytes = 0;
  ValueOf(e, nullptr, &want_type, &want, &want_bytes);
  BYTE found[512];
  DWORD found_type = 0;
  DWORD found_bytes = sizeof found;
  if (RegQueryValueExW(key, e.name, nullptr, &found_type, found, &found_bytes) == ERROR_SUCCESS &&
      found_type == want_type && found_bytes == want_bytes &&
      SameText(reinterpret_cast<const wchar_t*>(found), reinterpret_cast<const wchar_t*>(want),
               want_bytes / sizeof(wchar_t))) {
    RegDeleteValueW(key, e.name);
  }
  RegCloseKey(key);
}

bool IsPruneStop(const wchar_t* path, size_t length) {
  for (const wchar_t* stop : kPruneStops) {
    if (TextLength(stop) == length && SameText(stop, path, length)) return true;
  }
  return false;
}

// Deletes `path` and then its parents while they hold no value and no key.
void PruneEmptyKeys(const wchar_t* path, REGSAM view) {
  wchar_t buffer[512];
  size_t length = TextLength(path);
  if (length >= sizeof buffer / sizeof buffer[0]) return;
  for (size_t i = 0; i <= length; ++i) buffer[i] = path[i];
  while (length > 0 && !IsPruneStop(buffer, length)) {
    buffer[length] = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, buffer, 0, KEY_QUERY_VALUE | view, &key) != ERROR_SUCCESS) return;
    DWORD subkeys = 0;
    DWORD values = 0;
    const LSTATUS status = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, &values,
                                            nullptr, nullptr, nullptr, nullptr);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS || subkeys != 0 || values != 0) return;
    if (RegDeleteKeyExW(HKEY_LOCAL_MACHINE, buffer, view, 0) != ERROR_SUCCESS) return;
    while (length > 0 && buffer[length - 1] != L'\\') --length;
    if (length > 0) --length;  // the backslash
  }
}

// The key (our own) and everything below it.
void DeleteOwnKey(const wchar_t* path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, 0, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS) return;
  RegDeleteTreeW(key, nullptr);
  RegCloseKey(key);
  RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path, 0, 0);
}

bool RegisteredInOtherView() {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, KX_DECODER_KEY L"\\InprocServer32", 0, KEY_QUERY_VALUE | OtherViewFlag(),
                    &key) != ERROR_SUCCESS) {
    return false;
  }
  RegCloseKey(key);
  return true;
}

void Unregister() {
  for (const wchar_t* key : kOwnKeys) DeleteOwnKey(key);
  if (RegisteredInOtherView()) return;
  for (const Entry& e : kEntries) {
    if (e.view != View::kExplorer) continue;
    RemoveValueIfOurs(e);
    PruneEmptyKeys(e.key, ViewFlag(e.view));
  }
}

}  // namespace

HRESULT RegisterServer() {
  wchar_t path[MAX_PATH + 1];
  const DWORD length = GetModuleFileNameW(ServerModule(), path, MAX_PATH + 1);
  if (length == 0 || length > MAX_PATH) return SELFREG_E_CLASS;
  // A registration of an earlier build leaves nothing of its own behind.
  for (const wchar_t* key : kOwnKeys) DeleteOwnKey(key);
  for (const Entry& e : kEntries) {
    const LSTATUS status = WriteEntry(e, path);
    if (status != ERROR_SUCCESS) {
      Unregister();
      return HRESULT_FROM_WIN32(static_cast<unsigned long>(status));
    }
  }
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return S_OK;
}

HRESULT UnregisterServer() {
  Unregister();
  SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
  return S_OK;
}
