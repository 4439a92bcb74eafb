// How far into a KX stream the decoder can read before a picture of
// total_bytes raw bytes is complete: the input any reader needs to hold.
//
// Every token writes at least one byte while the picture is not complete,
// so the input a picture can use up is bounded by its output. Per token,
// input minus output is 0 for a literal, 1 for a literal run, and at most 0
// for a whole copy (1 byte for 2..4, 2 for 3..18, 3 for 3..4096); a copy cut
// at the end of the picture costs its whole 3 bytes however little it writes.
// Each group of eight tokens adds its flag byte. The most input is thus
// consumed by literals (9 bytes per 8 written) or runs of 9 (10 bytes plus an
// eighth of a flag byte per 9 written, the same ratio), ending with a long
// copy cut to the picture's last byte: total_bytes - 1 literals, one cut copy
// of 3 bytes, and a flag byte for every eight of those total_bytes tokens.
#pragma once

#include <cstddef>

#include "codec/format/kx_stream.h"

namespace kx {

// The most stream bytes (after the 16-byte header) the decoder reads before
// it stops with total_bytes written. Input beyond that is never read, so
// cutting any input there leaves the decoded picture unchanged; some streams
// read every byte of it. Exact for any total_bytes below SIZE_MAX / 2.
constexpr std::size_t MaxStreamBytes(std::size_t total_bytes) {
  if (total_bytes == 0) return 0;
  constexpr std::size_t kCutCopyExtraBytes = 2;  // 3 bytes read for 1 written
  return total_bytes + (total_bytes + kGroupTokens - 1) / kGroupTokens + kCutCopyExtraBytes;
}

}  // namespace kx
