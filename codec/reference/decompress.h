// Decoder of the KX pixel stream (token forms: codec/format/kx_stream.h).
//
// Copies run one byte at a time with the position rising, so a distance below
// the length repeats a pattern. After the stream, a coding byte with bit 7 set
// asks for the delta step: each of the three byte lanes becomes a running sum
// over the whole picture, carried across row ends.
//
// Contract, for any input whatsoever:
//   - src is read only in [0, src_bytes); nothing after the token at which
//     out is full is read;
//   - out is written only in [0, total_bytes), and every byte there is written:
//     the caller need not clear it;
//   - nothing is ever read before out: a copy reaching before the first output
//     byte takes the missing bytes as zero;
//   - positions are size_t and compared with the limits before every step, so
//     no arithmetic can overflow whatever total_bytes the caller has room for.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/format/kx_stream.h"

namespace kx {

// Decodes the KX image `src` (header and stream, src_bytes bytes) into the raw
// top-down pixel bytes out[0, total_bytes). Bytes the stream does not produce
// are zero before the delta step. Returns how many bytes the stream itself
// produced: total_bytes when the picture is complete, less when it ended early.
// A src shorter than the header decodes nothing (and applies no delta unless
// its coding byte is present and asks for it).
std::size_t DecompressPixels(const std::uint8_t* src, std::size_t src_bytes, std::uint8_t* out,
                             std::size_t total_bytes);

// The delta step alone: out[p] += out[p - 3] for p from 3 up, modulo 256.
void UndoDelta(std::uint8_t* out, std::size_t total_bytes);

}  // namespace kx
