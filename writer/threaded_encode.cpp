#include "writer/threaded_encode.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <vector>

namespace kx {

namespace {

using Bytes = std::vector<std::uint8_t>;
// A stretch's stream: EncodeStretchBoundBytes(), not zero-filled.
using Stream = std::unique_ptr<std::uint8_t[]>;

// Stretches parsed but not yet joined, and the join itself. Workers take
// stretches in rising order; whichever finishes the next one to join does
// the joining, outside the lock, while the others parse on.
struct Pipeline {
  const std::uint8_t* pixels;
  std::int32_t width;
  std::int32_t height;
  EncodeOptions options;
  std::uint8_t* dst;
  std::size_t count;

  std::atomic<std::size_t> next_to_parse{0};
  std::atomic<bool> failed{false};

  std::mutex lock;  // guards what follows
  std::vector<Stream> streams;
  std::vector<Stream> spare;  // joined streams, for reuse: no fresh pages per stretch
  std::vector<EncodedStretch> encoded;
  std::vector<bool> parsed;
  std::size_t next_to_join = 0;
  bool joining = false;
  StreamJoin join = StartStream();
};

// Joins every parsed stretch that is next in order. Called with the lock
// held and `joining` just taken; returns with the lock held.
void JoinReady(Pipeline* p, std::unique_lock<std::mutex>* held) {
  while (p->next_to_join < p->count && p->parsed[p->next_to_join]) {
    const std::size_t k = p->next_to_join;
    Stream stream = std::move(p->streams[k]);
    const EncodedStretch encoded = p->encoded[k];
    held->unlock();
    AppendStretch(&p->join, stream.get(), encoded, p->dst);
    held->lock();
    p->spare.push_back(std::move(stream));
    ++p->next_to_join;
  }
}

void Work(Pipeline* p) {
  try {
    Bytes work(EncodeWorkBytes(p->options));
    for (;;) {
      const std::size_t k = p->next_to_parse.fetch_add(1);
      if (k >= p->count || p->failed.load()) return;
      Stream stream;
      {
        const std::lock_guard<std::mutex> held(p->lock);
        if (!p->spare.empty()) {
          stream = std::move(p->spare.back());
          p->spare.pop_back();
        }
      }
      if (stream == nullptr) stream.reset(new std::uint8_t[EncodeStretchBoundBytes()]);
      const EncodedStretch encoded = EncodeStretch(p->pixels, p->width, p->height, p->options, k, work.data(),
                                                   stream.get(), EncodeStretchBoundBytes());
      std::unique_lock<std::mutex> held(p->lock);
      p->streams[k] = std::move(stream);
      p->encoded[k] = encoded;
      p->parsed[k] = true;
      if (p->joining) continue;
      p->joining = true;
      JoinReady(p, &held);
      p->joining = false;
    }
  } catch (const std::bad_alloc&) {
    p->failed.store(true);
  }
}

}  // namespace

std::size_t EncodeImageThreaded(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                                const EncodeOptions& options, unsigned threads, std::uint8_t* dst,
                                std::size_t dst_capacity) {
  const std::size_t bound_bytes = EncodeBoundBytes(width, height);
  if (pixels == nullptr || dst == nullptr || bound_bytes == 0 || dst_capacity < bound_bytes) return 0;
  const std::size_t count = EncodeStretchCount(width, height);
  const std::size_t workers = threads < count ? threads : count;
  if (workers <= 1) {
    Bytes work(EncodeWorkBytes(options));
    return EncodeImage(pixels, width, height, options, work.data(), dst, dst_capacity);
  }

  Pipeline p;
  p.pixels = pixels;
  p.width = width;
  p.height = height;
  p.options = options;
  p.dst = dst;
  p.count = count;
  p.streams.resize(count);
  p.encoded.resize(count);
  p.parsed.assign(count, false);
  WriteEncodeHeader(width, height, options, dst);

  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < workers; ++t) {
    try {
      helpers.emplace_back(Work, &p);
    } catch (const std::system_error&) {
      // Fewer helpers, or none, still give the same file: the calling
      // thread parses whatever is left.
      break;
    }
  }
  Work(&p);
  for (std::thread& helper : helpers) helper.join();
  if (p.failed.load()) throw std::bad_alloc();
  return p.join.at;
}

}  // namespace kx
