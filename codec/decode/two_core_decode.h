// The fast decoder on two threads: the calling thread decodes tokens into
// the window while a second one follows it a piece behind, undoing the
// delta step and storing the rows. The token chain is serial, but the
// stores are not tied to it; on the pictures measured they are about a
// third of the work (docs/benchmarks.md).
//
// Same bytes, same result and the same contract as DecodeIntoRows
// (codec/decode/fast_decode.h), for any input. Built only into the public
// library, never into the modules, which start no threads of their own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/decode/row_writer.h"

namespace kx {

// The smallest picture, in raw bytes, that the library decodes on two
// threads when the caller leaves the choice to it: below it, starting the
// thread and handing pieces over costs more than the second core saves
// (measured with bench/decode_bench --threads, docs/benchmarks.md).
inline constexpr std::size_t kTwoCoreMinBytes = std::size_t{512} << 10;

// True when a second thread is worth starting for a picture of total_bytes
// raw bytes here: large enough, and a processor with two cores or more.
bool TwoCoresPay(std::size_t total_bytes);

// DecodeIntoRows with the rows stored on a second thread. Where no thread
// can be started, the calling thread does everything, with the same result.
std::size_t DecodeIntoRowsTwoCores(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                                   const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes,
                                   DeltaKernel kernel);

}  // namespace kx
