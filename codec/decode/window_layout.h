// How the decoders that work through a window (fast_decode.cpp, whole files;
// stream_decode.cpp, files in pieces) lay it out and when they slide it.
// One set of numbers for both: the two must agree on what a copy can reach
// and on the room a token needs, or a split would change the pixels.
#pragma once

#include <cassert>
#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/decode/group_decode.h"
#include "codec/format/kx_stream.h"

namespace kx {

// Window layout: [0, kHistoryBytes) holds the bytes just before the output
// position (zeros before the first output byte, which is what a copy reaching
// before the start reads), then the bytes decoded since, then room.
inline constexpr std::size_t kHistoryBytes = kMaxDistance;

inline constexpr std::size_t kMaxTokenOutputBytes = kMaxCopyBytes;
static_assert(kMaxRunBytes <= kMaxTokenOutputBytes, "");

// Token by token near the ends, a slide makes room for the longest copy.
inline constexpr std::size_t kCarefulRoomBytes = kMaxTokenOutputBytes + kWildBytes;

// Finished bytes go to the rows every 16 KiB, while they are still in the
// first-level cache of small machines. (On the machine measured, with
// 2 MiB of second-level cache, every size from 4 to 128 KiB gave the same
// times within the noise.)
inline constexpr std::size_t kFlushBytes = std::size_t{16} << 10;

// A slide happens only once less than kFastRoomBytes (or kCarefulRoomBytes)
// of window is left, so the history it moves lies wholly after the place it
// moves to, and one unchecked group fits after it.
static_assert(kMinDecodeWindowBytes >= 2 * kHistoryBytes + kFastRoomBytes, "slides never overlap");
static_assert(kCarefulRoomBytes <= kFastRoomBytes, "");
static_assert(kDecodeWindowBytes >= kMinDecodeWindowBytes && kDecodeWindowBytes <= (std::size_t{1} << 20),
              "the window stays within the 1 MiB budget");

// Where whole groups run unchecked from ip and op: while op stays at or
// below the lowest of three limits (the picture's end, the window's end, the
// next flush) and ip at or below the input's limit. Both decoders take their
// spans here, so that the rule every unchecked read and write rests on is
// written once. The caller has seen each limit lie at or after the current
// position (so at least one group runs) and kHistoryBytes of window before op.
inline GroupSpan UncheckedGroupSpan(const std::uint8_t* ip, const std::uint8_t* ip_end, std::uint8_t* window,
                                    std::size_t window_bytes, std::uint8_t* op, const std::uint8_t* flushed,
                                    std::size_t end_offset) {
  std::size_t last_offset = end_offset - kMaxGroupOutputBytes;
  const std::size_t room_offset = window_bytes - kFastRoomBytes;
  if (room_offset < last_offset) last_offset = room_offset;
  const std::size_t flush_offset = static_cast<std::size_t>(flushed - window) + kFlushBytes;
  if (flush_offset < last_offset) last_offset = flush_offset;
  const GroupSpan span{ip, op, ip_end - kFastInputBytes, window + last_offset};
  // What GroupSpan asks for: reads stay inside the input; copies reach no
  // further back than the window's start, and writes, wild bytes included,
  // no further than its end; and no group reaches the picture's end.
  assert(span.ip <= span.ip_last && span.op <= span.op_last);
  assert(static_cast<std::size_t>(op - window) >= kHistoryBytes);
  assert(window_bytes - last_offset >= kFastRoomBytes);
  assert(last_offset + kMaxGroupOutputBytes <= end_offset);
  return span;
}

}  // namespace kx
