#include "desktop/common/kx_picture.h"

#include <cstdio>
#include <cstring>

namespace {

// The first allocation when the caller knows nothing of the input's size.
constexpr std::size_t kFirstInputBytes = std::size_t{64} << 10;

}  // namespace

HeaderFacts JudgeHeader(const std::uint8_t* head, std::size_t head_bytes) {
  HeaderFacts facts{};
  kx_info info = KX_INFO_INIT;
  const kx_result decoding = kx_probe(head, head_bytes, &info);
  facts.size = PictureSize{info.width, info.height};
  switch (decoding) {
    case KX_OK: break;
    case KX_ERR_TRUNCATED_HEADER: facts.verdict = HeaderVerdict::kNoHeader; return facts;
    case KX_ERR_NO_PIXELS: facts.verdict = HeaderVerdict::kNoPixels; return facts;
    case KX_ERR_TOO_LARGE: facts.verdict = HeaderVerdict::kTooLarge; return facts;
    default: facts.verdict = HeaderVerdict::kNotKx; return facts;
  }
  facts.verdict = HeaderVerdict::kOk;
  facts.layout = facts.size;
  // Below 302 MB for any picture under the cap: it fits a size_t.
  facts.input_bound_bytes = static_cast<std::size_t>(info.max_input_bytes);
  return facts;
}

bool PassesRecognition(const std::uint8_t* head, std::size_t head_bytes) {
  kx_info info = KX_INFO_INIT;
  kx_probe(head, head_bytes, &info);
  return info.recognition == KX_OK;
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

bool DecodeRgbPicture(const InputBuffer& input, const PictureSize& layout, std::uint8_t* pixels,
                      std::size_t stride_bytes, std::uint8_t* window) {
  const auto rows_bytes =
      static_cast<std::size_t>(kx_buffer_bytes(layout.width, layout.height, KX_LAYOUT_RGB, stride_bytes));
  return kx_decode_with_window(input.bytes, input.size_bytes, KX_LAYOUT_RGB, pixels, stride_bytes, rows_bytes, window,
                               kLoaderWindowBytes, nullptr) == KX_OK;
}
