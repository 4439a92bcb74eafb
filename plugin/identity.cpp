// Identity and recognition: the info texts, IsSupported and GetPreview in
// both forms, and the module's load-time entry.
#include <cstring>

#include "codec/format/kx_format.h"
#include "platform/platform.h"
#include "plugin/head_buffer.h"
#include "plugin/spi.h"

namespace kx {

namespace {

// The info texts by info number; any other number ends the list.
constexpr const char* kInfoTexts[] = {
    "00IN",
    "KX Image Plug-in 1.0 (kxfilter, built from source)",
    "*",
    "QuorinDale/Zeva KX files",
};
constexpr int kInfoTextCount = sizeof(kInfoTexts) / sizeof(kInfoTexts[0]);

// An address that IsSupported receives has some of its upper 16 bits set; a
// smaller value is a file handle.
constexpr SpiDword kHandleLimit = 0x10000;

// What a host passes when its CreateFile failed: INVALID_HANDLE_VALUE, as a
// 32-bit DWORD or, in a 64-bit build, as a pointer-sized value. Neither is a
// buffer: read as one, it would crash the host.
constexpr SpiDword kFailedHandle32 = 0xFFFFFFFF;
constexpr SpiDword kFailedHandle = ~SpiDword{0};

// One implementation for both forms: the texts are ASCII, so a UTF-16 unit
// holds each character as it stands. Never more than buflen characters: a
// text that does not fit is cut, and the zero always follows what was
// written.
template <typename Char>
int CopyInfoText(int infono, Char* buf, int buflen) {
  if (infono < 0 || infono >= kInfoTextCount || buf == nullptr || buflen <= 0) return 0;
  const char* text = kInfoTexts[infono];
  const std::size_t room = static_cast<std::size_t>(buflen) - 1;
  const std::size_t length = std::strlen(text);
  const std::size_t written = length < room ? length : room;
  for (std::size_t k = 0; k < written; ++k) buf[k] = static_cast<Char>(text[k]);
  buf[written] = Char{0};
  return static_cast<int>(written);
}

int Recognise(SpiDword dw) {
  if (dw == kFailedHandle32 || dw == kFailedHandle) return 0;
  if (dw >= kHandleLimit) return CheckHeader(reinterpret_cast<const std::uint8_t*>(dw));

  // A handle the host opened and owns: read from where it stands, do not
  // seek, do not close.
  BlockHandle head = AllocFixedBlock(kHeadBufferBytes);
  if (head == nullptr) return 0;
  auto* bytes = static_cast<std::uint8_t*>(head);
  const std::uint32_t read_bytes = ReadBytes(reinterpret_cast<FileHandle>(dw), bytes, kHeadBufferBytes);
  // Bytes that were not read are not the file's: never judge by them.
  const int answer = read_bytes >= kHeaderBytes ? CheckHeader(bytes) : 0;
  FreeBlock(head);
  return answer;
}

}  // namespace

}  // namespace kx

// The entry points reach the internals through this alone.
using namespace kx;

extern "C" int SPI_CALL GetPluginInfo(int infono, char* buf, int buflen) {
  return CopyInfoText(infono, buf, buflen);
}

extern "C" int SPI_CALL GetPluginInfoW(int infono, SpiWchar* buf, int buflen) {
  return CopyInfoText(infono, buf, buflen);
}

// The name plays no part in either form: recognition is by content alone.
extern "C" int SPI_CALL IsSupported(char* /*filename*/, SpiDword dw) { return Recognise(dw); }
extern "C" int SPI_CALL IsSupportedW(const SpiWchar* /*filename*/, SpiDword dw) { return Recognise(dw); }

extern "C" int SPI_CALL GetPreview(char*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback, SpiLong) {
  return kSpiNotImplemented;
}

extern "C" int SPI_CALL GetPreviewW(const SpiWchar*, SpiLong, SpiUint, SpiHandle*, SpiHandle*, ProgressCallback,
                                    SpiLong) {
  return kSpiNotImplemented;
}

#if defined(_WIN32)
// Loading the module runs nothing: no state exists to set up or tear down.
extern "C" int SPI_CALL DllMain(void* /*module*/, unsigned long /*reason*/, void* /*reserved*/) { return 1; }
#endif
