// The fast decoder on two threads: the calling thread decodes tokens into
// the window while a second one follows it a piece behind, undoing the
// delta step and storing the rows. The token chain is serial, but the
// stores are not tied to it; on the pictures measured they are about a
// third of the work (docs/benchmarks.md).
//
// Same bytes, same result and the same contract as DecodeIntoRows
// (codec/decode/fast_decode.h), for any input. The thread and the signal
// that wakes it come from the platform layer (platform/platform.h), so
// that the Windows DLLs stay free of a C++ thread library; where it starts
// none (WebAssembly), everything runs on the calling thread.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/decode/row_writer.h"

namespace kx {

// The smallest picture, in raw bytes, that the library decodes on two
// threads when the caller leaves the choice to it. Below it, starting the
// thread and handing pieces over cost more than the second core saved in
// bench/two_core_bench (docs/benchmarks.md): on a 2-core machine shared
// with builds (load 6 to 9) two threads took 1.1 to 3 times as long up to
// 4 MB of pixels and 0.97 times at 9 and 36 MB. Measured on a busy
// machine, this is the cautious end; a quiet one may move it down.
inline constexpr std::size_t kTwoCoreMinBytes = std::size_t{8} << 20;

// True when a second thread is worth starting for a picture of total_bytes
// raw bytes here: large enough, and a processor with two cores or more.
bool TwoCoresPay(std::size_t total_bytes);

// DecodeIntoRows with the rows stored on a second thread. Where no thread
// can be started, the calling thread does everything, with the same result.
std::size_t DecodeIntoRowsTwoCores(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                                   const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes,
                                   DeltaKernel kernel);

// DecodeToBitmap (codec/decode/fast_decode.h) with the rows stored on a
// second thread, for the plug-in modules.
std::size_t DecodeToBitmapTwoCores(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                                   std::uint8_t* bits, std::uint8_t* window, std::size_t window_bytes);

}  // namespace kx
