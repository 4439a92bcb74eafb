// Writer of KX files: the inverse of DecompressPixels.
//
// Raw top-down pixels go in, a whole KX file (header and stream) comes out.
// With the delta step on, every byte first becomes its difference from the
// byte 3 before it, over the whole picture and across row ends, so that
// smooth areas turn into runs of small repeating values. The result is then
// parsed LZ77-style into the stream's token forms: single literals, literal
// runs of 9 to 40 bytes, short, medium and long copies (the long ones also in
// their 1024- and 4096-byte forms), found by a hash-chain search over the
// last 16,384 bytes.
//
// Guarantees, for any pixels:
//   - DecompressPixels of the file gives back exactly the pixels, and reports
//     the picture complete;
//   - no copy reaches before the first output byte and no token reaches past
//     the last one, so a reader that checks neither decodes the file safely;
//   - the file is never longer than EncodeBoundBytes(width, height);
//   - the only memory used is the caller's: `work` and `dst`.
#pragma once

#include <cstddef>
#include <cstdint>

// Levels trade time for size; each one searches more candidates than the one
// before it.
//   1-4  greedy: the best match found at a position is taken at once.
//        1 follows 4 hash-chain entries, 2 follows 8, 3 follows 16, 4 follows 32.
//   5-9  lazy: before taking a match, the next position is searched too, and
//        a clearly better match there wins over the current one, which then
//        becomes a literal. 5 follows 32 entries, 6 follows 64, 7 follows 256,
//        8 follows 1024 and 9 follows 4096.
// On a 4-megapixel photograph (one core of the build machine, optimised
// build) level 1 takes about 0.15 s, the default 0.9 s and level 9 8 s;
// level 9's file is about 24% smaller than level 1's and 7% smaller than the
// default's.
// Levels outside 1..9 act as the nearest one.
inline constexpr int kMinEncodeLevel = 1;
inline constexpr int kMaxEncodeLevel = 9;
inline constexpr int kDefaultEncodeLevel = 6;

struct EncodeOptions {
  int level = kDefaultEncodeLevel;
  // On: coding byte 0x83, the form every reader accepts. Off: coding byte
  // 0x03 and no delta step; readers' recognition tests refuse such files, so
  // this is for testing decoders only.
  bool delta = true;
};

// The largest file EncodeImage can write for a width x height picture,
// header included; 0 when width or height is outside 1..8192. Computed in
// 64-bit arithmetic, so it cannot overflow; the largest value (8192 x 8192)
// is below 2^28.
std::size_t EncodeBoundBytes(std::int32_t width, std::int32_t height);

// The work memory EncodeImage needs, in bytes. It does not depend on the
// picture's size. No alignment is required.
std::size_t EncodeWorkBytes(const EncodeOptions& options);

// Encodes `pixels` (height rows of 3 x width bytes, top row first, no gaps,
// bytes in the order the file stores them: blue, green, red) into a whole KX
// file at dst. Returns the file's length in bytes, or 0 when width or height
// is outside 1..8192, any pointer is null, or dst_capacity is below
// EncodeBoundBytes(width, height). `work` must hold EncodeWorkBytes(options)
// bytes; its contents on entry do not matter. None of the three buffers may
// overlap.
std::size_t EncodeImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                        const EncodeOptions& options, std::uint8_t* work, std::uint8_t* dst,
                        std::size_t dst_capacity);
