// The plug-in's five entry points as the tests call them. Natively they are
// the static library's functions; in the Windows build they are loaded from
// kxfilter.spi beside the test program, so the tests exercise the real module
// exactly as a viewer would.
#pragma once

#include <cstdint>
#include <string>

#include "plugin/spi.h"
#include "tests/support/kx_build.h"

struct PluginApi {
  int(SPI_CALL* GetPluginInfo)(int, char*, int);
  int(SPI_CALL* IsSupported)(char*, SpiDword);
  int(SPI_CALL* GetPictureInfo)(char*, SpiLong, SpiUint, PictureInfo*);
  int(SPI_CALL* GetPicture)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
  int(SPI_CALL* GetPreview)(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong);
};

// Aborts the test program when the module cannot be loaded.
const PluginApi& Plugin();

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

// A file in a fresh temporary folder, removed with the folder at exit.
std::string WriteTempFile(const std::string& name, const Bytes& bytes);
std::string MissingFilePath();
