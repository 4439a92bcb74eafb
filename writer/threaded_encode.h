// The KX writer on several threads: the picture's stretches are parsed at
// once and their streams joined in order, so the file is byte for byte the
// one EncodeImage writes, whatever the number of threads.
//
// This layer owns the threads and the memory they need (work memory per
// thread, one stretch's stream per stretch in flight); the writer below it
// stays pure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "writer/encode.h"

namespace kx {

// Encodes like EncodeImage (same arguments refused, same result) on up to
// `threads` threads; 0 or 1 means the calling thread alone, and so does a
// picture of one stretch. Threads that cannot be started are done without.
// Throws std::bad_alloc when memory for the work cannot be had.
std::size_t EncodeImageThreaded(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                                const EncodeOptions& options, unsigned threads, std::uint8_t* dst,
                                std::size_t dst_capacity);

}  // namespace kx
