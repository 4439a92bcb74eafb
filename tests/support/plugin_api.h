// The plug-in's entry points as the tests call them. Natively they are the
// static library's functions; in the Windows build they are loaded from the
// module beside the test program (kxfilter.spi, or kxfilter.sph in the
// 64-bit build), so the tests exercise the real module exactly as a viewer
// would.
//
// The plug-in tests run in both forms: Plugin() calls the ANSI entry points,
// or, when the test program is started with --wide, the wide ones, as a host
// would that converts its ANSI names to UTF-16. Module() gives both forms
// directly.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

#include "platform/wide_char.h"
#include "plugin/spi.h"
#include "tests/support/kx_build.h"

struct EntryPoints {
  int(SPI_CALL* GetPluginInfo)(int, char*, int);
  int(SPI_CALL* IsSupported)(char*, SpiDword);
  int(SPI_CALL* GetPictureInfo)(char*, SpiLong, SpiUint, PictureInfo*);
  int(SPI_CALL* GetPicture)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
  int(SPI_CALL* GetPreview)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
  int(SPI_CALL* GetPluginInfoW)(int, SpiWchar*, int);
  int(SPI_CALL* IsSupportedW)(const SpiWchar*, SpiDword);
  int(SPI_CALL* GetPictureInfoW)(const SpiWchar*, SpiLong, SpiUint, PictureInfo*);
  int(SPI_CALL* GetPictureW)(const SpiWchar*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
  int(SPI_CALL* GetPreviewW)(const SpiWchar*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
};

// Aborts the test program when the module cannot be loaded or lacks an
// entry point.
const EntryPoints& Module();

enum class CallForm { kAnsi, kWide };
CallForm TestedForm();
void SelectForm(CallForm form);

// The calls in the tested form, with the ANSI form's arguments: in the wide
// form a file name (flag & 7 = 0) is passed converted to UTF-16, memory-mode
// bytes as they are. GetPluginInfo is always the ANSI form (its wide form is
// compared with it text by text and length by length).
struct PluginCalls {
  int GetPluginInfo(int infono, char* buf, int buflen) const;
  int IsSupported(char* filename, SpiDword dw) const;
  int GetPictureInfo(char* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo) const;
  int GetPicture(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                 ProgressCallback progressCallback, SpiLong lData) const;
  int GetPreview(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                 ProgressCallback progressCallback, SpiLong lData) const;
};
const PluginCalls& Plugin();

// A picture as the host received it: result code and the two blocks' bytes.
struct HostPicture {
  int result = -100;
  bool handed_over = false;  // both slots were written
  Bytes info;                // the whole information block
  Bytes bits;                // the whole bits block
};

// Calls GetPicture, copies out and frees whatever blocks it handed over.
// `use_handle_as_address` reads the blocks through their handles without
// locking them, as some viewers do.
HostPicture FetchPicture(char* buf, SpiLong len, SpiUint flag, ProgressCallback callback = nullptr,
                         SpiLong lData = 0, bool use_handle_as_address = false);
HostPicture FetchFromMemory(const Bytes& file, SpiUint flag = 1);
HostPicture FetchFromFile(const std::string& path, SpiLong offset = 0);
// GetPicture with an ANSI name, GetPictureW with a UTF-16 one, whatever the
// tested form.
HostPicture FetchFromAnsiName(const std::string& name, SpiLong offset = 0);
HostPicture FetchFromWideName(const WideString& name, SpiLong offset = 0);

// A file in a fresh temporary folder, removed with the folder at exit.
std::string WriteTempFile(const std::string& name, const Bytes& bytes);
std::string MissingFilePath();
// The same at a path below that folder, whose folders are made as needed.
std::filesystem::path WriteTempFileAt(const std::filesystem::path& relative, const Bytes& bytes);
const std::filesystem::path& TempFolder();
