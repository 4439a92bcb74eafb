// What the desktop loaders (gdk-pixbuf, Qt) share: how they judge a
// header, the words they refuse one with, and the buffer they gather the
// input in. This is the loaders' policy, not the codec's: the plug-in's
// cap on the picture (PlanPicture), its header test (the signature and a
// size above 0, so that every picture the plug-in hands a viewer loads the
// same), the plug-in's decode window, and never more input than a stream
// for the picture can use.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/format/bitmap.h"
#include "codec/format/kx_format.h"

// The window the loaders decode through: the plug-in's, whose size was
// measured (codec/decode/fast_decode.h).
inline constexpr std::size_t kLoaderWindowBytes = kx::kDecodeWindowBytes;

enum class HeaderVerdict {
  kOk,
  kNoHeader,  // fewer than 16 bytes
  kNotKx,     // no "KX" signature
  kNoPixels,  // a width or height of 0 or less
  kTooLarge,  // the picture would exceed kMaxPictureBytes
};

struct HeaderFacts {
  HeaderVerdict verdict;
  kx::ImageSize size;             // as the header states it, when there is one
  kx::PictureLayout layout;       // when kOk
  std::size_t input_bound_bytes;  // when kOk: the header and the most stream the picture can use
};

// Judges the first head_bytes bytes of an input (only the first 16 are
// read, and none when there are fewer).
HeaderFacts JudgeHeader(const std::uint8_t* head, std::size_t head_bytes);

// The reason for a refusal as one line of UTF-8, e.g. "KX image too large
// (40000 × 30000)", zero-terminated in text[0, text_bytes) and cut to fit.
void DescribeRefusal(const HeaderFacts& facts, char* text, std::size_t text_bytes);

// Input gathered in pieces, never more than limit_bytes of it: what would
// go past the limit is dropped. The memory comes from the caller's
// allocator (GLib's g_try_realloc, the C library's realloc), which gives
// null on failure instead of ending the process.
using ReallocFn = void* (*)(void* block, std::size_t bytes);
using FreeFn = void (*)(void* block);

struct InputBuffer {
  std::uint8_t* bytes;
  std::size_t size_bytes;
  std::size_t capacity_bytes;
  std::size_t limit_bytes;
  ReallocFn realloc_block;
  FreeFn free_block;
};

InputBuffer StartInput(std::size_t limit_bytes, ReallocFn realloc_block, FreeFn free_block);

// Room for up to want_bytes more bytes at the end, never past the limit:
// *room_bytes of them (0 when the buffer is full) at *room. The buffer
// grows as needed, at least doubling, so that gathering a file in small
// pieces copies it a bounded number of times. False only when an
// allocation failed (the bytes kept so far stay). Fill some of the room,
// then CommitInput.
bool InputRoom(InputBuffer* input, std::size_t want_bytes, std::uint8_t** room, std::size_t* room_bytes);
void CommitInput(InputBuffer* input, std::size_t bytes);

// Keeps what fits of bytes[0, n). False only when an allocation failed.
bool AppendInput(InputBuffer* input, const std::uint8_t* bytes, std::size_t n);

bool InputFull(const InputBuffer& input);
void FreeInput(InputBuffer* input);

// Decodes the input into top-down RGB rows of stride_bytes at `pixels`
// (what DecodeToRgbRows does), with the pages of a large picture faulted
// in by a second thread from the bottom row up while the decoder writes
// from the top, as the plug-in does for its bitmaps; the thread has ended
// when this returns. The rows are fresh memory of the toolkit's, and
// their first touch costs about as much as decoding a flat picture.
void DecodeRgbPicture(const InputBuffer& input, const kx::PictureLayout& layout, std::uint8_t* pixels,
                      std::size_t stride_bytes, std::uint8_t* window);
