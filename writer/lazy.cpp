// Levels 2 to 8, the greedy and lazy parsers: hash chains.

#include "writer/encode_internal.h"

namespace kx {

namespace writer {

namespace {

// The match at the position a table of last positions holds in `slot`,
// when it is within the window and at least min_bytes long (bytes = 0
// otherwise).
Match LastMatch(const Stretch& s, std::size_t p, const std::uint8_t* table, std::size_t slot, std::size_t min_bytes,
                std::size_t limit) {
  const std::uint32_t entry = Load32(table, slot);
  if (entry == kNoPosition || p - (entry - 1u) > kWindowBytes) return Match{0, 0};
  const std::size_t bytes = MatchBytes(At(s, entry - 1u), At(s, p), limit);
  return bytes < min_bytes ? Match{0, 0} : Match{bytes, p - (entry - 1u)};
}

// The best of the matches offered, by bits saved; on ties the first.
struct Best {
  Match match{0, 0};
  int saved = kMinSavedBits - 1;
  void Offer(const Match& m) {
    if (m.bytes == 0) return;
    const int bits = SavedBits(m);
    if (bits > saved) {
      match = m;
      saved = bits;
    }
  }
};

// The match at p that saves the most bits: short copies from the last 32
// bytes, the last positions with the same 3 and 4 bytes, then the hash
// chain. bytes = 0 when nothing saves at least kMinSavedBits.
//
// The chain runs from near to far, and at a given length a farther copy
// never costs less, so a candidate can only win by being longer than the
// best so far: one byte comparison at that length rejects most of them.
Match FindMatch(const Stretch& s, std::size_t p, const Slots& slots, std::uint32_t max_chain, std::size_t nice_bytes) {
  const std::size_t limit = Limit(s, p);
  Best best;
  best.Offer(FindShortAt(s, p));
  if (limit < kHashedBytes) return best.match;
  best.Offer(LastMatch(s, p, s.near3, slots.near3, kMediumBase, limit));
  if (s.near4 != nullptr) best.Offer(LastMatch(s, p, s.near4, slots.near4, kMediumBase + 1, limit));
  const std::uint8_t* at = At(s, p);
  std::uint32_t entry = Load32(s.head, slots.chain);
  for (std::uint32_t steps = 0; entry != kNoPosition && steps < max_chain; ++steps) {
    const std::size_t q = entry - 1u;
    const std::size_t distance = p - q;
    const std::size_t longest = best.match.bytes;
    if (distance > kWindowBytes || longest >= limit || longest >= nice_bytes) break;
    const std::uint8_t* from = At(s, q);
    if (from[longest] == at[longest]) {
      const std::size_t bytes = MatchBytes(from, at, limit);
      if (bytes > longest && bytes >= kMediumBase) best.Offer(Match{bytes, distance});
    }
    entry = NextEntry(s, q);
  }
  return best.match;
}

// Enters the positions a copy covers after its first. In a long copy both
// ends are entered and every fourth byte between: its middle repeats what
// came before, so matches found there are seldom needed, and entering every
// byte of a flat picture would cost more than the rest of its parse. On the
// benchmark's illustration at the default level: every byte, 61.2 KB in
// 20 ms; every fourth, 62.5 KB in 8 ms; the ends only, 71.9 KB in 5 ms.
constexpr std::size_t kInsertEveryBytes = 64;
constexpr std::size_t kInsertEndBytes = 16;
constexpr std::size_t kInsertStrideBytes = 4;

void InsertCovered(const Stretch& s, std::size_t p, std::size_t covered) {
  if (covered <= kInsertEveryBytes) {
    for (std::size_t k = 1; k < covered; ++k) Insert(s, p + k);
    return;
  }
  for (std::size_t k = 1; k <= kInsertEndBytes; ++k) Insert(s, p + k);
  for (std::size_t k = kInsertEndBytes + kInsertStrideBytes; k < covered - kInsertEndBytes; k += kInsertStrideBytes) {
    Insert(s, p + k);
  }
  for (std::size_t k = covered - kInsertEndBytes; k < covered; ++k) Insert(s, p + k);
}

}  // namespace

void ParseChained(const Stretch& s, const LevelParams& params) {
  PrimeChains(s);
  const bool lazy = params.parser == Parser::kLazy;
  std::size_t p = s.begin;
  std::size_t literal_start = p;
  Slots slots = SlotsAt(s, p);
  Match m = FindMatch(s, p, slots, params.max_chain, params.nice_bytes);
  while (p < s.end) {
    InsertAt(s, p, slots);
    if (m.bytes == 0) {
      ++p;
      if (p < s.end) {
        slots = SlotsAt(s, p);
        m = FindMatch(s, p, slots, params.max_chain, params.nice_bytes);
      }
      continue;
    }
    if (lazy && m.bytes < params.lazy_max_bytes && p + 1 < s.end) {
      const std::uint32_t chain = m.bytes >= params.good_bytes ? params.max_chain / 4 : params.max_chain;
      const Slots next_slots = SlotsAt(s, p + 1);
      const Match next = FindMatch(s, p + 1, next_slots, chain > 0 ? chain : 1, params.nice_bytes);
      if (SavedBits(next) > SavedBits(m) + kLazyMarginBits) {
        ++p;
        slots = next_slots;
        m = next;
        continue;
      }
    }
    EmitLiterals(s.out, At(s, literal_start), p - literal_start);
    const std::size_t covered = EmitMatch(s.out, m);
    InsertCovered(s, p, covered);
    p += covered;
    literal_start = p;
    if (p < s.end) {
      slots = SlotsAt(s, p);
      m = FindMatch(s, p, slots, params.max_chain, params.nice_bytes);
    }
  }
  EmitLiterals(s.out, At(s, literal_start), s.end - literal_start);
}

}  // namespace writer

}  // namespace kx
