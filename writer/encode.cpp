// The writer's entry points: the file's header and bounds, and each
// stretch's buffer and tables laid out in the work memory and handed to the
// parser of the level asked for.
#include "writer/encode.h"

#include <algorithm>
#include <cstring>

#include "writer/encode_internal.h"

namespace kx {

namespace writer {

namespace {

// Matches longer than 256 bytes are cut by the token forms into pieces of
// 4096, 1024 and 256 bytes, so looking on for them seldom pays.
//
// On photographs most of what copies save comes from matches of 8 bytes and
// more, which chains keyed on 8 bytes find in a few steps, and from the
// nearest earlier 3-byte value, which one table look-up finds. On a
// 2560 x 1600 photograph, greedy parsing with 16 chain steps made a 5%
// smaller file that way than with 4-byte chains, in 8% less time. The optimal parse wants the longest match within each
// distance its forms price apart, 4 to 7 bytes long too, so its chains are
// keyed on 4 bytes.
//
// The optimal parse takes a match of 128 bytes or more at once, but first
// looks on for a longer one (up to 4096 entries): on flat pictures the one
// 4096-byte copy found that way replaces sixteen 256-byte ones.
// clang-format off
constexpr LevelParams kLevels[kMaxEncodeLevel] = {
    {Parser::kFast, 4, 1, 0, 0, 0, 0},
    {Parser::kGreedy, 8, 4, 32, 0, 0, 0},
    {Parser::kGreedy, 8, 8, 64, 0, 0, 0},
    {Parser::kGreedy, 8, 16, 128, 0, 0, 0},
    {Parser::kGreedy, 8, 24, 128, 0, 0, 0},
    {Parser::kGreedy, 8, 32, 256, 0, 0, 0},
    {Parser::kLazy, 8, 32, 256, 32, 16, 0},
    {Parser::kLazy, 8, 128, 256, 64, 32, 0},
    {Parser::kOptimal, 4, 128, 128, 0, 0, 4096},
};
// clang-format on

// The optimal parse, for a decode speed above 0 whatever the level.
constexpr int kOptimalLevel = kMaxEncodeLevel;
static_assert(kLevels[kOptimalLevel - 1].parser == Parser::kOptimal,
              "the decode speeds price the optimal parse's tokens");

const LevelParams& ParamsFor(int level) {
  if (level < kMinEncodeLevel) level = kMinEncodeLevel;
  if (level > kMaxEncodeLevel) level = kMaxEncodeLevel;
  return kLevels[level - 1];
}

bool SizeInRange(std::int32_t width, std::int32_t height) {
  return width >= 1 && width <= kMaxDimension && height >= 1 && height <= kMaxDimension;
}

std::size_t TotalBytes(std::int32_t width, std::int32_t height) {
  return std::size_t{3} * static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
}

// Parses stretch `index` into the writer, continuing its flag groups.
void ParseStretch(const std::uint8_t* pixels, std::size_t total_bytes, const EncodeOptions& options, std::size_t index,
                  std::uint8_t* work, TokenWriter* out) {
  Stretch s{};
  s.begin = index * kEncodeStretchBytes;
  s.end = total_bytes - s.begin < kEncodeStretchBytes ? total_bytes : s.begin + kEncodeStretchBytes;
  s.window_begin = s.begin < kWindowBytes ? 0 : s.begin - kWindowBytes;
  std::uint8_t* buffer = work;
  s.head = buffer + kBufferBytes;
  s.near3 = s.head + kHeadTableBytes;
  std::uint8_t* near4 = s.near3 + kHeadTableBytes;
  s.chain = near4 + kHeadTableBytes;
  s.price = s.chain + kChainTableBytes;
  s.step = s.price + kPriceTableBytes;
  s.path = s.step + kStepTableBytes;
  s.out = out;
  FillBuffer(pixels, options.delta, s.window_begin, s.end, buffer);
  s.buffer = buffer;
  const int decode_speed = std::clamp(options.decode_speed, 0, kMaxDecodeSpeed);
  const LevelParams& params = ParamsFor(decode_speed > 0 ? kOptimalLevel : options.level);
  s.extra = TokenExtraFor(decode_speed);
  s.chain_key_bytes = params.chain_key_bytes;
  const bool chained = params.parser == Parser::kGreedy || params.parser == Parser::kLazy;
  s.near4 = chained ? near4 : nullptr;
  // The optimal parse keeps its chain of 3-byte hashes where the others
  // keep near4.
  static_assert(kChainTableBytes <= kHeadTableBytes, "");
  s.chain3 = params.parser == Parser::kOptimal ? near4 : nullptr;
  // Every table starts empty (the fast level fills its own).
  if (params.parser != Parser::kFast) std::memset(s.head, 0, (chained ? 3 : 2) * kHeadTableBytes);
  switch (params.parser) {
    case Parser::kFast: ParseFast(s); break;
    case Parser::kGreedy:
    case Parser::kLazy: ParseChained(s, params); break;
    case Parser::kOptimal: ParseOptimal(s, params); break;
  }
}

}  // namespace

TokenExtra TokenExtraFor(int decode_speed) {
  const std::uint32_t weight = kDecodeSpeedUnitsPerTenthNs[decode_speed];
  return TokenExtra{weight * kLiteralDecodeTenthsNs, weight * kControlDecodeTenthsNs};
}

}  // namespace writer

using writer::CloseGroup;
using writer::kTokensPerFlag;
using writer::kWorkBytes;
using writer::ParseStretch;
using writer::SizeInRange;
using writer::TokenWriter;
using writer::TotalBytes;

std::size_t EncodeBoundBytes(std::int32_t width, std::int32_t height) {
  if (!SizeInRange(width, height)) return 0;
  // Every token but a run writes at most as many bytes as it produces, a
  // run one more, and each token takes one flag bit. Since a run produces at
  // least 8 bytes more than its one token, runs and flag bits together add
  // at most one byte per 8 produced.
  const std::uint64_t total_bytes =
      std::uint64_t{3} * static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
  return static_cast<std::size_t>(kHeaderBytes + total_bytes + (total_bytes + 7) / 8);
}

std::size_t EncodeWorkBytes(const EncodeOptions&) { return kWorkBytes; }

std::size_t EncodeStretchCount(std::int32_t width, std::int32_t height) {
  if (!SizeInRange(width, height)) return 0;
  return (TotalBytes(width, height) + kEncodeStretchBytes - 1) / kEncodeStretchBytes;
}

std::size_t EncodeStretchBoundBytes() { return kEncodeStretchBytes + (kEncodeStretchBytes + 7) / 8; }

void WriteEncodeHeader(std::int32_t width, std::int32_t height, const EncodeOptions& options, std::uint8_t* dst) {
  dst[0] = 'K';
  dst[1] = 'X';
  dst[2] = options.delta ? kAcceptedCoding : static_cast<std::uint8_t>(kAcceptedCoding & ~kDeltaCodingBit);
  dst[3] = static_cast<std::uint8_t>(kBytesPerPixel);
  std::memset(dst + 4, 0, 8);
  StoreLe16(dst + 12, static_cast<std::uint16_t>(width));
  StoreLe16(dst + 14, static_cast<std::uint16_t>(height));
}

std::size_t EncodeImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                        const EncodeOptions& options, std::uint8_t* work, std::uint8_t* dst, std::size_t dst_capacity) {
  if (pixels == nullptr || work == nullptr || dst == nullptr) return 0;
  const std::size_t bound_bytes = EncodeBoundBytes(width, height);
  if (bound_bytes == 0 || dst_capacity < bound_bytes) return 0;
  WriteEncodeHeader(width, height, options, dst);
  TokenWriter out{dst, kHeaderBytes, 0, kTokensPerFlag, 0, 0, dst_capacity};
  const std::size_t stretches = EncodeStretchCount(width, height);
  for (std::size_t index = 0; index < stretches; ++index) {
    ParseStretch(pixels, TotalBytes(width, height), options, index, work, &out);
  }
  CloseGroup(&out);
  return out.at;
}

EncodedStretch EncodeStretch(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                             const EncodeOptions& options, std::size_t index, std::uint8_t* work, std::uint8_t* out,
                             std::size_t out_capacity) {
  if (pixels == nullptr || work == nullptr || out == nullptr || out_capacity < EncodeStretchBoundBytes() ||
      index >= EncodeStretchCount(width, height)) {
    return EncodedStretch{0, 0, 0};
  }
  TokenWriter writer{out, 0, 0, kTokensPerFlag, 0, 0, out_capacity};
  ParseStretch(pixels, TotalBytes(width, height), options, index, work, &writer);
  CloseGroup(&writer);
  return EncodedStretch{writer.at, writer.tokens, writer.flag_at};
}

}  // namespace kx
