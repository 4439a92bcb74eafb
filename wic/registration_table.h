// The registry entries of the decoder as one table: what DllRegisterServer
// writes (registration.cpp) and, generated from the same table by
// registry_idt.cpp, what the installer's Registry table holds. It includes
// no Windows header, so that a native program can read it: the includer
// defines DWORD (32-bit unsigned) and BYTE first.
//
// The decoder's class and its place in the WIC decoder category go in the
// DLL's own view (each build registers itself for applications of its
// kind); the Explorer entries live in keys both views share, or that
// Explorer reads from the 64-bit view, and are kept while either build is
// registered.
#pragma once

#include "kx.h"

namespace {

#define KX_DECODER_CLSID L"{6B0F06AD-041E-4829-AC58-26F68853CC4C}"
#define KX_DECODER_KEY L"Software\\Classes\\CLSID\\" KX_DECODER_CLSID
// The library's version as WIC spells a component's: four numbers.
#define KX_WIC_TEXT(n) L"" #n
#define KX_WIC_NUMBER(n) KX_WIC_TEXT(n)
#define KX_WIC_VERSION \
  KX_WIC_NUMBER(KX_VERSION_MAJOR) L"." KX_WIC_NUMBER(KX_VERSION_MINOR) L"." KX_WIC_NUMBER(KX_VERSION_PATCH) L".0"
#define KX_DECODER_CATEGORY_INSTANCE L"Software\\Classes\\CLSID\\{7ED96837-96F0-4812-B211-F13C24117ED3}\\Instance"

enum class View { kOwn, kExplorer };

enum class Kind {
  kKey,         // the key alone
  kText,        // REG_SZ
  kModulePath,  // REG_SZ: this DLL's full file name
  kNumber,      // REG_DWORD
  kBinary,      // REG_BINARY
};

struct Entry {
  View view;
  const wchar_t* key;   // below HKEY_LOCAL_MACHINE
  const wchar_t* name;  // nullptr: the key's default value
  Kind kind;
  const wchar_t* text;
  DWORD number;
  const BYTE* binary;
  DWORD binary_bytes;
};

const BYTE kSignature[] = {'K', 'X', 0x83, 0x03};
const BYTE kSignatureMask[] = {0xFF, 0xFF, 0xFF, 0xFF};

constexpr Entry Text(View view, const wchar_t* key, const wchar_t* name, const wchar_t* text) {
  return Entry{view, key, name, Kind::kText, text, 0, nullptr, 0};
}
constexpr Entry Number(const wchar_t* key, const wchar_t* name, DWORD number) {
  return Entry{View::kOwn, key, name, Kind::kNumber, nullptr, number, nullptr, 0};
}

const Entry kEntries[] = {
    Text(View::kOwn, KX_DECODER_CATEGORY_INSTANCE L"\\" KX_DECODER_CLSID, L"CLSID", KX_DECODER_CLSID),
    Text(View::kOwn, KX_DECODER_CATEGORY_INSTANCE L"\\" KX_DECODER_CLSID, L"FriendlyName", L"KX Decoder"),
    Text(View::kOwn, KX_DECODER_KEY, nullptr, L"KX Decoder"),
    Text(View::kOwn, KX_DECODER_KEY, L"FriendlyName", L"KX Decoder"),
    Text(View::kOwn, KX_DECODER_KEY, L"Author", L"kxfilter"),
    Text(View::kOwn, KX_DECODER_KEY, L"Vendor", L"{E2FB94CB-7456-4F55-86EB-66D0A0F94B2D}"),
    Text(View::kOwn, KX_DECODER_KEY, L"Version", KX_WIC_VERSION),
    Text(View::kOwn, KX_DECODER_KEY, L"SpecVersion", L"1.0.0.0"),
    Text(View::kOwn, KX_DECODER_KEY, L"ContainerFormat", L"{B2F140B5-F6CD-419E-824E-8DD3AAF6F2A8}"),
    Text(View::kOwn, KX_DECODER_KEY, L"MimeTypes", L"image/x-kx"),
    Text(View::kOwn, KX_DECODER_KEY, L"FileExtensions", L".kx"),
    Number(KX_DECODER_KEY, L"SupportAnimation", 0),
    Number(KX_DECODER_KEY, L"SupportChromakey", 0),
    Number(KX_DECODER_KEY, L"SupportLossless", 1),
    Number(KX_DECODER_KEY, L"SupportMultiframe", 0),
    // 24bppBGR
    Entry{View::kOwn, KX_DECODER_KEY L"\\Formats\\{6FDDC324-4E03-4BFE-B185-3D77768DC90C}", nullptr, Kind::kKey, nullptr,
          0, nullptr, 0},
    Entry{View::kOwn, KX_DECODER_KEY L"\\InprocServer32", nullptr, Kind::kModulePath, nullptr, 0, nullptr, 0},
    Text(View::kOwn, KX_DECODER_KEY L"\\InprocServer32", L"ThreadingModel", L"Both"),
    // Every value of the pattern: some implementations drop a decoder whose
    // pattern lacks its mask.
    Number(KX_DECODER_KEY L"\\Patterns\\0", L"Position", 0),
    Number(KX_DECODER_KEY L"\\Patterns\\0", L"Length", sizeof kSignature),
    Entry{View::kOwn, KX_DECODER_KEY L"\\Patterns\\0", L"Pattern", Kind::kBinary, nullptr, 0, kSignature,
          sizeof kSignature},
    Entry{View::kOwn, KX_DECODER_KEY L"\\Patterns\\0", L"Mask", Kind::kBinary, nullptr, 0, kSignatureMask,
          sizeof kSignatureMask},
    Number(KX_DECODER_KEY L"\\Patterns\\0", L"EndOfStream", 0),

    Text(View::kExplorer, L"Software\\Classes\\.kx", L"Content Type", L"image/x-kx"),
    Text(View::kExplorer, L"Software\\Classes\\.kx", L"PerceivedType", L"image"),
    // The system's photo thumbnail provider, which decodes through WIC.
    Text(View::kExplorer,
         L"Software\\Classes\\SystemFileAssociations\\.kx\\ShellEx\\{e357fccd-a995-4576-b01f-234630154e96}", nullptr,
         L"{C7657C4A-9F68-40fa-A4DF-96BC08EB3551}"),
    Text(View::kExplorer, L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\KindMap", L".kx", L"picture"),
    Text(View::kExplorer, L"Software\\Microsoft\\Windows Photo Viewer\\Capabilities\\FileAssociations", L".kx",
         L"PhotoViewer.FileAssoc.Tiff"),
};

// Keys of our own, removed with everything below them.
const wchar_t* const kOwnKeys[] = {KX_DECODER_KEY, KX_DECODER_CATEGORY_INSTANCE L"\\" KX_DECODER_CLSID};

}  // namespace
