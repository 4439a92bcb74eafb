#include "codec/decode/two_core_decode.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace kx {

// WebAssembly without shared memory has no threads to start: everything
// runs on the calling thread there.
#if defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)
#define KX_TWO_CORES 0
#else
#define KX_TWO_CORES 1
#endif

#if KX_TWO_CORES

namespace {

// The decoder hands over a piece every 16 KiB of output (kFlushBytes in
// fast_decode.cpp) and drains before each slide, so a 256 KiB window has at
// most 16 pieces in flight; larger caller's windows wait for a free slot.
constexpr std::size_t kRingPieces = 32;

// How often the storing thread looks for the next piece, yielding between
// looks, before it sleeps. A piece arrives every 10 to 20 us on the pictures
// measured, sooner than a sleep and a wake-up cost on the decoding thread.
constexpr int kLooksBeforeSleep = 200;

struct Piece {
  const std::uint8_t* raw;
  std::size_t n;
};

// What the two threads share. Pieces go into the ring at `handed` and come
// out at `stored`, each counter written by one thread only; a piece's
// bytes in the window stay as they are until `stored` has passed it.
struct Relay {
  RowWriter rows;  // the storing thread's until the decoder's last drain
  Piece ring[kRingPieces];
  alignas(64) std::atomic<std::size_t> handed{0};
  alignas(64) std::atomic<std::size_t> stored{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> sleeping{false};
  std::mutex lock;
  std::condition_variable wake;
};

// The storing thread's wait for the next piece (or the end). After a while
// it sleeps: the decoder may be held up (a large copy, a busy machine), and
// a spinning thread would take the core it needs. `sleeping` and the
// counters are sequentially consistent, so that either the thread sees the
// new piece before it sleeps or the decoder sees it asleep and wakes it.
bool AwaitPiece(Relay* relay, std::size_t next) {
  for (int look = 0; look < kLooksBeforeSleep; ++look) {
    if (relay->handed.load() > next) return true;
    if (relay->stopping.load()) return false;
    std::this_thread::yield();
  }
  std::unique_lock<std::mutex> held(relay->lock);
  relay->sleeping.store(true);
  relay->wake.wait(held, [relay, next] { return relay->handed.load() > next || relay->stopping.load(); });
  relay->sleeping.store(false);
  return relay->handed.load() > next;
}

void StoreRowsBehind(Relay* relay) {
  for (std::size_t next = 0; AwaitPiece(relay, next); ++next) {
    const Piece piece = relay->ring[next % kRingPieces];
    WriteRows(&relay->rows, piece.raw, piece.n);
    relay->stored.store(next + 1, std::memory_order_release);
  }
}

void WakeStorer(Relay* relay) {
  if (!relay->sleeping.load()) return;
  const std::lock_guard<std::mutex> held(relay->lock);
  relay->wake.notify_one();
}

// The decoder's waits are short (the storer is the faster of the two, and
// at most one piece behind at a slide): it yields rather than sleeps.
void AwaitStored(const Relay& relay, std::size_t count) {
  while (relay.stored.load(std::memory_order_acquire) < count) std::this_thread::yield();
}

void HandOver(void* context, const std::uint8_t* raw, std::size_t n) {
  auto* relay = static_cast<Relay*>(context);
  const std::size_t count = relay->handed.load(std::memory_order_relaxed);
  if (count >= kRingPieces) AwaitStored(*relay, count - kRingPieces + 1);  // its slot is free
  relay->ring[count % kRingPieces] = Piece{raw, n};
  relay->handed.store(count + 1);
  WakeStorer(relay);
}

void DrainRelay(void* context) {
  const auto* relay = static_cast<const Relay*>(context);
  AwaitStored(*relay, relay->handed.load(std::memory_order_relaxed));
}

void StopStorer(Relay* relay) {
  {
    const std::lock_guard<std::mutex> held(relay->lock);
    relay->stopping.store(true);
  }
  relay->wake.notify_one();
}

}  // namespace

bool TwoCoresPay(std::size_t total_bytes) {
  return total_bytes >= kTwoCoreMinBytes && std::thread::hardware_concurrency() >= 2;
}

std::size_t DecodeIntoRowsTwoCores(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                                   const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes,
                                   DeltaKernel kernel) {
  if (window_bytes < kMinDecodeWindowBytes) return 0;
  // The relay holds two cache lines of counters that must not share one
  // with anything else; it lives on the heap for that alignment.
  Relay* const relay = new (std::nothrow) Relay;
  if (relay == nullptr) return DecodeIntoRows(src, src_bytes, total_bytes, rows, window, window_bytes, kernel);
  relay->rows = rows;
  std::thread storer;
  try {
    storer = std::thread(StoreRowsBehind, relay);
  } catch (const std::system_error&) {
  } catch (const std::bad_alloc&) {
  }
  if (!storer.joinable()) {
    delete relay;
    return DecodeIntoRows(src, src_bytes, total_bytes, rows, window, window_bytes, kernel);
  }
  const PieceSink sink{relay, HandOver, DrainRelay};
  const std::size_t produced_bytes =
      DecodeIntoRowsVia(src, src_bytes, total_bytes, &relay->rows, window, window_bytes, kernel, &sink);
  StopStorer(relay);
  storer.join();
  delete relay;
  return produced_bytes;
}

#else

bool TwoCoresPay(std::size_t) { return false; }

std::size_t DecodeIntoRowsTwoCores(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                                   const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes,
                                   DeltaKernel kernel) {
  return DecodeIntoRows(src, src_bytes, total_bytes, rows, window, window_bytes, kernel);
}

#endif

}  // namespace kx
