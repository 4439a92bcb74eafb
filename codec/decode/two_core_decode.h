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
// threads when the caller leaves the choice to it: none. In
// bench/two_core_bench (docs/benchmarks.md), natively and under both
// Wines, two threads took 1.10 to 1.36 times as long as one at every size
// from 64 KiB to 36 MB of pixels on the machine at its quietest (more under
// Wine), and more on a busy one: the stores are a tenth to a seventh of
// the decode here (the decoder with no stores at all took 0.86 to 0.91
// times as long), no more than the hand-over, the wake-ups and the
// window's bytes crossing between the cores cost. A machine where it pays
// sets a size here.
inline constexpr std::size_t kTwoCoreMinBytes = SIZE_MAX;

// The window the library allocates for a decode on two threads (the caller
// may give one of any size from kMinDecodeWindowBytes). The decoder waits
// for the storing thread only when it has fallen a window behind, which a
// thread the system has descheduled on a busy machine soon does in a
// 256 KiB window; 1 MiB still fits the second-level cache of the machines
// measured, beside a megabyte of rows.
inline constexpr std::size_t kTwoCoreWindowBytes = std::size_t{1} << 20;

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
