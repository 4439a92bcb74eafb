#include "desktop/common/kx_picture.h"

#include <cstdio>
#include <cstring>

#include "codec/format/stream_bound.h"
#include "platform/platform.h"

using namespace kx;

namespace {

// The first allocation when the caller knows nothing of the input's size.
constexpr std::size_t kFirstInputBytes = std::size_t{64} << 10;

}  // namespace

HeaderFacts JudgeHeader(const std::uint8_t* head, std::size_t head_bytes) {
  HeaderFacts facts{};
  if (head_bytes < kHeaderBytes) {
    facts.verdict = HeaderVerdict::kNoHeader;
    return facts;
  }
  if (!HasSignature(head)) {
    facts.verdict = HeaderVerdict::kNotKx;
    return facts;
  }
  facts.size = ReadImageSize(head);
  switch (PlanPicture(facts.size.width, facts.size.height, &facts.layout)) {
    case LayoutStatus::kEmpty: facts.verdict = HeaderVerdict::kNoPixels; return facts;
    case LayoutStatus::kTooLarge: facts.verdict = HeaderVerdict::kTooLarge; return facts;
    case LayoutStatus::kOk: break;
  }
  facts.verdict = HeaderVerdict::kOk;
  facts.input_bound_bytes = kHeaderBytes + MaxStreamBytes(facts.layout.total_bytes);
  return facts;
}

void DescribeRefusal(const HeaderFacts& facts, char* text, std::size_t text_bytes) {
  if (text_bytes == 0) return;
  const int width = facts.size.width;
  const int height = facts.size.height;
  switch (facts.verdict) {
    case HeaderVerdict::kNoHeader:
      std::snprintf(text, text_bytes, "Not a KX image (shorter than its 16-byte header)");
      break;
    case HeaderVerdict::kNotKx: std::snprintf(text, text_bytes, "Not a KX image"); break;
    case HeaderVerdict::kNoPixels:
      std::snprintf(text, text_bytes, "KX image has no pixels (%d \u00d7 %d)", width, height);
      break;
    case HeaderVerdict::kTooLarge:
      std::snprintf(text, text_bytes, "KX image too large (%d \u00d7 %d)", width, height);
      break;
    case HeaderVerdict::kOk: text[0] = '\0'; break;
  }
}

InputBuffer StartInput(std::size_t limit_bytes, ReallocFn realloc_block, FreeFn free_block) {
  InputBuffer input{};
  input.limit_bytes = limit_bytes;
  input.realloc_block = realloc_block;
  input.free_block = free_block;
  return input;
}

bool InputRoom(InputBuffer* input, std::size_t want_bytes, std::uint8_t** room, std::size_t* room_bytes) {
  const std::size_t left_bytes = input->limit_bytes - input->size_bytes;
  const std::size_t wanted = want_bytes < left_bytes ? want_bytes : left_bytes;
  *room = nullptr;
  *room_bytes = 0;
  if (wanted == 0) return true;
  if (input->capacity_bytes - input->size_bytes < wanted) {
    // Neither sum can overflow: both terms are at most limit_bytes, which
    // comes from a picture under kMaxPictureBytes.
    std::size_t capacity = input->capacity_bytes == 0 ? kFirstInputBytes : 2 * input->capacity_bytes;
    if (capacity < input->size_bytes + wanted) capacity = input->size_bytes + wanted;
    if (capacity > input->limit_bytes) capacity = input->limit_bytes;
    void* const grown = input->realloc_block(input->bytes, capacity);
    if (grown == nullptr) return false;
    input->bytes = static_cast<std::uint8_t*>(grown);
    input->capacity_bytes = capacity;
  }
  *room = input->bytes + input->size_bytes;
  *room_bytes = wanted;
  return true;
}

void CommitInput(InputBuffer* input, std::size_t bytes) { input->size_bytes += bytes; }

bool AppendInput(InputBuffer* input, const std::uint8_t* bytes, std::size_t n) {
  std::uint8_t* room = nullptr;
  std::size_t room_bytes = 0;
  if (!InputRoom(input, n, &room, &room_bytes)) return false;
  if (room_bytes > 0) std::memcpy(room, bytes, room_bytes);
  CommitInput(input, room_bytes);
  return true;
}

bool InputFull(const InputBuffer& input) { return input.size_bytes == input.limit_bytes; }

void FreeInput(InputBuffer* input) {
  if (input->bytes != nullptr) input->free_block(input->bytes);
  input->bytes = nullptr;
  input->size_bytes = 0;
  input->capacity_bytes = 0;
}

void DecodeRgbPicture(const InputBuffer& input, const PictureLayout& layout, std::uint8_t* pixels,
                      std::size_t stride_bytes, std::uint8_t* window) {
  // The last row may be as short as its pixels (gdk-pixbuf does not pad
  // it), so the thread touches no further than the last row's last pixel.
  const auto height = static_cast<std::size_t>(layout.height);
  const std::size_t rows_bytes = stride_bytes * (height - 1) + layout.row_bytes;
  PrefaultJob prefault{pixels, rows_bytes, true, false, 0};
  StartPrefault(&prefault);
  DecodeToRgbRows(input.bytes, input.size_bytes, layout, pixels, stride_bytes, window, kLoaderWindowBytes);
  FinishPrefault(&prefault);
}
