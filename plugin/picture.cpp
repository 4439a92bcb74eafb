// Picture loading: GetPictureInfo and GetPicture, in the ANSI and the wide
// form. The two forms differ only in how a file name is opened, which the
// platform layer does: everything here runs the same for both.
//
// Every path either hands the host two complete blocks (results 0 and 8) or
// hands over nothing and leaves the host's slots untouched. Everything else
// the plug-in allocates or opens is released before the entry point returns.
#include <cstring>

#include "codec/decode/fast_decode.h"
#include "codec/decode/two_core_decode.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"
#include "codec/format/stream_bound.h"
#include "platform/platform.h"
#include "plugin/head_buffer.h"
#include "plugin/spi.h"

namespace kx {

namespace {

// The most a picture's input can be: a header, then the longest stream the
// largest bitmap allowed can consume. Anything after it in a file is never
// read, so every input fits a 32-bit read, whatever the file's size.
constexpr std::size_t kMaxInputBytes = kHeaderBytes + MaxStreamBytes(kMaxPictureBytes);
static_assert(kMaxInputBytes < (std::size_t{1} << 31), "one ReadBytes call reads any input");

// The picture's bytes: either the host's memory or a block read from a file,
// which `owned` then holds.
struct Input {
  const std::uint8_t* bytes;
  std::size_t size_bytes;
  BlockHandle owned;
};

// The host's `buf`: a file name in the form of the entry point called, or
// the picture's bytes, whichever form was called.
struct HostBuffer {
  const void* address;
  bool wide;
};

FileName NameIn(HostBuffer buf) {
  return buf.wide ? WideFileName(static_cast<const WideChar*>(buf.address))
                  : AnsiFileName(static_cast<const char*>(buf.address));
}

void ReleaseInput(Input* input) {
  if (input->owned != nullptr) FreeBlock(input->owned);
  input->owned = nullptr;
}

// The result code of a header's check (PlanFromHeader, which both entry
// points ask): refused headers are an unknown format, except a picture over
// the cap, which is memory the plug-in will not take.
int ResultOfCheck(HeaderCheck check) {
  switch (check) {
    case HeaderCheck::kOk: return kSpiSuccess;
    case HeaderCheck::kTooLarge: return kSpiOutOfMemory;
    case HeaderCheck::kTruncated:
    case HeaderCheck::kNotKx:
    case HeaderCheck::kCoding:
    case HeaderCheck::kPixelSize:
    case HeaderCheck::kSideRange:
    case HeaderCheck::kNoPixels: break;
  }
  return kSpiUnknownFormat;
}

// Opens `name` at `offset` (the position viewers pass in len) and gives the
// number of bytes from there to the end. On any result but 0 the file is
// already closed.
int OpenAtOffset(FileName name, SpiLong offset, FileHandle* file, std::int64_t* rest_bytes) {
  *file = OpenForRead(name);
  if (*file == InvalidFile()) return kSpiFileReadError;
  const std::int64_t file_bytes = FileBytes(*file);
  int result = kSpiSuccess;
  // The bytes after the offset are counted only for an offset of 0 or more:
  // for one near the most negative value the difference would overflow.
  if (file_bytes < 0) {  // NOLINT(bugprone-branch-clone): distinct failures, one result code
    result = kSpiFileReadError;
  } else if (offset < 0 || file_bytes - offset < static_cast<std::int64_t>(kHeaderBytes)) {
    result = kSpiUnknownFormat;  // no whole header after the offset
  } else if (!SeekFile(*file, offset)) {
    result = kSpiFileReadError;
  }
  if (result != kSpiSuccess) {
    CloseFile(*file);
    return result;
  }
  *rest_bytes = file_bytes - offset;
  return kSpiSuccess;
}

// GetPictureInfo's header: the first kHeadBufferBytes after the offset in
// file mode, `buf` itself in memory mode. `head_block` holds what was read
// from a file until the caller frees it.
int LoadHead(HostBuffer buf, SpiLong len, SpiUint flag, BlockHandle* head_block, const std::uint8_t** head) {
  *head_block = nullptr;
  if (InputModeOf(flag) == InputMode::kMemory) {
    if (buf.address == nullptr || len < static_cast<SpiLong>(kHeaderBytes)) return kSpiUnknownFormat;
    *head = static_cast<const std::uint8_t*>(buf.address);
    return kSpiSuccess;
  }
  if (buf.address == nullptr) return kSpiFileReadError;
  FileHandle file = nullptr;
  std::int64_t rest_bytes = 0;
  const int opened = OpenAtOffset(NameIn(buf), len, &file, &rest_bytes);
  if (opened != kSpiSuccess) return opened;
  BlockHandle block = AllocFixedBlock(kHeadBufferBytes);
  const std::uint32_t read_bytes = block != nullptr ? ReadBytes(file, block, kHeadBufferBytes) : 0;
  CloseFile(file);
  if (block == nullptr) return kSpiOutOfMemory;
  if (read_bytes < kHeaderBytes) {
    FreeBlock(block);
    return kSpiUnknownFormat;
  }
  *head_block = block;
  *head = static_cast<const std::uint8_t*>(block);
  return kSpiSuccess;
}

// The bitmap a header asks for, or the result that refuses it.
int PlanFromHead(const std::uint8_t* head, PictureLayout* layout) {
  ImageSize size{};
  return ResultOfCheck(PlanFromHeader(head, kHeaderBytes, &size, layout));
}

// File mode of GetPicture: the header first, then only as much of the rest
// as a stream for that picture can consume, so a picture followed by other
// data (or inside a large container) costs its own bytes and no more. Each
// read returns what it returns: a short one decodes the bytes it brought.
int ReadPicture(FileName name, SpiLong offset, PictureLayout* layout, Input* input) {
  FileHandle file = nullptr;
  std::int64_t rest_bytes = 0;
  const int opened = OpenAtOffset(name, offset, &file, &rest_bytes);
  if (opened != kSpiSuccess) return opened;
  std::uint8_t head[kHeaderBytes];
  int result = kSpiUnknownFormat;
  if (ReadBytes(file, head, kHeaderBytes) == kHeaderBytes) result = PlanFromHead(head, layout);
  BlockHandle block = nullptr;
  std::uint32_t stream_read_bytes = 0;
  if (result == kSpiSuccess) {
    const std::size_t bound_bytes = kHeaderBytes + MaxStreamBytes(layout->total_bytes);
    const std::size_t wanted_bytes =
        static_cast<std::uint64_t>(rest_bytes) < bound_bytes ? static_cast<std::size_t>(rest_bytes) : bound_bytes;
    block = AllocFixedBlock(wanted_bytes);
    if (block == nullptr) {
      result = kSpiOutOfMemory;
    } else {
      std::memcpy(block, head, kHeaderBytes);
      stream_read_bytes = ReadBytes(file, static_cast<std::uint8_t*>(block) + kHeaderBytes,
                                    static_cast<std::uint32_t>(wanted_bytes - kHeaderBytes));
    }
  }
  CloseFile(file);
  if (result != kSpiSuccess) return result;
  *input = Input{static_cast<const std::uint8_t*>(block), kHeaderBytes + stream_read_bytes, block};
  return kSpiSuccess;
}

// GetPicture's input in either mode, with the bitmap its header asks for.
// In memory mode nothing beyond the len bytes at `buf` is read.
int LoadPicture(HostBuffer buf, SpiLong len, SpiUint flag, PictureLayout* layout, Input* input) {
  if (InputModeOf(flag) == InputMode::kFile) {
    return buf.address == nullptr ? kSpiFileReadError : ReadPicture(NameIn(buf), len, layout, input);
  }
  if (buf.address == nullptr || len < static_cast<SpiLong>(kHeaderBytes)) return kSpiUnknownFormat;
  const auto* bytes = static_cast<const std::uint8_t*>(buf.address);
  const int planned = PlanFromHead(bytes, layout);
  if (planned != kSpiSuccess) return planned;
  *input = Input{bytes, static_cast<std::size_t>(len), nullptr};
  return kSpiSuccess;
}

// Decodes the picture into the locked bits block, with the window as the
// only work memory, and calls the progress callback once, when the whole
// picture is there. 1 when the picture is complete and the callback did not
// ask to stop, else 0.
int DecodeImage(const Input& input, std::uint8_t* bits, const PictureLayout& layout, std::uint8_t* window,
                ProgressCallback progressCallback, SpiLong lData) {
  // The library's decision on two threads (TwoCoresPay), taken here in the
  // viewer's process. Otherwise: a large bits block is fresh, and touching
  // its pages the first time costs as much as decoding a flat picture, so a
  // second thread takes part of it. The thread starts at the block's lowest
  // address and the decoder at its highest (the picture's top row is stored
  // last), so they meet in the middle. Not beside the storing thread, which
  // takes the faults off the decoder's path itself.
  PrefaultJob prefault{bits, layout.bits_bytes, layout.bits_bytes, layout.bits_bytes, false, false, 0};
  if (TwoCoresPay(layout.total_bytes)) {
    AdviseFreshBlock(bits, layout.bits_bytes);
    DecodeToBitmapTwoCores(input.bytes, input.size_bytes, layout, bits, window, kDecodeWindowBytes);
  } else {
    StartPrefault(&prefault);
    DecodeToBitmap(input.bytes, input.size_bytes, layout, bits, window, kDecodeWindowBytes);
  }
  FinishPrefault(&prefault);  // nothing of ours runs once the host hears of the picture
  if (progressCallback != nullptr && progressCallback(1, 1, lData) != 0) return 0;
  return 1;
}

// The blocks of one picture, all allocated and locked before any is handed
// over, so that a failure leaves the host with nothing. The decode window is
// the same size for every picture, and it needs no clearing: nothing it held
// before the decode reaches the bitmap.
struct PictureBlocks {
  BlockHandle info;
  BlockHandle bits;
  BlockHandle window;
  std::uint8_t* info_bytes;
  std::uint8_t* bits_bytes;
  std::uint8_t* window_bytes;
};

void FreeBlocks(PictureBlocks* blocks) {
  if (blocks->info != nullptr) FreeBlock(blocks->info);
  if (blocks->bits != nullptr) FreeBlock(blocks->bits);
  if (blocks->window != nullptr) FreeBlock(blocks->window);
  *blocks = PictureBlocks{};
}

bool AllocatePictureBlocks(const PictureLayout& layout, PictureBlocks* blocks) {
  *blocks = PictureBlocks{};
  blocks->info = AllocZeroedBlock(kInfoBlockBytes);
  blocks->bits = AllocZeroedBlock(layout.bits_bytes);
  blocks->window = AllocFixedBlock(kDecodeWindowBytes);
  if (blocks->info != nullptr && blocks->bits != nullptr && blocks->window != nullptr) {
    blocks->info_bytes = static_cast<std::uint8_t*>(LockBlock(blocks->info));
    blocks->bits_bytes = static_cast<std::uint8_t*>(LockBlock(blocks->bits));
    blocks->window_bytes = static_cast<std::uint8_t*>(LockBlock(blocks->window));
    if (blocks->info_bytes != nullptr && blocks->bits_bytes != nullptr && blocks->window_bytes != nullptr) {
      return true;
    }
  }
  FreeBlocks(blocks);
  return false;
}

int DecodeToHost(const Input& input, const PictureLayout& layout, SpiHandle* pHBInfo, SpiHandle* pHBm,
                 ProgressCallback progressCallback, SpiLong lData) {
  PictureBlocks blocks;
  if (!AllocatePictureBlocks(layout, &blocks)) return kSpiOutOfMemory;

  // From here on the two bitmap blocks are the host's, whatever happens.
  *pHBInfo = blocks.info;
  *pHBm = blocks.bits;
  FillBitmapHeader(blocks.info_bytes, layout.width, layout.height, static_cast<std::uint32_t>(layout.bits_bytes));
  const int complete =
      DecodeImage(input, blocks.bits_bytes, layout, blocks.window_bytes, progressCallback, lData);
  UnlockBlock(blocks.window);
  FreeBlock(blocks.window);
  return complete ? kSpiSuccess : kSpiAborted;
}

int PictureInfoFrom(HostBuffer buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo) {
  if (lpInfo == nullptr) return kSpiAborted;
  BlockHandle head_block = nullptr;
  const std::uint8_t* head = nullptr;
  const int loaded = LoadHead(buf, len, flag, &head_block, &head);
  if (loaded != kSpiSuccess) return loaded;
  // The size is told whatever the cap: only GetPicture refuses a picture
  // too large to hand over.
  ImageSize size{};
  PictureLayout layout{};
  const HeaderCheck check = PlanFromHeader(head, kHeaderBytes, &size, &layout);
  if (head_block != nullptr) FreeBlock(head_block);
  if (check != HeaderCheck::kOk && check != HeaderCheck::kTooLarge) return ResultOfCheck(check);
  *lpInfo = PictureInfo{};
  lpInfo->width = size.width;
  lpInfo->height = size.height;
  lpInfo->x_density = 1;
  lpInfo->y_density = 1;
  lpInfo->colorDepth = 24;
  lpInfo->hInfo = nullptr;
  return kSpiSuccess;
}

int PictureFrom(HostBuffer buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                ProgressCallback progressCallback, SpiLong lData) {
  if (pHBInfo == nullptr || pHBm == nullptr) return kSpiAborted;
  PictureLayout layout{};
  Input input{};
  const int loaded = LoadPicture(buf, len, flag, &layout, &input);
  if (loaded != kSpiSuccess) return loaded;
  const int result = DecodeToHost(input, layout, pHBInfo, pHBm, progressCallback, lData);
  ReleaseInput(&input);
  return result;
}

}  // namespace

}  // namespace kx

// The entry points reach the internals through this alone.
using namespace kx;

extern "C" int SPI_CALL GetPictureInfo(char* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo) {
  return PictureInfoFrom(HostBuffer{buf, false}, len, flag, lpInfo);
}

extern "C" int SPI_CALL GetPictureInfoW(const SpiWchar* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo) {
  return PictureInfoFrom(HostBuffer{buf, true}, len, flag, lpInfo);
}

extern "C" int SPI_CALL GetPicture(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                                   ProgressCallback progressCallback, SpiLong lData) {
  return PictureFrom(HostBuffer{buf, false}, len, flag, pHBInfo, pHBm, progressCallback, lData);
}

extern "C" int SPI_CALL GetPictureW(const SpiWchar* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo,
                                    SpiHandle* pHBm, ProgressCallback progressCallback, SpiLong lData) {
  return PictureFrom(HostBuffer{buf, true}, len, flag, pHBInfo, pHBm, progressCallback, lData);
}
