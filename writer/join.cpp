// Stretches joined into one stream: each stretch's tokens regrouped behind
// the stream's flag bytes, so that a file written on several threads is
// byte for byte the one a single thread writes.
#include <cassert>
#include <cstring>

#include "writer/encode.h"
#include "writer/encode_internal.h"

namespace kx {

namespace writer {

namespace {

// The bytes of a token's body (its control byte and what follows), from
// its flag and first byte.
constexpr std::size_t ControlBodyBytes(unsigned b) {
  const TokenForm form = ClassifyControl(b);
  return 1 + (form == TokenForm::kLiteralRun ? RunLength(b) : OperandBytes(form));
}

struct BodyTable {
  std::uint8_t bytes[256];
};

constexpr BodyTable MakeBodyTable() {
  BodyTable t{};
  for (unsigned b = 0; b < 256; ++b) t.bytes[b] = static_cast<std::uint8_t>(ControlBodyBytes(b));
  return t;
}

constexpr BodyTable kControlBodies = MakeBodyTable();

std::size_t BodyBytes(bool flag, std::uint8_t b) { return flag ? kControlBodies.bytes[b] : 1; }

// Copies n bytes 16 at a time: reads and writes up to 15 bytes past n.
constexpr std::size_t kCopyStepBytes = 16;

// The bytes CopyInSteps writes for n, for the assertions on the bound (so
// unused where they are compiled out).
[[maybe_unused]] constexpr std::size_t StepsBytes(std::size_t n) {
  return (n + kCopyStepBytes - 1) / kCopyStepBytes * kCopyStepBytes;
}

void CopyInSteps(std::uint8_t* to, const std::uint8_t* from, std::size_t n) {
  for (std::size_t k = 0; k < n; k += kCopyStepBytes) std::memcpy(to + k, from + k, kCopyStepBytes);
}

}  // namespace

}  // namespace writer

using writer::BeginToken;
using writer::BodyBytes;
using writer::CloseGroup;
using writer::CopyInSteps;
using writer::kCopyStepBytes;
using writer::kTokensPerFlag;
using writer::StepsBytes;
using writer::TokenWriter;

StreamJoin StartStream() { return StreamJoin{kHeaderBytes, 0, 0}; }

void AppendStretch(StreamJoin* join, const std::uint8_t* stretch, const EncodedStretch& encoded, std::uint8_t* dst) {
  const unsigned phase = static_cast<unsigned>(join->tokens % kTokensPerFlag);
  if (phase == 0) {
    // The stream's groups line up with the stretch's: its bytes go as they are.
    std::memcpy(dst + join->at, stretch, encoded.bytes);
    join->flag_at = join->at + encoded.last_flag_at;
    join->at += encoded.bytes;
    join->tokens += encoded.tokens;
    return;
  }
  // Each whole group of the stretch splits the same way: its first 8 - phase
  // tokens fill the stream's open group, the other `phase` tokens start a
  // new one. Bodies lie in token order on both sides, so each part is one
  // copy.
  // The stream's bound here: regrouped, the tokens take as many bytes as
  // in the stretch.
  [[maybe_unused]] const std::size_t end_at = join->at + encoded.bytes;
  std::size_t at = join->at;
  std::size_t flag_at = join->flag_at;
  std::size_t from = 0;
  std::size_t left = encoded.tokens;
  const unsigned first_part = kTokensPerFlag - phase;
  for (; left > kTokensPerFlag; left -= kTokensPerFlag) {
    const unsigned flags = stretch[from++];
    // Eight single literals, the usual group in noisy pictures, need no
    // looking at.
    std::size_t first_bytes = first_part;
    std::size_t group_bytes = kTokensPerFlag;
    if (flags != 0) {
      group_bytes = 0;
      for (unsigned k = 0; k < kTokensPerFlag; ++k) {
        if (k == first_part) first_bytes = group_bytes;
        group_bytes += BodyBytes((flags & (0x80u >> k)) != 0, stretch[from + group_bytes]);
      }
    }
    dst[flag_at] = static_cast<std::uint8_t>(dst[flag_at] | (flags >> phase));
    const std::uint8_t* source = stretch + from;
    flag_at = at + first_bytes;
    if (from + group_bytes + kCopyStepBytes <= encoded.bytes) {
      // At least 16 more bytes follow in the stretch, and so in the stream:
      // the copies may run over into them.
      assert(at + StepsBytes(first_bytes) <= end_at);
      assert(flag_at + 1 + StepsBytes(group_bytes - first_bytes) <= end_at);
      CopyInSteps(dst + at, source, first_bytes);
      dst[flag_at] = static_cast<std::uint8_t>(flags << first_part);
      CopyInSteps(dst + flag_at + 1, source + first_bytes, group_bytes - first_bytes);
    } else {
      assert(flag_at + 1 + group_bytes - first_bytes <= end_at);
      std::memcpy(dst + at, source, first_bytes);
      dst[flag_at] = static_cast<std::uint8_t>(flags << first_part);
      std::memcpy(dst + flag_at + 1, source + first_bytes, group_bytes - first_bytes);
    }
    at = flag_at + 1 + group_bytes - first_bytes;
    from += group_bytes;
  }
  // The last group, which may be short, token by token.
  TokenWriter w{dst, at, flag_at, phase, dst[flag_at], join->tokens + encoded.tokens - left, join->at + encoded.bytes};
  while (left > 0) {
    const std::uint8_t flags = stretch[from++];
    const std::size_t group = left < kTokensPerFlag ? left : kTokensPerFlag;
    for (std::size_t k = 0; k < group; ++k) {
      const bool flag = (flags & (0x80u >> k)) != 0;
      const std::size_t body = BodyBytes(flag, stretch[from]);
      std::memcpy(BeginToken(&w, flag, body), stretch + from, body);
      from += body;
    }
    left -= group;
  }
  CloseGroup(&w);
  *join = StreamJoin{w.at, w.tokens, w.flag_at};
}

}  // namespace kx
