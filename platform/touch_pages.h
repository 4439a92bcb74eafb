// The prefault thread's walk over the pages of a block of rows, the same on
// every system (platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kx {

// The smallest page of the systems the plug-in runs on: touching one byte
// in every 4 KiB faults in every page of a larger size too.
inline constexpr std::size_t kTouchPageBytes = 4096;

inline constexpr std::size_t kNoRowByte = SIZE_MAX;

// The offset of the first byte of a row in [from, to) of the job's block,
// to at most job.bytes; kNoRowByte when that range holds only padding.
// Written without a sum that could wrap where size_t has 32 bits.
inline std::size_t FirstRowByte(const PrefaultJob& job, std::size_t from, std::size_t to) {
  const std::size_t in_stride = from % job.stride_bytes;
  if (in_stride < job.row_bytes) return from;
  const std::size_t to_next_row = job.stride_bytes - in_stride;
  return to_next_row < to - from ? from + to_next_row : kNoRowByte;
}

// Calls visit(page_address, row_byte_offset) for each page of `page_bytes`
// (on the address grid) that holds a byte of a row, with the offset of its
// first row byte, from the end the caller fills last; stops early when
// visit answers false. Pages of padding alone are never visited.
template <typename Visit>
void ForEachRowPage(const PrefaultJob& job, std::size_t page_bytes, Visit visit) {
  if (job.bytes == 0 || job.row_bytes == 0 || job.stride_bytes < job.row_bytes) return;
  const std::uintptr_t start = reinterpret_cast<std::uintptr_t>(job.block);
  const std::size_t lead_bytes = start % page_bytes;  // of the first page, before the block
  const std::size_t pages = (job.bytes - 1 + lead_bytes) / page_bytes + 1;
  for (std::size_t k = 0; k < pages; ++k) {
    const std::size_t page = job.downward ? pages - 1 - k : k;
    const std::size_t from = page == 0 ? 0 : page * page_bytes - lead_bytes;
    const std::size_t page_end = page * page_bytes - lead_bytes + page_bytes;  // in the block's offsets
    const std::size_t to = page_end < job.bytes ? page_end : job.bytes;
    const std::size_t at = FirstRowByte(job, from, to);
    if (at == kNoRowByte) continue;
    if (!visit(start - lead_bytes + page * page_bytes, at)) return;
  }
}

// Touches one byte of a row in every page that holds one, with an atomic
// OR of zero, which leaves the byte as the caller's thread wrote it, before
// or after. For systems without a call that faults pages in for writing
// (platform/prefault_posix.cpp uses one where the kernel has it).
inline void TouchPages(const PrefaultJob& job) {
  auto* const bytes = static_cast<std::uint8_t*>(job.block);
  ForEachRowPage(job, kTouchPageBytes, [bytes](std::uintptr_t, std::size_t at) {
    __atomic_fetch_or(bytes + at, 0, __ATOMIC_RELAXED);
    return true;
  });
}

}  // namespace kx
