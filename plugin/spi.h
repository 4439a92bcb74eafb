// The five entry points of the import plug-in interface (version "00IN"),
// as a host sees them.
//
// In the 32-bit Windows module every integer is 32 bits, every pointer and
// handle 32 bits, and the calling convention is stdcall. Native builds keep
// the same signatures with the platform's own pointer width: a buffer address
// given to IsSupported then travels in a pointer-sized integer.
#pragma once

#include <cstdint>

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

using SpiLong = std::int32_t;         // the interface's long
using SpiUint = std::uint32_t;        // the interface's unsigned int
using SpiDword = std::uintptr_t;      // DWORD in the 32-bit module
using SpiHandle = void*;              // HLOCAL

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

#pragma pack(push, 1)
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
static_assert(sizeof(PictureInfo) == 22 + sizeof(void*), "PictureInfo is packed");
#if defined(_WIN32) && !defined(_WIN64)
static_assert(sizeof(PictureInfo) == 26, "hosts of the 32-bit module expect 26 bytes");
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
}
