// The prefault thread's work, the same on every system (platform.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/platform.h"

namespace kx {

// The smallest page of the systems the plug-in runs on: touching one byte
// in every 4 KiB faults in every page of a larger size too.
inline constexpr std::size_t kTouchPageBytes = 4096;

// Touches one byte of every page of the job's block, from the end the
// caller fills last. Each touch is an atomic OR of zero, which leaves the
// byte as the caller's thread wrote it, before or after.
inline void TouchPages(const PrefaultJob& job) {
  auto* const bytes = static_cast<std::uint8_t*>(job.block);
  const std::size_t pages = (job.bytes + kTouchPageBytes - 1) / kTouchPageBytes;
  for (std::size_t k = 0; k < pages; ++k) {
    const std::size_t page = job.downward ? pages - 1 - k : k;
    __atomic_fetch_or(bytes + page * kTouchPageBytes, 0, __ATOMIC_RELAXED);
  }
}

}  // namespace kx
