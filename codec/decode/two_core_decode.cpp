#include "codec/decode/two_core_decode.h"

#include <atomic>

#include "codec/decode/delta.h"
#include "codec/decode/window_layout.h"

#include "platform/platform.h"

namespace kx {

namespace {

// The decoder hands over a piece every 16 KiB of output (kFlushBytes in
// window_layout.h) and reclaims the window a piece ahead of what it writes,
// so a window of kTwoCoreWindowBytes has at most 61 pieces in flight; a
// larger caller's window waits for a free slot instead.
constexpr std::size_t kRingPieces = 64;
static_assert(kRingPieces * kFlushBytes >= kTwoCoreWindowBytes - kHistoryBytes, "the library's window fills no ring");

// How long either thread spins on the other before it gives up its core.
// A piece arrives every 10 to 40 us on the pictures measured and takes 5 to
// 15 us to store; a pause is 10 to 150 processor cycles. The storing thread
// looks kStorerRounds times, each after kSpinsPerRound pauses and a yield
// (which returns at once on an idle machine, and on a busy one lets the
// decoder have the core back), then sleeps: a sleeping thread costs the
// decoder a wake-up call per piece, which under Wine is a round trip to its
// server. The decoder, waiting for a piece the other thread is storing,
// yields after one round.
constexpr int kSpinsPerRound = 64;
constexpr int kStorerRounds = 64;

// A spin-wait hint (PAUSE encodes as a plain NOP before SSE2, so any x86
// runs it): the other core gets the pipeline's share while this one waits.
void Relax() {
#if defined(__GNUC__) && (defined(__i386__) || defined(__x86_64__))
  __builtin_ia32_pause();
#endif
}

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
// `stored` has passed it. Only the decoder writes the ring.
struct Relay {
  RowWriter rows;
  WakeSignal wake;
  Piece ring[kRingPieces];
  alignas(64) std::atomic<std::size_t> handed{0};
  alignas(64) std::atomic<std::size_t> claimed{0};
  std::atomic<std::size_t> stored{0};
  std::atomic<bool> stopping{false};
  std::atomic<bool> sleeping{false};
};

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

// The storing thread: stores pieces as they come, spins a while when there
// is none, then sleeps. The decoder may be held up (a long run of copies, a
// busy machine), and a spinning thread would take a core that others need.
// `sleeping` and `handed` are sequentially consistent, so that either this
// thread sees the new piece before it sleeps or the decoder sees it asleep
// and raises the signal (a raise nobody waited for is kept).
void StoreRowsBehind(void* param) {
  auto* relay = static_cast<Relay*>(param);
  int idle = 0;
  for (;;) {
    if (StoreNextPiece(relay)) {
      idle = 0;
      continue;
    }
    // A piece nobody could claim: the decoder is storing the one before,
    // and this thread waits for it, without sleeping.
    const bool decoder_storing = Unclaimed(*relay);
    if (!decoder_storing && relay->stopping.load()) return;
    if (++idle % kSpinsPerRound != 0) {
      Relax();
      continue;
    }
    if (decoder_storing || idle < kSpinsPerRound * kStorerRounds) {
      YieldThread();
      continue;
    }
    relay->sleeping.store(true);
    if (!Unclaimed(*relay) && !relay->stopping.load()) AwaitWake(&relay->wake);
    relay->sleeping.store(false);
    idle = 0;
  }
}

// The decoder's wait until `count` pieces are stored. It never waits for
// a thread that is not storing: pieces nobody has claimed it stores itself,
// so that a storing thread the system has not scheduled (a busy machine)
// costs no more than storing on one thread. While the other thread is in
// the middle of a piece it spins, and yields only after a while (the other
// thread may have lost its core).
void AwaitStored(Relay* relay, std::size_t count) {
  int spins = 0;
  while (relay->stored.load(std::memory_order_acquire) < count) {
    if (StoreNextPiece(relay)) continue;
    if (++spins < kSpinsPerRound) {
      Relax();
    } else {
      YieldThread();
      spins = 0;
    }
  }
}

void HandOver(void* context, const std::uint8_t* raw, std::size_t n) {
  auto* relay = static_cast<Relay*>(context);
  const std::size_t count = relay->handed.load(std::memory_order_relaxed);
  if (count >= kRingPieces) AwaitStored(relay, count - kRingPieces + 1);  // its slot is free
  relay->ring[count % kRingPieces] = Piece{raw, n};
  relay->handed.store(count + 1);
  if (relay->sleeping.load()) RaiseWake(&relay->wake);
}

// Waits for the last piece not yet stored that overlaps [begin, end), and
// so for every one before it. Only this thread writes the ring.
void ReclaimWindow(void* context, const std::uint8_t* begin, const std::uint8_t* end) {
  auto* relay = static_cast<Relay*>(context);
  const std::size_t handed = relay->handed.load(std::memory_order_relaxed);
  std::size_t wanted = 0;
  for (std::size_t k = relay->stored.load(std::memory_order_acquire); k < handed; ++k) {
    const Piece& piece = relay->ring[k % kRingPieces];
    if (piece.raw < end && begin < piece.raw + piece.n) wanted = k + 1;
  }
  if (wanted > 0) AwaitStored(relay, wanted);
}

void DrainRelay(void* context) {
  auto* relay = static_cast<Relay*>(context);
  AwaitStored(relay, relay->handed.load(std::memory_order_relaxed));
}

}  // namespace

bool TwoCoresPay(std::size_t total_bytes) { return total_bytes >= kTwoCoreMinBytes && ProcessorCount() >= 2; }

std::size_t DecodeIntoRowsTwoCores(const std::uint8_t* src, std::size_t src_bytes, std::size_t total_bytes,
                                   const RowWriter& rows, std::uint8_t* window, std::size_t window_bytes,
                                   DeltaKernel kernel) {
  if (window_bytes < kMinDecodeWindowBytes) return 0;
  // On the caller's stack: the storing thread has ended before it returns.
  Relay relay;
  relay.rows = rows;
  if (!CreateWake(&relay.wake)) return DecodeIntoRows(src, src_bytes, total_bytes, rows, window, window_bytes, kernel);
  WorkerThread storer{};
  if (!StartWorker(&storer, StoreRowsBehind, &relay)) {
    DestroyWake(&relay.wake);
    return DecodeIntoRows(src, src_bytes, total_bytes, rows, window, window_bytes, kernel);
  }
  const PieceSink sink{&relay, HandOver, ReclaimWindow, DrainRelay};
  const std::size_t produced_bytes =
      DecodeIntoRowsVia(src, src_bytes, total_bytes, &relay.rows, window, window_bytes, kernel, &sink);
  relay.stopping.store(true);
  RaiseWake(&relay.wake);
  JoinWorker(&storer);
  DestroyWake(&relay.wake);
  return produced_bytes;
}

std::size_t DecodeToBitmapTwoCores(const std::uint8_t* src, std::size_t src_bytes, const PictureLayout& layout,
                                   std::uint8_t* bits, std::uint8_t* window, std::size_t window_bytes) {
  const DeltaFn delta = AsksForDelta(src, src_bytes) ? PickDelta(DeltaKernel::kBest) : nullptr;
  return DecodeIntoRowsTwoCores(src, src_bytes, layout.total_bytes, StartRows(layout, bits, delta), window,
                                window_bytes, DeltaKernel::kBest);
}

}  // namespace kx
