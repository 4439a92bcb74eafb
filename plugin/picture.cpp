// Picture loading: GetPictureInfo and GetPicture.
//
// Every path either hands the host two complete blocks (results 0 and 8) or
// hands over nothing and leaves the host's slots untouched. Everything else
// the plug-in allocates or opens is released before the entry point returns.
#include "codec/bitmap.h"
#include "codec/fast_decode.h"
#include "codec/kx_format.h"
#include "platform/platform.h"
#include "plugin/spi.h"

namespace {

// How much of a file GetPictureInfo reads: the header and room to spare.
constexpr std::uint32_t kHeadBufferBytes = 2000;

// A whole input file, the stream included, must fit a signed 32-bit length.
constexpr std::int64_t kMaxInputBytes = 0x7FFFFFFF;

// The picture's bytes: either the host's memory or a block read from a file,
// which `owned` then holds.
struct Input {
  const std::uint8_t* bytes;
  std::size_t size_bytes;
  BlockHandle owned;
};

void ReleaseInput(Input* input) {
  if (input->owned != nullptr) FreeBlock(input->owned);
  input->owned = nullptr;
}

// Opens `name`, moves to `offset` and reads at most `max_bytes` from there
// into a fresh fixed block. Only the bytes actually read count. The file is
// closed right after the read, on every path.
int ReadFilePart(const char* name, SpiLong offset, std::int64_t max_bytes, Input* input) {
  FileHandle file = OpenForRead(name);
  if (file == InvalidFile()) return kSpiFileReadError;
  const std::int64_t file_bytes = FileBytes(file);
  int result = kSpiSuccess;
  BlockHandle block = nullptr;
  std::uint32_t read_bytes = 0;
  if (file_bytes < 0) {  // NOLINT(bugprone-branch-clone): distinct failures, one result code
    result = kSpiFileReadError;
  } else if (offset < 0 || file_bytes - offset < static_cast<std::int64_t>(kHeaderBytes)) {
    result = kSpiUnknownFormat;  // no whole header after the offset
  } else if (!SeekFile(file, static_cast<std::uint32_t>(offset))) {
    result = kSpiFileReadError;
  } else {
    const std::int64_t wanted_bytes = file_bytes - offset < max_bytes ? file_bytes - offset : max_bytes;
    if (wanted_bytes > kMaxInputBytes) {
      result = kSpiOutOfMemory;
    } else {
      block = AllocFixedBlock(static_cast<std::size_t>(wanted_bytes));
      if (block == nullptr) {
        result = kSpiOutOfMemory;
      } else {
        read_bytes = ReadBytes(file, block, static_cast<std::uint32_t>(wanted_bytes));
      }
    }
  }
  CloseFile(file);
  if (result != kSpiSuccess) return result;
  if (read_bytes < kHeaderBytes) {
    FreeBlock(block);
    return kSpiUnknownFormat;
  }
  *input = Input{static_cast<const std::uint8_t*>(block), read_bytes, block};
  return kSpiSuccess;
}

// The input of either mode. In file mode `len` is the offset of the picture
// in the file; in memory mode it is the number of bytes at `buf`, and nothing
// beyond them is read.
int LoadInput(char* buf, SpiLong len, SpiUint flag, std::int64_t max_file_bytes, Input* input) {
  if (buf == nullptr) return InputModeOf(flag) == InputMode::kFile ? kSpiFileReadError : kSpiUnknownFormat;
  if (InputModeOf(flag) == InputMode::kFile) return ReadFilePart(buf, len, max_file_bytes, input);
  if (len < static_cast<SpiLong>(kHeaderBytes)) return kSpiUnknownFormat;
  *input = Input{reinterpret_cast<const std::uint8_t*>(buf), static_cast<std::size_t>(len), nullptr};
  return kSpiSuccess;
}

// Decodes the picture into the locked bits block, with the window as the
// only work memory, and calls the progress callback once, when the whole
// picture is there. 1 when the picture is complete and the callback did not
// ask to stop, else 0.
int DecodeImage(const Input& input, std::uint8_t* bits, const PictureLayout& layout, std::uint8_t* window,
                ProgressCallback progressCallback, SpiLong lData) {
  DecodeToBitmap(input.bytes, input.size_bytes, layout, bits, window, kDecodeWindowBytes);
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

int DecodeToHost(const Input& input, SpiHandle* pHBInfo, SpiHandle* pHBm, ProgressCallback progressCallback,
                 SpiLong lData) {
  const ImageSize size = ReadImageSize(input.bytes);
  PictureLayout layout;
  switch (PlanPicture(size.width, size.height, &layout)) {
    case LayoutStatus::kEmpty: return kSpiUnknownFormat;
    case LayoutStatus::kTooLarge: return kSpiOutOfMemory;
    case LayoutStatus::kOk: break;
  }
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

}  // namespace

extern "C" int SPI_CALL GetPictureInfo(char* buf, SpiLong len, SpiUint flag, PictureInfo* lpInfo) {
  if (lpInfo == nullptr) return kSpiAborted;
  Input input{};
  const int loaded = LoadInput(buf, len, flag, kHeadBufferBytes, &input);
  if (loaded != kSpiSuccess) return loaded;
  // No recognition test: the host asked IsSupported first. A header that is
  // not a KX one is reported as it stands.
  const ImageSize size = ReadImageSize(input.bytes);
  ReleaseInput(&input);
  *lpInfo = PictureInfo{};
  lpInfo->width = size.width;
  lpInfo->height = size.height;
  lpInfo->x_density = 1;
  lpInfo->y_density = 1;
  lpInfo->colorDepth = 24;
  lpInfo->hInfo = nullptr;
  return kSpiSuccess;
}

extern "C" int SPI_CALL GetPicture(char* buf, SpiLong len, SpiUint flag, SpiHandle* pHBInfo, SpiHandle* pHBm,
                                   ProgressCallback progressCallback, SpiLong lData) {
  if (pHBInfo == nullptr || pHBm == nullptr) return kSpiAborted;
  Input input{};
  const int loaded = LoadInput(buf, len, flag, kMaxInputBytes, &input);
  if (loaded != kSpiSuccess) return loaded;
  const int result = DecodeToHost(input, pHBInfo, pHBm, progressCallback, lData);
  ReleaseInput(&input);
  return result;
}
