// Little-endian loads and stores: every multi-byte field of the KX header and
// of the bitmap blocks is little-endian, whatever the processor.
#pragma once

#include <cstdint>
#include <cstring>

namespace kx {

constexpr std::uint16_t LoadLe16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
constexpr std::uint32_t LoadLe32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
constexpr void StoreLe16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
constexpr void StoreLe32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}

// Eight bytes at once, for the writer's match search: one load where the
// processor is little-endian.
inline std::uint64_t LoadLe64(const std::uint8_t* p) {
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
#else
  return LoadLe32(p) | (std::uint64_t{LoadLe32(p + 4)} << 32);
#endif
}

}  // namespace kx
