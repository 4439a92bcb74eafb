// The token forms of the KX pixel stream: the one table of numbers that the
// decoders and the writer share.
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

// Longest back-reference any token can make.
inline constexpr std::size_t kMaxDistance = 16384;

// The decoders' flag register: bit 16 says whether flags remain; loading a
// flag byte sets bits 9..16, so that after eight left shifts bit 16 comes
// from the cleared bit 8 and the next flag byte is loaded. Bit 7 is the
// current token's flag.
inline constexpr std::uint32_t kFlagsLeft = 0x10000;
inline constexpr std::uint32_t kFlagLoadMark = 0x1FE00;
inline constexpr std::uint32_t kCurrentFlag = 0x80;

inline constexpr unsigned kRunBase = 9;      // literal run: 9..40 bytes
inline constexpr unsigned kShortBase = 2;    // short copy: 2..4 bytes
inline constexpr unsigned kMediumBase = 3;   // medium copy: 3..18 bytes
inline constexpr unsigned kLongBase = 3;     // long copy: 3..256 bytes, or
inline constexpr std::size_t kLong1KBytes = 1024;  // d = 0xFE
inline constexpr std::size_t kLong4KBytes = 4096;  // d = 0xFF

// The length of a long copy from its third byte.
constexpr std::size_t LongLength(unsigned d) {
  return d < 0xFE ? d + kLongBase : (d == 0xFE ? kLong1KBytes : kLong4KBytes);
}

// The rest of each form's limits and control-byte marks, as a writer needs
// them to choose and build tokens.
inline constexpr unsigned kRunMaxBytes = 40;
inline constexpr unsigned kRunMark = 3;             // b & 3 of a literal run
inline constexpr std::size_t kShortMaxDistance = 32;
inline constexpr unsigned kShortMaxBytes = 4;
inline constexpr std::size_t kMediumMaxDistance = 1024;
inline constexpr unsigned kMediumMaxBytes = 18;
inline constexpr unsigned kLongMaxBytes = 256;      // d = 0xFD
inline constexpr std::uint8_t kMediumControl = 0x80;
inline constexpr std::uint8_t kLongControl = 0xC0;
inline constexpr std::uint8_t kLong1KCode = 0xFE;
inline constexpr std::uint8_t kLong4KCode = 0xFF;
