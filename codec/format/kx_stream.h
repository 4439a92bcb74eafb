// The token forms of the KX pixel stream: the one table of numbers that the
// decoders and the writer share, and the one place a control byte is decoded.
//
// Groups of eight tokens, each group led by a flag byte read most significant
// bit first. Flag 0 is one literal byte; flag 1 starts a control byte b:
//
//   b                        further   meaning      distance                      length
//   0x00-0x7F, b & 3 == 3    -         literal run  -                             (b >> 2) + 9
//   0x00-0x7F, b & 3 != 3    -         short copy   (b >> 2) + 1                  (b & 3) + 2
//   0x80-0xBF                c         medium copy  ((b&0x3F)<<4) + (c>>4) + 1    (c & 0x0F) + 3
//   0xC0-0xFF                c, d      long copy    ((b&0x3F)<<8) + c + 1         d + 3, or 1024 (d=0xFE), 4096 (d=0xFF)
#pragma once

#include <cstddef>
#include <cstdint>

namespace kx {

// Longest back-reference any token can make.
inline constexpr std::size_t kMaxDistance = 16384;

// The decoders' flag register: bit 16 says whether flags remain; loading a
// flag byte sets bits 9..16, so that after eight left shifts bit 16 comes
// from the cleared bit 8 and the next flag byte is loaded. Bit 7 is the
// current token's flag.
inline constexpr std::uint32_t kFlagsLeft = 0x10000;
inline constexpr std::uint32_t kFlagLoadMark = 0x1FE00;
inline constexpr std::uint32_t kCurrentFlag = 0x80;
inline constexpr unsigned kGroupTokens = 8;

// Where the forms start among the control bytes.
inline constexpr unsigned kMediumControl = 0x80;  // 0x80..0xBF
inline constexpr unsigned kLongControl = 0xC0;    // 0xC0..0xFF
inline constexpr unsigned kRunMark = 3;           // b & 3 of a literal run, below 0x80

// The bits of the control byte and of c that hold distances and lengths.
inline constexpr unsigned kShortLengthMask = 0x03;
inline constexpr unsigned kFarDistanceMask = 0x3F;  // b of medium and long copies
inline constexpr unsigned kMediumLengthMask = 0x0F;

inline constexpr unsigned kRunBase = 9;            // literal run: 9..40 bytes
inline constexpr unsigned kShortBase = 2;          // short copy: 2..4 bytes
inline constexpr unsigned kMediumBase = 3;         // medium copy: 3..18 bytes
inline constexpr unsigned kLongBase = 3;           // long copy: 3..256 bytes, or
inline constexpr std::size_t kLong1KBytes = 1024;  // d = 0xFE
inline constexpr std::size_t kLong4KBytes = 4096;  // d = 0xFF
inline constexpr unsigned kLong1KCode = 0xFE;
inline constexpr unsigned kLong4KCode = 0xFF;

// Longest literal run and longest copy.
inline constexpr std::size_t kMaxRunBytes = (0x7F >> 2) + kRunBase;
inline constexpr std::size_t kMaxCopyBytes = kLong4KBytes;

enum class TokenForm : std::uint8_t { kLiteralRun, kShortCopy, kMediumCopy, kLongCopy };

constexpr TokenForm ClassifyControl(unsigned b) {
  if (b >= kLongControl) return TokenForm::kLongCopy;
  if (b >= kMediumControl) return TokenForm::kMediumCopy;
  return (b & kRunMark) == kRunMark ? TokenForm::kLiteralRun : TokenForm::kShortCopy;
}

// Bytes of a token after its control byte that say where and how much to
// copy: c for a medium copy, c and d for a long one. (A literal run's own
// bytes are not counted.)
constexpr unsigned OperandBytes(TokenForm form) {
  return form == TokenForm::kLongCopy ? 2 : (form == TokenForm::kMediumCopy ? 1 : 0);
}

// The length of a literal run from its control byte.
constexpr std::size_t RunLength(unsigned b) { return (b >> 2) + kRunBase; }

// The length of a long copy from its third byte.
constexpr std::size_t LongLength(unsigned d) {
  return d < kLong1KCode ? d + kLongBase : (d == kLong1KCode ? kLong1KBytes : kLong4KBytes);
}

struct CopyToken {
  std::size_t distance;  // 1..kMaxDistance
  std::size_t length;    // 2..kMaxCopyBytes
};

// The copy a control byte b of a copy form gives with its operand bytes c
// and d (those the form does not use are ignored).
constexpr CopyToken DecodeCopy(TokenForm form, unsigned b, unsigned c, unsigned d) {
  switch (form) {
    case TokenForm::kMediumCopy:
      return {((b & kFarDistanceMask) << 4) + (c >> 4) + 1u, (c & kMediumLengthMask) + kMediumBase};
    case TokenForm::kLongCopy: return {((b & kFarDistanceMask) << 8) + c + 1u, LongLength(d)};
    case TokenForm::kShortCopy:
    case TokenForm::kLiteralRun: break;
  }
  return {(b >> 2) + 1u, (b & kShortLengthMask) + kShortBase};
}

static_assert(DecodeCopy(TokenForm::kLongCopy, 0xFF, 0xFF, kLong4KCode).distance == kMaxDistance, "");
static_assert(RunLength(0x7F) == kMaxRunBytes && kMaxRunBytes == 40, "");

// The rest of each form's limits, as a writer needs them to choose tokens.
inline constexpr std::size_t kShortMaxDistance = 32;
inline constexpr unsigned kShortMaxBytes = 4;
inline constexpr std::size_t kMediumMaxDistance = 1024;
inline constexpr unsigned kMediumMaxBytes = 18;
inline constexpr unsigned kLongMaxBytes = 256;  // d = 0xFD
static_assert(DecodeCopy(TokenForm::kShortCopy, 0x7E, 0, 0).distance == kShortMaxDistance &&
                  DecodeCopy(TokenForm::kShortCopy, 0x7E, 0, 0).length == kShortMaxBytes,
              "");
static_assert(DecodeCopy(TokenForm::kMediumCopy, 0xBF, 0xFF, 0).distance == kMediumMaxDistance &&
                  DecodeCopy(TokenForm::kMediumCopy, 0xBF, 0xFF, 0).length == kMediumMaxBytes,
              "");
static_assert(LongLength(kLong1KCode - 1) == kLongMaxBytes, "");

}  // namespace kx
