#include "codec/decode/two_core_decode.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

namespace kx {

// WebAssembly without shared memory has no threads to start: everything
// runs on the calling thread there. So do the Windows builds: the imaging
// codec links this library into a DLL that may import only KERNEL32 and
// msvcrt, and the C++ runtime's threads would bring a thread library with
// them.
#if (defined(__EMSCRIPTEN__) && !defined(__EMSCRIPTEN_PTHREADS__)) || defined(_WIN32)
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

// How often the storing thread looks for a piece, yielding between looks,
// before it sleeps. A piece arrives every 10 to 20 us on the pictures
// measured, sooner than a sleep and a wake-up cost on the decoding thread.
constexpr int kLooksBeforeSleep = 200;

struct Piece {
  const std::uint8_t* raw;
  std::size_t n;
};

// What the two threads share. Pieces go into the ring at `handed` (the
// decoder's counter). Either thread may store the next piece: it claims it
// by moving `claimed` from `stored` to one past, which it can only do once
// the piece before is stored, so that the rows are written in order and by
// one thread at a time; the claimer then owns `rows` until it moves
// `stored` on. A piece's bytes in the window stay as they are until
// `stored` has passed it.
struct Relay {
  RowWriter rows;
  Piece ring[kRingPieces];
  alignas(64) std::atomic<std::size_t> handed{0};
  alignas(64) std::atomic<std::size_t> claimed{0};
  std::atomic<std::size_t> stored{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> sleeping{false};
  std::mutex lock;
  std::condition_variable wake;
};

static_assert(sizeof(Relay) <= 1024, "kx.h promises under a kilobyte for the two threads' shared record");

// Stores the next piece if there is one and no other thread is storing;
// false otherwise.
bool StoreNextPiece(Relay* relay) {
  std::size_t next = relay->stored.load(std::memory_order_acquire);
  if (relay->handed.load() <= next) return false;
  if (!relay->claimed.compare_exchange_strong(next, next + 1, std::memory_order_acq_rel)) return false;
  const Piece piece = relay->ring[next % kRingPieces];
  WriteRows(&relay->rows, piece.raw, piece.n);
  relay->stored.store(next + 1, std::memory_order_release);
  return true;
}

bool Unclaimed(const Relay& relay) { return relay.handed.load() > relay.claimed.load(); }

// The storing thread's wait for a piece to claim (or the end). After a
// while it sleeps: the decoder may be held up (a large copy, a busy
// machine), and a spinning thread would take the core it needs.
// `sleeping` and `handed` are sequentially consistent, so that either the
// thread sees the new piece before it sleeps or the decoder sees it asleep
// and wakes it.
bool AwaitPiece(Relay* relay) {
  for (int look = 0; look < kLooksBeforeSleep; ++look) {
    if (Unclaimed(*relay)) return true;
    if (relay->stopping.load()) return false;
    std::this_thread::yield();
  }
  std::unique_lock<std::mutex> held(relay->lock);
  relay->sleeping.store(true);
  relay->wake.wait(held, [relay] { return Unclaimed(*relay) || relay->stopping.load(); });
  relay->sleeping.store(false);
  return !relay->stopping.load() || Unclaimed(*relay);
}

void StoreRowsBehind(Relay* relay) {
  while (AwaitPiece(relay)) {
    if (!StoreNextPiece(relay)) std::this_thread::yield();  // the decoder is storing the one before
  }
}

void WakeStorer(Relay* relay) {
  if (!relay->sleeping.load()) return;
  const std::lock_guard<std::mutex> held(relay->lock);
  relay->wake.notify_one();
}

// The decoder's wait until `count` pieces are stored. It never waits for
// a thread that is not storing: pieces nobody has claimed it stores itself,
// so that a storing thread the system has not scheduled (a busy machine)
// costs no more than storing on one thread. It yields only while the other
// thread is in the middle of a piece.
void AwaitStored(Relay* relay, std::size_t count) {
  while (relay->stored.load(std::memory_order_acquire) < count) {
    if (!StoreNextPiece(relay)) std::this_thread::yield();
  }
}

void HandOver(void* context, const std::uint8_t* raw, std::size_t n) {
  auto* relay = static_cast<Relay*>(context);
  const std::size_t count = relay->handed.load(std::memory_order_relaxed);
  if (count >= kRingPieces) AwaitStored(relay, count - kRingPieces + 1);  // its slot is free
  relay->ring[count % kRingPieces] = Piece{raw, n};
  relay->handed.store(count + 1);
  WakeStorer(relay);
}

void DrainRelay(void* context) {
  auto* relay = static_cast<Relay*>(context);
  AwaitStored(relay, relay->handed.load(std::memory_order_relaxed));
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
