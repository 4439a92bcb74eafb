#include "writer/threaded_encode.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace kx {

namespace {

// Streams in flight per worker: one being parsed and one waiting for its
// turn to be joined, so that a worker ahead of the join seldom waits.
constexpr std::size_t kStreamsPerWorker = 2;

// One stretch: its stream once parsed, until it is joined.
struct Slot {
  std::uint8_t* stream;
  EncodedStretch encoded;
  bool parsed;
};

enum class Gate { kClosed, kOpen, kAbandoned };

// Everything the workers share. Every byte of memory is had before any
// worker starts, and nothing is written to dst before every helper has
// started: a failure then leaves the caller's file untouched. Workers take
// stretches in rising order, each with a free stream taken at the same
// time; whichever finishes the next one to join does the joining, outside
// the lock, while the others parse on.
struct Pipeline {
  const std::uint8_t* pixels;
  std::int32_t width;
  std::int32_t height;
  EncodeOptions options;
  std::uint8_t* dst;
  std::size_t count;
  std::uint8_t* work;  // work_bytes for each worker
  std::size_t work_bytes;

  std::mutex lock;                  // guards what follows
  std::condition_variable changed;  // the gate moved, or a stream came free
  Gate gate = Gate::kClosed;
  Slot* slots;
  std::uint8_t** free_streams;
  std::size_t free_count;
  std::size_t next_to_parse = 0;
  std::size_t next_to_join = 0;
  bool joining = false;
  StreamJoin join = StartStream();
};

// Joins every parsed stretch that is next in order and gives its stream
// back. Called with the lock held and `joining` just taken; returns with the
// lock held.
void JoinReady(Pipeline* p, std::unique_lock<std::mutex>* held) {
  while (p->next_to_join < p->count && p->slots[p->next_to_join].parsed) {
    const Slot slot = p->slots[p->next_to_join];
    held->unlock();
    AppendStretch(&p->join, slot.stream, slot.encoded, p->dst);
    held->lock();
    p->free_streams[p->free_count++] = slot.stream;
    p->changed.notify_one();
    ++p->next_to_join;
  }
}

// A stretch is claimed together with a stream, so that whoever holds the
// next stretch to join always has a stream to parse it into: the join, and
// with it the return of streams, always moves on.
void Work(Pipeline* p, std::size_t worker) {
  std::uint8_t* const work = p->work + worker * p->work_bytes;
  std::unique_lock<std::mutex> held(p->lock);
  p->changed.wait(held, [p] { return p->gate != Gate::kClosed; });
  if (p->gate == Gate::kAbandoned) return;
  for (;;) {
    p->changed.wait(held, [p] { return p->free_count > 0 || p->next_to_parse >= p->count; });
    if (p->next_to_parse >= p->count) return;
    std::uint8_t* const stream = p->free_streams[--p->free_count];
    const std::size_t k = p->next_to_parse++;
    held.unlock();
    const EncodedStretch encoded =
        EncodeStretch(p->pixels, p->width, p->height, p->options, k, work, stream, EncodeStretchBoundBytes());
    held.lock();
    p->slots[k] = Slot{stream, encoded, true};
    if (p->joining) continue;
    p->joining = true;
    JoinReady(p, &held);
    p->joining = false;
  }
}

void OpenGate(Pipeline* p, Gate gate) {
  const std::lock_guard<std::mutex> held(p->lock);
  p->gate = gate;
  p->changed.notify_all();
}

// Starts up to `wanted` helpers into `helpers`, each waiting at the gate;
// the number started, fewer where the system starts no more (the calling
// thread parses what they would have). False when memory for a thread
// cannot be had.
bool StartHelpers(Pipeline* p, std::thread* helpers, std::size_t wanted, std::size_t* started) {
  for (*started = 0; *started < wanted; ++*started) {
    try {
      helpers[*started] = std::thread(Work, p, *started + 1);
    } catch (const std::bad_alloc&) {
      return false;
    } catch (const std::system_error&) {
      return true;
    }
  }
  return true;
}

std::size_t EncodeOnWorkers(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                            const EncodeOptions& options, std::size_t workers, std::uint8_t* dst) {
  const std::size_t count = EncodeStretchCount(width, height);
  const std::size_t work_bytes = EncodeWorkBytes(options);
  const std::size_t stream_count = kStreamsPerWorker * workers;
  const std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[work_bytes * workers]);
  const std::unique_ptr<std::uint8_t[]> streams(new (std::nothrow)
                                                    std::uint8_t[EncodeStretchBoundBytes() * stream_count]);
  const std::unique_ptr<std::uint8_t*[]> free_streams(new (std::nothrow) std::uint8_t*[stream_count]);
  const std::unique_ptr<Slot[]> slots(new (std::nothrow) Slot[count]());
  const std::unique_ptr<std::thread[]> helpers(new (std::nothrow) std::thread[workers - 1]);
  if (!work || !streams || !free_streams || !slots || !helpers) return 0;

  Pipeline p;
  p.pixels = pixels;
  p.width = width;
  p.height = height;
  p.options = options;
  p.dst = dst;
  p.count = count;
  p.work = work.get();
  p.work_bytes = work_bytes;
  p.slots = slots.get();
  p.free_streams = free_streams.get();
  p.free_count = stream_count;
  for (std::size_t s = 0; s < stream_count; ++s) p.free_streams[s] = streams.get() + s * EncodeStretchBoundBytes();

  std::size_t started = 0;
  const bool all_had = StartHelpers(&p, helpers.get(), workers - 1, &started);
  if (all_had) WriteEncodeHeader(width, height, options, dst);
  OpenGate(&p, all_had ? Gate::kOpen : Gate::kAbandoned);
  if (all_had) Work(&p, 0);
  for (std::size_t t = 0; t < started; ++t) helpers[t].join();
  return all_had ? p.join.at : 0;
}

}  // namespace

std::size_t EncodeImageThreaded(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                                const EncodeOptions& options, unsigned threads, std::uint8_t* dst,
                                std::size_t dst_capacity) {
  const std::size_t bound_bytes = EncodeBoundBytes(width, height);
  if (pixels == nullptr || dst == nullptr || bound_bytes == 0 || dst_capacity < bound_bytes) return 0;
  const std::size_t count = EncodeStretchCount(width, height);
  const std::size_t workers = threads < count ? threads : count;
  if (workers > 1) return EncodeOnWorkers(pixels, width, height, options, workers, dst);
  const std::unique_ptr<std::uint8_t[]> work(new (std::nothrow) std::uint8_t[EncodeWorkBytes(options)]);
  if (!work) return 0;
  return EncodeImage(pixels, width, height, options, work.get(), dst, dst_capacity);
}

}  // namespace kx
