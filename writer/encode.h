// Writer of KX files: the inverse of DecompressPixels.
//
// Raw top-down pixels go in, a whole KX file (header and stream) comes out.
// With the delta step on, every byte first becomes its difference from the
// byte 3 before it, over the whole picture and across row ends, so that
// smooth areas turn into runs of small repeating values. The result is then
// parsed LZ77-style into the stream's token forms: single literals, literal
// runs of 9 to 40 bytes, short, medium and long copies (the long ones also in
// their 1024- and 4096-byte forms), reaching back at most 16,384 bytes.
//
// The picture's bytes are parsed in stretches of kEncodeStretchBytes. Each
// stretch's tokens start at its first byte and end exactly at its last one;
// its copies may still reach into the stretches before it. So the stretches
// can be parsed independently and in any order, and a layer above this one
// may parse them on several threads (EncodeStretch, AppendStretch): the file
// is byte for byte the one EncodeImage writes, whatever the number of
// threads.
//
// Guarantees, for any pixels:
//   - DecompressPixels of the file gives back exactly the pixels, and reports
//     the picture complete;
//   - no copy reaches before the first output byte and no token reaches past
//     the last one, so a reader that checks neither decodes the file safely;
//   - the file is never longer than EncodeBoundBytes(width, height);
//   - the only memory used is the caller's: `work` and `dst` (and `out` for
//     a stretch). The fast level stores a few bytes ahead of the stream as it
//     goes, so bytes of dst after the file (of out after the stretch's
//     stream) may be overwritten, never beyond EncodeBoundBytes (for out,
//     EncodeStretchBoundBytes()).
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

// Levels trade time for size.
//   1    fast: one probe of a table of 4-byte values and one of a table of
//        2-byte values per position (for short copies), no chains; the
//        token is chosen and written without branches on what matched,
//        literals wait until the next copy, and it steps over
//        incompressible bytes ever faster.
//   2-6  greedy: the best match found at a position is taken at once. The
//        last earlier positions with the same 3 and the same 4 bytes are
//        looked at, and 4, 8, 16, 24 or 32 entries of a hash chain keyed on
//        8 bytes.
//   7-8  lazy: a match shorter than 32 (64) bytes is first weighed against
//        the best one at the next position; 32 (128) chain entries.
//   9    optimal: the tokens of each 8 KiB are chosen by their exact cost in
//        bytes, as the cheapest path through every literal, literal run and
//        copy the match finder offers there (128 entries of a chain
//        keyed on 4 bytes per position, and the nearest position with the
//        same 3 bytes, from a chain keyed on them); a match of 128 bytes or
//        more is taken at once.
// On a 2560 x 1600 photograph (one core of the build machine, optimised
// build) level 1 runs at about 220 MB/s of pixels, the default at 60 MB/s
// and level 9 at 2 MB/s; level 9's file is about 32% smaller than level
// 1's and 8% smaller than the default's.
// Levels outside 1..9 act as the nearest one.
inline constexpr int kMinEncodeLevel = 1;
inline constexpr int kMaxEncodeLevel = 9;
inline constexpr int kDefaultEncodeLevel = 6;

// Decode speed trades file bytes for fewer tokens, which the decoder pays
// for one by one (docs/benchmarks.md has the measured cost model and the
// frontier). 0 parses for size alone, as the levels do; 1 to
// kMaxDecodeSpeed run the optimal parse (level 9's search and writing time,
// whatever the level) with every token priced at its bits plus a number
// of bits for each nanosecond the decoder spends on it that grows with
// decode_speed (writer/encode_internal.h). Values outside
// 0..kMaxDecodeSpeed act as the nearest one.
inline constexpr int kMaxDecodeSpeed = 9;

struct EncodeOptions {
  int level = kDefaultEncodeLevel;
  // On: coding byte 0x83, the form every reader accepts. Off: coding byte
  // 0x03 and no delta step; readers' recognition tests refuse such files, so
  // this is for testing decoders only.
  bool delta = true;
  int decode_speed = 0;
};

