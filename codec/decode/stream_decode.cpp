#include "codec/decode/stream_decode.h"

#include <cassert>
#include <cstring>

#include "codec/decode/group_decode_kernel.h"
#include "codec/decode/window_layout.h"
#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"

namespace kx {

namespace {

using groups::CopyMatch;

std::size_t Offset(const StreamState& s) { return static_cast<std::size_t>(s.op - s.window); }
std::size_t BytesLeft(const StreamState& s) { return s.end_offset - Offset(s); }
std::size_t RoomBytes(const StreamState& s) { return s.window_bytes - Offset(s); }

void Flush(StreamState* s) {
  const auto n = static_cast<std::size_t>(s->op - s->flushed);
  WriteRows(&s->rows, s->flushed, n);
  s->stored_bytes += n;
  s->flushed = s->op;
}

// Stores what is pending and moves the last kHistoryBytes to the front.
// Called only with less than kFastRoomBytes of window left, so op is at
// least 2 x kHistoryBytes in and the two ranges are apart.
void Slide(StreamState* s) {
  assert(Offset(*s) >= 2 * kHistoryBytes);
  assert(s->end_offset >= Offset(*s));  // nothing was written past the picture's end
  Flush(s);
  const std::size_t moved_bytes = Offset(*s) - kHistoryBytes;
  std::memcpy(s->window, s->op - kHistoryBytes, kHistoryBytes);
  s->end_offset -= moved_bytes;
  s->op = s->window + kHistoryBytes;
  s->flushed = s->op;
  assert(RoomBytes(*s) >= kFastRoomBytes);  // one unchecked group fits after a slide
}

void MakeCarefulRoom(StreamState* s) {
  if (RoomBytes(*s) < kCarefulRoomBytes) Slide(s);
  assert(RoomBytes(*s) >= kCarefulRoomBytes);  // room for the longest copy and its wild bytes
}

// A copy whose bytes are all there, cut at the picture's end.
void Copy(StreamState* s, unsigned b, unsigned c, unsigned d) {
  const CopyToken copy = DecodeCopy(ClassifyControl(b), b, c, d);
  const std::size_t left_bytes = BytesLeft(*s);
  s->op = CopyMatch(s->op, copy.distance, copy.length < left_bytes ? copy.length : left_bytes);
}

// Moves what the literal run in progress still expects, as far as the input
// and the picture go. The run's token ends when it has all its bytes or the
// picture is full (a run cut at the picture's end drops the rest); with
// run_left still above 0 the input ran out first.
const std::uint8_t* ContinueRun(StreamState* s, const std::uint8_t* ip, const std::uint8_t* ip_end) {
  std::size_t n = s->run_left;
  const auto input_bytes = static_cast<std::size_t>(ip_end - ip);
  const std::size_t left_bytes = BytesLeft(*s);
  if (n > input_bytes) n = input_bytes;
  if (n > left_bytes) n = left_bytes;
  std::memcpy(s->op, ip, n);
  s->op += n;
  s->run_left = BytesLeft(*s) == 0 ? 0 : s->run_left - n;
  return ip + n;
}

// Whether the unchecked groups may run from a group boundary at ip: the
// piece holds a whole group's worst case, and no group can reach the
// picture's end.
bool GroupsMayRun(const StreamState& s, const std::uint8_t* ip, const std::uint8_t* ip_end) {
  return static_cast<std::size_t>(ip_end - ip) >= kFastInputBytes && BytesLeft(s) >= kMaxGroupOutputBytes;
}

// Token by token with every stop rule of the stream. Returns when the input
// is used up (keeping a token the piece cut in two), when the picture is
// full, or, at a group boundary from which GroupsMayRun, to hand over to the
// unchecked groups. Input is read exactly; output may be written up to
// kWildBytes past the last token, inside the window.
const std::uint8_t* DecodeTokens(StreamState* s, const std::uint8_t* ip, const std::uint8_t* const ip_end) {
  std::uint32_t flags = s->flags;
  for (;;) {
    if (BytesLeft(*s) == 0) {
      s->full = true;
      break;
    }
    if ((flags & kFlagsLeft) == 0) {
      if (ip >= ip_end || GroupsMayRun(*s, ip, ip_end)) break;
      flags = *ip++ | kFlagLoadMark;
    }
    if (ip >= ip_end) break;
    MakeCarefulRoom(s);
    if ((flags & kCurrentFlag) == 0) {
      *s->op++ = *ip++;
    } else {
      const unsigned b = *ip++;
      const TokenForm form = ClassifyControl(b);
      if (form == TokenForm::kLiteralRun) {
        s->run_left = RunLength(b);
        ip = ContinueRun(s, ip, ip_end);
        if (s->run_left > 0) break;  // the rest comes with the next piece
      } else {
        const unsigned operand_bytes = OperandBytes(form);
        const auto input_bytes = static_cast<std::size_t>(ip_end - ip);
        if (input_bytes < operand_bytes) {
          // A copy missing c or d writes nothing until they come.
          s->token[0] = static_cast<std::uint8_t>(b);
          s->token[1] = input_bytes > 0 ? ip[0] : 0;
          s->token_bytes = static_cast<std::uint8_t>(1 + input_bytes);
          ip = ip_end;
          break;
        }
        const unsigned c = operand_bytes > 0 ? ip[0] : 0u;
        const unsigned d = operand_bytes > 1 ? ip[1] : 0u;
        ip += operand_bytes;
        Copy(s, b, c, d);
      }
    }
    flags <<= 1;
  }
  s->flags = flags;
  return ip;
}

// Completes the token the last piece cut in two, if any. Returns with
// run_left or token_bytes still set when this piece did not complete it
// either.
const std::uint8_t* ResumeToken(StreamState* s, const std::uint8_t* ip, const std::uint8_t* ip_end) {
  if (s->run_left > 0) {
    MakeCarefulRoom(s);
    ip = ContinueRun(s, ip, ip_end);
    if (s->run_left == 0) s->flags <<= 1;
    return ip;
  }
  if (s->token_bytes > 0) {
    const unsigned b = s->token[0];
    const unsigned need_bytes = 1 + OperandBytes(ClassifyControl(b));
    std::uint8_t bytes[3] = {s->token[0], s->token[1], 0};
    unsigned have_bytes = s->token_bytes;
    while (have_bytes < need_bytes && ip < ip_end) bytes[have_bytes++] = *ip++;
    if (have_bytes < need_bytes) {
      s->token[1] = bytes[1];
      s->token_bytes = static_cast<std::uint8_t>(have_bytes);
      return ip;
    }
    s->token_bytes = 0;
    MakeCarefulRoom(s);
    Copy(s, b, bytes[1], bytes[2]);
    s->flags <<= 1;
  }
  return ip;
}

// Whole groups without a stop rule inside, from a group boundary at which
// GroupsMayRun, for as long as it does. Returns at a group boundary.
const std::uint8_t* DecodeGroups(StreamState* s, const std::uint8_t* ip, const std::uint8_t* const ip_end) {
  while (GroupsMayRun(*s, ip, ip_end)) {
    if (RoomBytes(*s) < kFastRoomBytes) Slide(s);
    if (s->op - s->flushed >= static_cast<std::ptrdiff_t>(kFlushBytes)) Flush(s);
    GroupSpan span = UncheckedGroupSpan(ip, ip_end, s->window, s->window_bytes, s->op, s->flushed,
                                        s->end_offset);
    s->groups(&span);
    ip = span.ip;
    s->op = span.op;
  }
  s->flags = 0;
  return ip;
}

}  // namespace

void StartStream(StreamState* s, std::uint8_t* window, std::size_t window_bytes, std::size_t total_bytes,
                 const RowWriter& rows, GroupsFn groups) {
  assert(window_bytes >= kMinDecodeWindowBytes);
  *s = StreamState{};
  s->rows = rows;
  s->groups = groups;
  s->window = window;
  s->window_bytes = window_bytes;
  s->op = window + kHistoryBytes;
  s->flushed = s->op;
  s->end_offset = kHistoryBytes + total_bytes;
  s->total_bytes = total_bytes;
  s->header_left = kHeaderBytes;
  s->full = total_bytes == 0;
  std::memset(window, 0, kHistoryBytes);
}

void PushStream(StreamState* s, const std::uint8_t* bytes, std::size_t byte_count) {
  if (s->finished || s->full) return;
  const std::uint8_t* ip = bytes;
  const std::uint8_t* const ip_end = bytes + byte_count;
  const std::size_t skip_bytes = byte_count < s->header_left ? byte_count : s->header_left;
  ip += skip_bytes;
  s->header_left -= skip_bytes;
  if (ip < ip_end) ip = ResumeToken(s, ip, ip_end);
  // DecodeTokens returns with input left only to hand over to the groups,
  // and the groups always take at least one: every turn moves on.
  while (ip < ip_end && s->run_left == 0 && s->token_bytes == 0 && !s->full) {
    ip = DecodeTokens(s, ip, ip_end);
    if (ip < ip_end && !s->full) ip = DecodeGroups(s, ip, ip_end);
  }
  if (BytesLeft(*s) == 0) s->full = true;
  Flush(s);
}

void FinishStream(StreamState* s) {
  if (s->finished) return;
  s->finished = true;
  Flush(s);
  const std::size_t left_bytes = BytesLeft(*s);
  s->produced_bytes = s->total_bytes - left_bytes;
  // What the stream did not produce is zero before the delta step.
  const std::size_t zero_bytes = left_bytes < s->window_bytes ? left_bytes : s->window_bytes;
  std::memset(s->window, 0, zero_bytes);
  for (std::size_t k = left_bytes; k > 0;) {
    const std::size_t n = k < zero_bytes ? k : zero_bytes;
    WriteRows(&s->rows, s->window, n);
    s->stored_bytes += n;
    k -= n;
  }
  s->op = s->window;
  s->flushed = s->window;
  s->end_offset = 0;
  s->full = true;
}

std::size_t StoredRows(const StreamState& s) { return s.stored_bytes / s.rows.row_bytes; }

}  // namespace kx
