// The start of a file that IsSupported and GetPictureInfo read: the header
// and room to spare, in one fixed block of the same size for both.
#pragma once

#include <cstdint>

namespace kx {

inline constexpr std::uint32_t kHeadBufferBytes = 2000;

}  // namespace kx