// The stretch a picture's bytes are parsed in. Fixed, so that a file does
// not depend on how many threads wrote it.
inline constexpr std::size_t kEncodeStretchBytes = std::size_t{256} * 1024;

// The largest file EncodeImage can write for a width x height picture,
// header included; 0 when width or height is outside 1..8192. Computed in
// 64-bit arithmetic, so it cannot overflow; the largest value (8192 x 8192)
// is below 2^28.
std::size_t EncodeBoundBytes(std::int32_t width, std::int32_t height);

// The work memory EncodeImage and EncodeStretch need, in bytes. It does not
// depend on the picture's size. No alignment is required.
std::size_t EncodeWorkBytes(const EncodeOptions& options);

// Encodes `pixels` (height rows of 3 x width bytes, top row first, no gaps,
// bytes in the order the file stores them: blue, green, red) into a whole KX
// file at dst. Returns the file's length in bytes, or 0 when width or height
// is outside 1..8192, any pointer is null, or dst_capacity is below
// EncodeBoundBytes(width, height). `work` must hold EncodeWorkBytes(options)
// bytes; its contents on entry do not matter. None of the three buffers may
// overlap.
std::size_t EncodeImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                        const EncodeOptions& options, std::uint8_t* work, std::uint8_t* dst, std::size_t dst_capacity);

// ---- Stretch by stretch, for callers that spread the work over threads.
//
// EncodeImage(...) writes exactly what this sequence writes:
//   WriteEncodeHeader(width, height, options, dst);
//   StreamJoin join = StartStream();
//   for index in 0 .. EncodeStretchCount(width, height) - 1, in order:
//     EncodedStretch s = EncodeStretch(..., index, work, out, EncodeStretchBoundBytes());
//     AppendStretch(&join, out, s, dst);
//   file length = join.at
// where the EncodeStretch calls may run in any order and at once (each with
// its own work and out), and only the AppendStretch calls go in order.

// Stretches of a width x height picture; 0 when the size is outside 1..8192.
std::size_t EncodeStretchCount(std::int32_t width, std::int32_t height);

// Room one stretch's stream can take: kEncodeStretchBytes and one byte in 8.
std::size_t EncodeStretchBoundBytes();

// Writes the 16-byte header at dst.
void WriteEncodeHeader(std::int32_t width, std::int32_t height, const EncodeOptions& options, std::uint8_t* dst);

// One stretch's stream, as if it were a stream of its own: flag groups
// counted from its first token.
struct EncodedStretch {
  std::size_t bytes;  // 0 on refusal (bad arguments)
  std::size_t tokens;
  std::size_t last_flag_at;  // where the last flag byte is, from the start
};

// Parses stretch `index` of the picture into `out`. Reads pixels of this
// stretch and the 16,387 bytes before it; the stream is out[0 .. bytes),
// and out[bytes .. EncodeStretchBoundBytes()) may have been overwritten.
// Refuses (bytes = 0) the same arguments EncodeImage refuses, an index
// beyond the last stretch and an out_capacity below
// EncodeStretchBoundBytes().
EncodedStretch EncodeStretch(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                             const EncodeOptions& options, std::size_t index, std::uint8_t* work, std::uint8_t* out,
                             std::size_t out_capacity);

// Where the stream in progress stands: the next byte, the tokens so far,
// and the flag byte of the group they left open.
struct StreamJoin {
  std::size_t at;
  std::size_t tokens;
  std::size_t flag_at;
};

StreamJoin StartStream();

// Appends an encoded stretch to the stream at dst, regrouping its tokens
// behind flag bytes when the stream so far has left a group open. Writes
// dst[join->at .. join->at + encoded.bytes) at most (regrouped, the tokens
// never need more flag bytes than before), and the open flag byte. Reads
// stretch[0 .. encoded.bytes).
void AppendStretch(StreamJoin* join, const std::uint8_t* stretch, const EncodedStretch& encoded, std::uint8_t* dst);

}  // namespace kx
