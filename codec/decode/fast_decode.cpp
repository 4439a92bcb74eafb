#include "codec/decode/fast_decode.h"

#include <cassert>
#include <cstring>

#include "codec/decode/delta.h"
#include "codec/decode/group_decode.h"
#include "codec/decode/group_decode_kernel.h"
#include "codec/decode/row_writer.h"
#include "codec/decode/window_layout.h"
#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"

namespace kx {

namespace {

using groups::CopyMatch;

// --- The decoder ------------------------------------------------------------

// The output side of a decode: the window, the output position in it, the
// first byte not yet stored, and where in the window the picture would end.
struct Output {
  std::uint8_t* window;
  std::size_t window_bytes;
  std::uint8_t* op;
  std::uint8_t* flushed;
  std::size_t end_offset;  // window offset of raw byte total_bytes; may lie past the window
  RowWriter* rows;
  const PieceSink* sink;  // null: the rows are written here, on the decoding thread
};

std::size_t Offset(const Output& out) { return static_cast<std::size_t>(out.op - out.window); }
std::size_t BytesLeft(const Output& out) { return out.end_offset - Offset(out); }

void Flush(Output* out) {
  const auto n = static_cast<std::size_t>(out->op - out->flushed);
  if (out->sink == nullptr) {
    WriteRows(out->rows, out->flushed, n);
  } else if (n > 0) {
    out->sink->hand_over(out->sink->context, out->flushed, n);
  }
  out->flushed = out->op;
}

// Returns once every finished byte is stored, so that the window may be
// written over: with a sink, another thread may still be reading them.
void Drain(const Output& out) {
  if (out.sink != nullptr) out.sink->drain(out.sink->context);
}

// What the unchecked groups may write after a flush before the next one:
// the flush's worth, then a last group and its wild bytes.
constexpr std::size_t kReachBytes = kFlushBytes + kFastRoomBytes;

// Returns once the window from the first unstored byte up to kReachBytes
// past it (or the window's end) holds nothing still to be stored, so that
// the groups may write there: only the part of the window about to be
// overwritten waits for the other thread, never the whole of it.
void Reclaim(const Output& out) {
  if (out.sink == nullptr) return;
  const auto begin = static_cast<std::size_t>(out.flushed - out.window);
  const std::size_t end = out.window_bytes - begin > kReachBytes ? begin + kReachBytes : out.window_bytes;
  out.sink->reclaim(out.sink->context, out.flushed, out.window + end);
}

// Stores what is pending and moves the last kHistoryBytes to the front.
// Called only with less than kFastRoomBytes of window left, so op is at
// least 2 x kHistoryBytes in and the two ranges are apart. The front is
// never part of a piece (pieces start after the history), so the copy needs
// no wait; what follows it is reclaimed before it is written: the next
// flush's reach by the unchecked groups, or, token by token (`careful`),
// the whole window, which they may fill without another flush.
void Slide(Output* out, bool careful) {
  // The history moved lies wholly after the front, and nothing was written
  // past the picture's end.
  assert(Offset(*out) >= 2 * kHistoryBytes);
  assert(out->end_offset >= Offset(*out));
  Flush(out);
  const std::size_t moved_bytes = Offset(*out) - kHistoryBytes;
  std::memcpy(out->window, out->op - kHistoryBytes, kHistoryBytes);
  out->end_offset -= moved_bytes;
  out->op = out->window + kHistoryBytes;
  out->flushed = out->op;
  if (careful) {
    Drain(*out);
  } else {
    Reclaim(*out);
  }
  assert(out->window_bytes - Offset(*out) >= kFastRoomBytes);  // one unchecked group fits after a slide
}

// Token by token with every stop rule of DecompressPixels, from a group
// boundary to the end. Input is read exactly; output may still be written
// up to kWildBytes past the last token, inside the window.
void DecodeCareful(const std::uint8_t* ip, const std::uint8_t* const ip_end, Output* out) {
  Drain(*out);  // tokens go on to the window's end without a flush
  std::uint32_t flags = 0;
  for (;;) {
    if (BytesLeft(*out) == 0) return;
    if ((flags & kFlagsLeft) == 0) flags = *ip++ | kFlagLoadMark;
    if (ip >= ip_end) return;
    if (out->window_bytes - Offset(*out) < kCarefulRoomBytes) Slide(out, true);
    assert(out->window_bytes - Offset(*out) >= kCarefulRoomBytes);  // room for the longest copy and its wild bytes
    const std::size_t left_bytes = BytesLeft(*out);
    std::uint8_t* op = out->op;
    if ((flags & kCurrentFlag) == 0) {
      *op++ = *ip++;
    } else {
      const unsigned b = *ip++;
      const TokenForm form = ClassifyControl(b);
      if (form == TokenForm::kLiteralRun) {
        const std::size_t input_bytes = static_cast<std::size_t>(ip_end - ip);
        std::size_t length = RunLength(b);
        if (length > input_bytes) length = input_bytes;
        if (length > left_bytes) length = left_bytes;
        std::memcpy(op, ip, length);
        ip += length;
        out->op = op + length;
        flags <<= 1;
        if (ip >= ip_end) return;
        continue;
      }
      const unsigned operand_bytes = OperandBytes(form);
      if (static_cast<std::size_t>(ip_end - ip) < operand_bytes) return;  // a copy missing c or d writes nothing
      const unsigned c = operand_bytes > 0 ? ip[0] : 0u;
      const unsigned d = operand_bytes > 1 ? ip[1] : 0u;
      ip += operand_bytes;
      const CopyToken copy = DecodeCopy(form, b, c, d);
      op = CopyMatch(op, copy.distance, copy.length < left_bytes ? copy.length : left_bytes);
    }
    out->op = op;
    flags <<= 1;
    if (ip >= ip_end) return;
  }
}

void DecodeStream(const std::uint8_t* src, std::size_t src_bytes, GroupsFn decode_groups, Output* out) {
  const std::uint8_t* ip = src + kHeaderBytes;
  const std::uint8_t* const ip_end = src + src_bytes;
  for (;;) {
    if (BytesLeft(*out) < kMaxGroupOutputBytes) break;
    if (static_cast<std::size_t>(ip_end - ip) < kFastInputBytes) break;
    if (out->window_bytes - Offset(*out) < kFastRoomBytes) Slide(out, false);
    if (out->op - out->flushed >= static_cast<std::ptrdiff_t>(kFlushBytes)) {
      Flush(out);
      Reclaim(*out);
    }
    GroupSpan span = UncheckedGroupSpan(ip, ip_end, out->window, out->window_bytes, out->op, out->flushed,
                                        out->end_offset);
    decode_groups(&span);
    ip = span.ip;
    out->op = span.op;
  }
  DecodeCareful(ip, ip_end, out);
}

}  // namespace

void DecodeGroupsPlain(GroupSpan* span) { groups::DecodeGroupsKernel(span); }

GroupsFn PickGroups(DeltaKernel kernel) {
#if defined(__i386__) || defined(__x86_64__)
  if (kernel == DeltaKernel::kScalar) return DecodeGroupsPlain;
  if ((kernel == DeltaKernel::kBest || kernel == DeltaKernel::kAvx2) && ProcessorHasAvx2()) {
    return kernel == DeltaKernel::kBest ? DecodeGroupsAvx2WhereLong : DecodeGroupsAvx2;
  }
  if (kernel != DeltaKernel::kSse2 && ProcessorHasSsse3()) return DecodeGroupsSsse3;
  return ProcessorHasSse2() ? DecodeGroupsSse2 : DecodeGroupsPlain;
#else
  static_cast<void>(kernel);
  return DecodeGroupsPlain;
#endif
}

std::size_t DecodeIntoRowsVia(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes, RowWriter* rows,
                              std::uint8_t* window, std::size_t window_bytes, DeltaKernel kernel,
                              const PieceSink* sink) {
  if (window_bytes < kMinDecodeWindowBytes) return 0;
  Output out{};
  out.window = window;
  out.window_bytes = window_bytes;
  out.op = window + kHistoryBytes;
  out.flushed = out.op;
  out.end_offset = kHistoryBytes + total_bytes;
  out.rows = rows;
  out.sink = sink;
  std::memset(window, 0, kHistoryBytes);

  if (src_bytes > kHeaderBytes) DecodeStream(src, src_bytes, PickGroups(kernel), &out);
  Flush(&out);
  Drain(out);
  const std::size_t left_bytes = BytesLeft(out);
  const std::size_t produced_bytes = total_bytes - left_bytes;

  // What the stream did not produce is zero before the delta step.
  const std::size_t zero_bytes = left_bytes < window_bytes ? left_bytes : window_bytes;
  std::memset(window, 0, zero_bytes);
  for (std::size_t k = left_bytes; k > 0;) {
    const std::size_t n = k < zero_bytes ? k : zero_bytes;
    WriteRows(rows, window, n);
    k -= n;
  }
  return produced_bytes;
}

std::size_t DecodeIntoRows(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                           const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes, DeltaKernel kernel) {
  RowWriter writer = rows;
  return DecodeIntoRowsVia(src, src_bytes, total_bytes, &writer, window, window_bytes, kernel, nullptr);
}

std::size_t DecodeToBitmap(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                           std::uint8_t* bits, std::uint8_t* window, std::size_t window_bytes, DeltaKernel kernel) {
  const DeltaFn delta = AsksForDelta(src, src_bytes) ? PickDelta(kernel) : nullptr;
  return DecodeIntoRows(src, src_bytes, layout.total_bytes, StartRows(layout, bits, delta), window, window_bytes,
                        kernel);
}

}  // namespace kx
