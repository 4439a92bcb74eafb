// kxconv's pool for batches: whole pictures encoded on worker threads while
// the calling thread takes the results in the inputs' order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// What a worker made of one picture.
struct BatchResult {
  bool ok = false;
  std::string error;
  std::vector<std::uint8_t> bytes;
};

// Runs produce(k) on up to `workers` threads for every k in [0, count) that
// skip[k] does not mark, while the calling thread, for every k in order,
// calls begin(k) and then, once k's result is there, take(k, result):
// result is produce(k)'s, or null for a skipped k and for every k when no
// thread could be started (the caller does that picture itself). Workers
// stay at most 2 x workers pictures ahead of take, which bounds the memory
// the results hold. produce must not throw.
void RunBatch(std::size_t count, unsigned workers, const std::vector<bool>& skip,
              const std::function<BatchResult(std::size_t)>& produce, const std::function<void(std::size_t)>& begin,
              const std::function<void(std::size_t, BatchResult*)>& take);
