// Level 9, the optimal parser: the cheapest path through each block.

#include "writer/encode_internal.h"

namespace kx {

namespace writer {

namespace {

// The longest match at p within each reach the token forms price apart:
// 1 to 1024 back (a medium copy for up to 18 bytes) and 1 to 16,384 back.
struct Reaches {
  Match medium;
  Match far;
};

// Entries of the 3-byte chain looked at for a copy of 3 bytes. On the
// benchmark's photograph, where most copies are of 2 to 4 bytes, the
// nearest entry alone (a table of last positions) missed one such copy in
// a few hundred positions for another 3-byte value with the same hash: 16
// entries made the file 0.14% smaller (the real photograph 0.01%).
constexpr std::uint32_t kNear3Steps = 16;

Reaches FindReaches(const Stretch& s, std::size_t p, const Slots& slots, const LevelParams& params) {
  Reaches r{{0, 0}, {0, 0}};
  const std::size_t limit = Limit(s, p);
  if (limit < kHashedBytes) return r;
  const std::uint8_t* at = At(s, p);
  Match best{kMediumBase - 1, 0};
  bool medium_done = false;
  std::uint32_t entry = Load32(s.head, slots.chain);
  for (std::uint32_t steps = 0; entry != kNoPosition; ++steps) {
    if (steps >= (best.bytes >= params.nice_bytes ? params.long_chain : params.max_chain)) break;
    const std::size_t q = entry - 1u;
    const std::size_t distance = p - q;
    if (distance > kWindowBytes || best.bytes >= limit) break;
    if (!medium_done && distance > kMediumMaxDistance) {
      medium_done = true;
      r.medium = best;
    }
    const std::uint8_t* from = At(s, q);
    if (from[best.bytes] == at[best.bytes]) {
      const std::size_t bytes = MatchBytes(from, at, limit);
      if (bytes > best.bytes) best = Match{bytes, distance};
    }
    entry = NextEntry(s, q);
  }
  if (best.distance == 0) best.bytes = 0;
  if (!medium_done) r.medium = best;
  // The nearest earlier position with the same 3 bytes gives a copy of 3
  // when the chain found none of 4 bytes or more (a long copy of 3 bytes
  // costs 25 bits, 2 less than three literals), and a medium one when it is
  // within reach. Its chain steps over other 3-byte values with the same
  // hash.
  Match near{0, 0};
  std::uint32_t entry3 = Load32(s.near3, slots.near3);
  for (std::uint32_t steps = 0; entry3 != kNoPosition && steps < kNear3Steps; ++steps) {
    const std::size_t q = entry3 - 1u;
    if (p - q > kWindowBytes) break;
    const std::size_t bytes = MatchBytes(At(s, q), at, limit);
    if (bytes >= kMediumBase) {
      near = Match{bytes, p - q};
      break;
    }
    entry3 = NextEntry(s.chain3, q);
  }
  if (near.distance <= kMediumMaxDistance && near.bytes > r.medium.bytes) r.medium = near;
  if (near.bytes > best.bytes) best = near;
  if (r.medium.distance == 0) r.medium.bytes = 0;
  r.far = best;
  return r;
}

constexpr std::uint32_t kNoPrice = 0xFFFFFFFFu;

// A token's price: its bits and its decode time.
std::uint32_t Price(std::uint32_t bits, std::uint32_t extra) { return bits * kPriceUnitsPerBit + extra; }

// Offers the token of `bytes` bytes at `distance` (0: literals) from slot
// `from`, costing `cost` price units.
void Relax(const Stretch& s, std::size_t from, std::uint32_t base, std::size_t bytes, std::size_t distance,
           std::uint32_t cost) {
  const std::size_t to = from + bytes;
  const std::uint32_t price = base + cost;
  if (price < Load32(s.price, to)) {
    Store32(s.price, to, price);
    Store16(s.step, 2 * to, static_cast<std::uint16_t>(bytes - 1));
    Store16(s.step, 2 * to + 1, static_cast<std::uint16_t>(distance));
  }
}

// Emits the cheapest path to slot `slots` of the block starting at p.
void EmitPath(const Stretch& s, std::size_t p, std::size_t slots) {
  std::size_t count = 0;
  for (std::size_t slot = slots; slot > 0; slot -= std::size_t{Load16(s.step, 2 * slot)} + 1) {
    Store32(s.path, count++, static_cast<std::uint32_t>(slot));
  }
  std::size_t start = 0;
  while (count > 0) {
    const std::size_t slot = Load32(s.path, --count);
    const std::size_t distance = Load16(s.step, 2 * slot + 1);
    const std::size_t bytes = slot - start;
    if (distance == 0) {
      EmitLiterals(s.out, At(s, p + start), bytes);
    } else {
      EmitPiece(s.out, bytes, distance);
    }
    start = slot;
  }
}

// Offers every copy and the single literal that start at slot `cur` of the
// block at p, whose last slot is `slots`. Among copies of the same length
// only the cheapest form is offered. Returns the match that ends the block
// early when it is at least nice_bytes long (bytes = 0 otherwise).
Match OfferTokens(const Stretch& s, std::size_t p, std::size_t cur, std::size_t slots, const LevelParams& params) {
  const std::uint32_t base = Load32(s.price, cur);
  const std::size_t room = slots - cur;
  Relax(s, cur, base, 1, 0, Price(kLiteralBits, s.extra.literal));
  const std::size_t pos = p + cur;
  const Match short_copy = FindShortAt(s, pos);
  const Slots pos_slots = SlotsAt(s, pos);
  const Reaches r = FindReaches(s, pos, pos_slots, params);
  InsertAt(s, pos, pos_slots);
  if (r.far.bytes >= params.nice_bytes) return r.far;
  const std::uint32_t short_price = Price(kShortBits, s.extra.control);
  const std::uint32_t medium_price = Price(kMediumBits, s.extra.control);
  const std::uint32_t long_price = Price(kLongBits, s.extra.control);
  std::size_t n = kShortBase;
  for (; n <= short_copy.bytes && n <= room; ++n) Relax(s, cur, base, n, short_copy.distance, short_price);
  if (n < kMediumBase) n = kMediumBase;
  for (; n <= r.medium.bytes && n <= kMediumMaxBytes && n <= room; ++n) {
    Relax(s, cur, base, n, r.medium.distance, medium_price);
  }
  if (n < kLongBase) n = kLongBase;
  for (; n <= r.far.bytes && n <= kLongMaxBytes && n <= room; ++n) Relax(s, cur, base, n, r.far.distance, long_price);
  if (r.far.bytes >= kLong1KBytes && room >= kLong1KBytes) {
    Relax(s, cur, base, kLong1KBytes, r.far.distance, long_price);
  }
  return Match{0, 0};
}

// A literal run of n bytes costs 9 + 8n bits and one token's decode time,
// so with a price less 8 bits per byte before it, every run ending at a slot
// costs the same: the
// best run is the one from the cheapest such price 9 to 40 slots back. The
// window keeps those slots in rising order of that price (a monotonic
// queue), so each slot costs O(1) however long runs are.
struct RunWindow {
  static constexpr std::size_t kSlots = 64;
  static_assert(kSlots > kMaxRunBytes - kRunBase + 1, "the window holds every start a run may have");
  std::uint32_t start[kSlots];
  std::size_t first;
  std::size_t last;
};

std::int64_t RunPrice(const Stretch& s, std::size_t slot) {
  constexpr std::int64_t kByteUnits = std::int64_t{8} * kPriceUnitsPerBit;
  return std::int64_t{Load32(s.price, slot)} - kByteUnits * static_cast<std::int64_t>(slot);
}

// Offers the best literal run that ends at slot `cur`.
void OfferRun(const Stretch& s, RunWindow* w, std::size_t cur) {
  if (cur >= kRunBase) {
    const std::size_t start = cur - kRunBase;
    const std::int64_t price = RunPrice(s, start);
    while (w->last > w->first && RunPrice(s, w->start[(w->last - 1) % RunWindow::kSlots]) >= price) --w->last;
    w->start[w->last++ % RunWindow::kSlots] = static_cast<std::uint32_t>(start);
  }
  while (w->last > w->first && w->start[w->first % RunWindow::kSlots] + kMaxRunBytes < cur) ++w->first;
  if (w->last == w->first) return;
  const std::size_t start = w->start[w->first % RunWindow::kSlots];
  const std::size_t bytes = cur - start;
  Relax(s, start, Load32(s.price, start), bytes, 0,
        Price(static_cast<std::uint32_t>(kRunControlBits + 8 * bytes), s.extra.control));
}

}  // namespace

void ParseOptimal(const Stretch& s, const LevelParams& params) {
  PrimeChains(s);
  std::size_t p = s.begin;
  while (p < s.end) {
    const std::size_t left = s.end - p;
    const std::size_t slots = left < kOptBlockBytes ? left : kOptBlockBytes;
    Store32(s.price, 0, 0);
    for (std::size_t slot = 1; slot <= slots; ++slot) Store32(s.price, slot, kNoPrice);
    RunWindow runs;
    runs.first = runs.last = 0;
    std::size_t cur = 0;
    Match taken{0, 0};
    for (;; ++cur) {
      // Every token into `cur` has been offered: its price is final.
      OfferRun(s, &runs, cur);
      if (cur == slots) break;
      taken = OfferTokens(s, p, cur, slots, params);
      if (taken.bytes != 0) break;
    }
    EmitPath(s, p, cur);
    p += cur;
    if (taken.bytes == 0) continue;
    // A long match is taken whole: the block ends where it starts.
    const std::size_t covered = EmitMatch(s.out, taken);
    for (std::size_t k = 1; k < covered; ++k) Insert(s, p + k);
    p += covered;
  }
}

}  // namespace writer

}  // namespace kx
