// The KX writer on several threads: the picture's stretches are parsed at
// once and their streams joined in order, so the file is byte for byte the
// one EncodeImage writes, whatever the number of threads.
//
// This layer owns the threads and the memory they need (work memory per
// thread, two stretch streams per thread); the writer below it
// stays pure.
#pragma once

#include <cstddef>
#include <cstdint>

#include "writer/encode.h"

namespace kx {

// Encodes like EncodeImage (same arguments refused, same result) on up to
// `threads` threads; 0 or 1 means the calling thread alone, and so does a
// picture of one stretch. Threads the system cannot start are done without.
// Returns 0, having written nothing to dst, also when memory for the work
// or a thread cannot be had; throws nothing.
std::size_t EncodeImageThreaded(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                                const EncodeOptions& options, unsigned threads, std::uint8_t* dst,
                                std::size_t dst_capacity);

}  // namespace kx
