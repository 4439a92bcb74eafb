// The entry points of the import plug-in interface (version "00IN"), as a
// host sees them: the five ANSI ones and their wide (UTF-16) forms.
//
// The 32-bit Windows module (kxfilter.spi) uses stdcall, 32-bit integers,
// pointers and handles, and a packed 26-byte PictureInfo. The 64-bit module
// (kxfilter.sph) follows the interface's 64-bit form: the single x64 calling
// convention, `len` and `lData` pointer-sized (LONG_PTR), IsSupported's `dw`
// pointer-sized (DWORD_PTR), and a naturally aligned 32-byte PictureInfo.
// Native builds take the platform's own pointer width the same way.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wide_char.h"

#if defined(_WIN32) && !defined(_WIN64)
#define SPI_CALL __stdcall
#else
#define SPI_CALL
#endif

#if defined(_WIN32)
#define SPI_EXPORT
#else
#define SPI_EXPORT __attribute__((visibility("default")))
#endif

using SpiLong = std::intptr_t;        // LONG_PTR: `len` and `lData`
using SpiUint = std::uint32_t;        // the interface's unsigned int
using SpiDword = std::uintptr_t;      // DWORD_PTR: IsSupported's handle or address
using SpiHandle = void*;              // HLOCAL
using SpiWchar = WideChar;            // a UTF-16 code unit of the wide forms

// Result codes of GetPictureInfo, GetPicture and GetPreview.
enum SpiResult : int {
  kSpiNotImplemented = -1,
  kSpiSuccess = 0,
  kSpiUnknownFormat = 2,
  kSpiOutOfMemory = 4,
  kSpiFileReadError = 6,
  kSpiAborted = 8,
};

// Low three bits of `flag`: 0 means `buf` is a file name, anything else that
// `buf` holds the picture's bytes. Higher bits are ignored.
enum class InputMode { kFile, kMemory };
inline InputMode InputModeOf(SpiUint flag) { return (flag & 7) == 0 ? InputMode::kFile : InputMode::kMemory; }

// Packed where pointers are 32 bits, as hosts of the 32-bit module expect;
// naturally aligned where they are 64 bits (2 bytes of padding before
// hInfo), as hosts of the 64-bit module expect.
#if UINTPTR_MAX == 0xFFFFFFFFu
#pragma pack(push, 1)
#else
#pragma pack(push, 8)
#endif
struct PictureInfo {
  std::int32_t left;
  std::int32_t top;
  std::int32_t width;
  std::int32_t height;
  std::uint16_t x_density;
  std::uint16_t y_density;
  std::int16_t colorDepth;
  SpiHandle hInfo;
};
#pragma pack(pop)
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(PictureInfo) == 26 && offsetof(PictureInfo, hInfo) == 22, "the 32-bit record: packed");
#else
static_assert(sizeof(PictureInfo) == 32 && offsetof(PictureInfo, hInfo) == 24, "the 64-bit record: aligned");
#endif

// Progress callback: (numerator, denominator, the host's lData); nonzero asks
// the plug-in to stop.
using ProgressCallback = int(SPI_CALL*)(int, int, SpiLong);

extern "C" {
SPI_EXPORT int SPI_CALL GetPluginInfo(int infono, char* buf, int buflen);
SPI_EXPORT int SPI_CALL IsSupported(char* filename, SpiDword dw);
SPI_EXPORT int SPI_CALL GetPictureInfo(char* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo);
SPI_EXPORT int SPI_CALL GetPicture(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                                   ProgressCallback progressCallback, SpiLong lData);
SPI_EXPORT int SPI_CALL GetPreview(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                                   ProgressCallback progressCallback, SpiLong lData);

// The wide forms. `buflen` of GetPluginInfoW counts UTF-16 units. In file
// mode `buf` is a zero-terminated UTF-16 file name; in memory mode it is the
// picture's bytes, exactly as in the ANSI forms. Same results otherwise.
SPI_EXPORT int SPI_CALL GetPluginInfoW(int infono, SpiWchar* buf, int buflen);
SPI_EXPORT int SPI_CALL IsSupportedW(const SpiWchar* filename, SpiDword dw);
SPI_EXPORT int SPI_CALL GetPictureInfoW(const SpiWchar* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo);
SPI_EXPORT int SPI_CALL GetPictureW(const SpiWchar* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo,
                                    SpiHandle* pHBm, ProgressCallback progressCallback, SpiLong lData);
SPI_EXPORT int SPI_CALL GetPreviewW(const SpiWchar* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo,
                                    SpiHandle* pHBm, ProgressCallback progressCallback, SpiLong lData);
}
