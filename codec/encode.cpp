#include "codec/encode.h"

#include <cstring>

#include "codec/decompress.h"
#include "codec/kx_format.h"
#include "codec/kx_stream.h"

namespace {

// Token forms and their limits, as the decoder reads them (the two long
// lengths, kLong1KBytes and kLong4KBytes, come from codec/kx_stream.h).
constexpr std::size_t kShortMaxDistance = 32;
constexpr std::size_t kMediumMaxDistance = 1024;
constexpr std::size_t kShortMinBytes = 2;
constexpr std::size_t kShortMaxBytes = 4;
constexpr std::size_t kCopyMinBytes = 3;  // medium and long copies
constexpr std::size_t kMediumMaxBytes = 18;
constexpr std::size_t kLongMaxBytes = 256;  // d = 0..0xFD gives 3..256
constexpr std::size_t kMaxCopyBytes = kLong4KBytes;
constexpr std::size_t kRunMinBytes = 9;
constexpr std::size_t kRunMaxBytes = 40;
constexpr unsigned kTokensPerFlag = 8;

// What each token costs in the stream, in bits, its flag bit included.
constexpr int kShortBits = 9;
constexpr int kMediumBits = 17;
constexpr int kLongBits = 25;

// A match is taken only when it saves at least this many bits over sending
// its bytes as 8-bit literals. This turns away the one losing form, a
// 3-byte long copy (25 bits for 24), while a 2-byte short copy (9 bits for
// 16) still counts.
constexpr int kMinSavedBits = 1;
// The lazy step prefers the match one byte further on only when it saves
// more than this many bits beyond the current one. Close calls stay with the
// current match, whose tail may still pair with what follows; on
// photographs a margin of two bytes' worth gave the smallest files (margins
// of 0 to 8 bits made files up to 1% larger).
constexpr int kLazyMarginBits = 16;

// Matches are found on the bytes the decoder produces before its delta
// step. Those bytes are made in a sliding buffer: the window the copies may
// reach into, a stretch to fill at once, and the longest match beyond the
// current position, plus the position after it (the lazy step) and the 3
// bytes a hash reads.
constexpr std::size_t kWindowBytes = kMaxDistance;
constexpr std::size_t kFillBytes = 65536;
constexpr std::size_t kLookaheadBytes = kMaxCopyBytes + 8;
constexpr std::size_t kDeltaBufferBytes = kWindowBytes + kFillBytes + kLookaheadBytes;
static_assert(kFillBytes >= kWindowBytes + kLookaheadBytes, "a slide must not overlap itself");

// Hash heads: 2^15 chains keep most 3-byte values of a window apart.
constexpr unsigned kHashBits = 15;
constexpr std::size_t kHashHeads = std::size_t{1} << kHashBits;
constexpr std::size_t kHashedBytes = 3;
// Positions are stored plus one, so that 0 marks an empty slot. The largest
// picture has 201,326,592 bytes, so 32 bits hold every position.
constexpr std::uint32_t kNoPosition = 0;

constexpr std::size_t kHeadTableBytes = kHashHeads * sizeof(std::uint32_t);
constexpr std::size_t kChainTableBytes = kWindowBytes * sizeof(std::uint32_t);
constexpr std::size_t kWorkBytes = kHeadTableBytes + kChainTableBytes + kDeltaBufferBytes;

// Matches longer than 256 bytes are cut by the token forms into pieces of
// 4096, 1024 and 256 bytes, so looking on for them seldom pays: on flat art
// such searches picked worse matches. Only level 9 looks beyond 256.
struct LevelParams {
  std::uint32_t max_chain;     // hash-chain entries followed per search
  std::size_t nice_bytes;      // a match this long ends the search
  bool lazy;                   // look one position ahead before taking a match
  std::size_t lazy_max_bytes;  // ... only when the match is shorter than this
  std::size_t good_bytes;      // a match this long quarters the look-ahead search
  std::size_t short_probes;    // distances 1..N tried for 2-byte short copies
};

constexpr LevelParams kLevels[kMaxEncodeLevel] = {
    {4, 16, false, 0, 0, 3},
    {8, 32, false, 0, 0, 6},
    {16, 64, false, 0, 0, 32},
    {32, 128, false, 0, 0, 32},
    {32, 128, true, 32, 16, 32},
    {64, 256, true, 128, 32, 32},
    {256, 256, true, 256, 64, 32},
    {1024, 256, true, 1024, 256, 32},
    {4096, kMaxCopyBytes, true, kMaxCopyBytes, kMaxCopyBytes, 32},
};

const LevelParams& ParamsFor(int level) {
  if (level < kMinEncodeLevel) level = kMinEncodeLevel;
  if (level > kMaxEncodeLevel) level = kMaxEncodeLevel;
  return kLevels[level - 1];
}

// The work memory holds 32-bit tables at any alignment; memcpy turns into a
// plain load or store and keeps the accesses well defined.
std::uint32_t Load32(const std::uint8_t* table, std::size_t index) {
  std::uint32_t v;
  std::memcpy(&v, table + index * sizeof v, sizeof v);
  return v;
}

void Store32(std::uint8_t* table, std::size_t index, std::uint32_t v) {
  std::memcpy(table + index * sizeof v, &v, sizeof v);
}

// A back-reference: `bytes` bytes from `distance` back.
struct Match {
  std::size_t bytes;
  std::size_t distance;
};

// The longest copy one token can make at `distance` for a match of
// `remaining` bytes; 0 when none fits.
std::size_t PieceBytes(std::size_t remaining, std::size_t distance) {
  if (distance <= kShortMaxDistance && remaining >= kShortMinBytes && remaining <= kShortMaxBytes) return remaining;
  if (remaining < kCopyMinBytes) return 0;
  if (distance <= kMediumMaxDistance && remaining <= kMediumMaxBytes) return remaining;
  if (remaining >= kLong4KBytes) return kLong4KBytes;
  if (remaining >= kLong1KBytes) return kLong1KBytes;
  return remaining < kLongMaxBytes ? remaining : kLongMaxBytes;
}

int PieceBits(std::size_t piece_bytes, std::size_t distance) {
  if (distance <= kShortMaxDistance && piece_bytes <= kShortMaxBytes) return kShortBits;
  if (distance <= kMediumMaxDistance && piece_bytes <= kMediumMaxBytes) return kMediumBits;
  return kLongBits;
}

// How a match is sent: the bytes its tokens cover (a tail of 1 or 2 bytes
// that no copy at this distance can take is left for the next step) and the
// bits those tokens cost.
struct Plan {
  std::size_t bytes;
  int bits;
};

Plan PlanMatch(const Match& m) {
  Plan plan{0, 0};
  for (;;) {
    const std::size_t piece = PieceBytes(m.bytes - plan.bytes, m.distance);
    if (piece == 0) return plan;
    plan.bytes += piece;
    plan.bits += PieceBits(piece, m.distance);
  }
}

// Bits saved over sending the covered bytes as plain 8-bit literals. A match
// of at most 4096 bytes is at most 17 tokens, so this stays small.
int SavedBits(const Match& m) {
  if (m.bytes == 0) return 0;
  const Plan plan = PlanMatch(m);
  return static_cast<int>(plan.bytes) * 8 - plan.bits;
}

// The stream under construction: tokens go in groups of eight behind a flag
// byte whose bits, most significant first, say which tokens are copies or
// runs (1) and which single literals (0).
struct TokenWriter {
  std::uint8_t* dst;
  std::size_t at;
  std::size_t flag_at;
  unsigned tokens_in_group;
};

void BeginToken(TokenWriter* w, bool flag) {
  if (w->tokens_in_group == kTokensPerFlag) {
    w->flag_at = w->at++;
    w->dst[w->flag_at] = 0;
    w->tokens_in_group = 0;
  }
  if (flag) w->dst[w->flag_at] = static_cast<std::uint8_t>(w->dst[w->flag_at] | (0x80u >> w->tokens_in_group));
  ++w->tokens_in_group;
}

void PutByte(TokenWriter* w, std::size_t value) { w->dst[w->at++] = static_cast<std::uint8_t>(value); }

void EmitPiece(TokenWriter* w, std::size_t piece_bytes, std::size_t distance) {
  BeginToken(w, true);
  const std::size_t d = distance - 1;
  if (distance <= kShortMaxDistance && piece_bytes <= kShortMaxBytes) {
    PutByte(w, (d << 2) | (piece_bytes - kShortMinBytes));
  } else if (distance <= kMediumMaxDistance && piece_bytes <= kMediumMaxBytes) {
    PutByte(w, 0x80 | (d >> 4));
    PutByte(w, ((d & 0x0F) << 4) | (piece_bytes - kCopyMinBytes));
  } else {
    PutByte(w, 0xC0 | (d >> 8));
    PutByte(w, d & 0xFF);
    if (piece_bytes == kLong4KBytes) {
      PutByte(w, 0xFF);
    } else if (piece_bytes == kLong1KBytes) {
      PutByte(w, 0xFE);
    } else {
      PutByte(w, piece_bytes - kCopyMinBytes);
    }
  }
}

// The byte the decoder must produce at `p` before its delta step.
std::uint8_t StreamByte(const std::uint8_t* pixels, std::size_t p, bool delta) {
  if (!delta || p < static_cast<std::size_t>(kBytesPerPixel)) return pixels[p];
  return static_cast<std::uint8_t>(pixels[p] - pixels[p - static_cast<std::size_t>(kBytesPerPixel)]);
}

struct Encoder {
  const std::uint8_t* pixels;
  std::size_t total_bytes;
  bool delta;
  LevelParams params;
  std::uint8_t* head;   // kHashHeads positions plus one
  std::uint8_t* chain;  // per position modulo the window: the previous one with its hash, plus one
  std::uint8_t* buffer;
  std::size_t base;       // position of buffer[0]
  std::size_t made_end;   // positions below this are in the buffer
  std::size_t literal_start;
  std::size_t literal_bytes;
  TokenWriter out;
};

// Makes the bytes from `p` - window to `p` + look-ahead available in the
// buffer, sliding it forward when the look-ahead would not fit. A slide
// moves at least kFillBytes forward and keeps at most the window and the
// look-ahead, fewer bytes than that, so source and destination never
// overlap.
void Reach(Encoder* e, std::size_t p) {
  if (p + kLookaheadBytes > e->base + kDeltaBufferBytes && e->made_end < e->total_bytes) {
    const std::size_t new_base = p - kWindowBytes;
    std::memcpy(e->buffer, e->buffer + (new_base - e->base), e->made_end - new_base);
    e->base = new_base;
  }
  const std::size_t buffer_end = e->base + kDeltaBufferBytes;
  const std::size_t end = buffer_end < e->total_bytes ? buffer_end : e->total_bytes;
  for (; e->made_end < end; ++e->made_end) {
    e->buffer[e->made_end - e->base] = StreamByte(e->pixels, e->made_end, e->delta);
  }
}

const std::uint8_t* At(const Encoder& e, std::size_t p) { return e.buffer + (p - e.base); }

std::size_t HashAt(const Encoder& e, std::size_t p) {
  const std::uint8_t* b = At(e, p);
  const std::uint32_t key = b[0] | (std::uint32_t{b[1]} << 8) | (std::uint32_t{b[2]} << 16);
  return (key * 0x9E3779B1u) >> (32 - kHashBits);
}

// Enters position p into its hash chain. Positions must come in rising
// order; chain slots are reused after one window, which only drops entries
// too far back to be copied from anyway.
void Insert(Encoder* e, std::size_t p) {
  if (p + kHashedBytes > e->total_bytes) return;
  const std::size_t h = HashAt(*e, p);
  Store32(e->chain, p % kWindowBytes, Load32(e->head, h));
  Store32(e->head, h, static_cast<std::uint32_t>(p + 1));
}

// How many bytes from `p` repeat those from `q` (q < p), up to `limit`.
// Both stretches lie in the buffer. Eight bytes are compared at a time
// while they agree.
std::size_t MatchBytes(const Encoder& e, std::size_t q, std::size_t p, std::size_t limit) {
  const std::uint8_t* a = At(e, q);
  const std::uint8_t* b = At(e, p);
  std::size_t n = 0;
  while (n + sizeof(std::uint64_t) <= limit) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a + n, sizeof x);
    std::memcpy(&y, b + n, sizeof y);
    if (x != y) break;
    n += sizeof x;
  }
  while (n < limit && a[n] == b[n]) ++n;
  return n;
}

// The match at position p that saves the most bits, nearest first on ties:
// the hash chain for 3 bytes and more, then short distances for 2 bytes.
// bytes = 0 when nothing saves at least kMinSavedBits.
//
// The chain runs from near to far, and at a given length a farther copy
// never costs less, so a candidate can only win by being longer than the
// best so far: one byte comparison at that length rejects most of them.
Match FindMatch(Encoder* e, std::size_t p, std::uint32_t max_chain) {
  Reach(e, p);
  Match best{0, 0};
  int best_saved = kMinSavedBits - 1;
  const std::size_t left_bytes = e->total_bytes - p;
  const std::size_t limit = left_bytes < kMaxCopyBytes ? left_bytes : kMaxCopyBytes;
  if (limit >= kHashedBytes) {
    std::uint32_t entry = Load32(e->head, HashAt(*e, p));
    for (std::uint32_t steps = 0; entry != kNoPosition && steps < max_chain; ++steps) {
      const std::size_t q = entry - 1u;
      const std::size_t distance = p - q;
      if (distance > kWindowBytes) break;
      if (best.bytes >= limit) break;
      const std::size_t bytes = At(*e, q)[best.bytes] == At(*e, p)[best.bytes] ? MatchBytes(*e, q, p, limit) : 0;
      if (bytes >= kCopyMinBytes && bytes > best.bytes) {
        const Match m{bytes, distance};
        const int saved = SavedBits(m);
        if (saved > best_saved) {
          best = m;
          best_saved = saved;
          if (bytes >= e->params.nice_bytes) return best;
        }
      }
      entry = Load32(e->chain, q % kWindowBytes);
    }
  }
  // A 2-byte short copy saves 7 bits; anything the chain found that saves
  // that much or more is at least as good.
  if (limit >= kShortMinBytes && best_saved < 8 * static_cast<int>(kShortMinBytes) - kShortBits) {
    const std::size_t probes = e->params.short_probes < p ? e->params.short_probes : p;
    for (std::size_t distance = 1; distance <= probes; ++distance) {
      const Match m{MatchBytes(*e, p - distance, p, limit), distance};
      if (m.bytes < kShortMinBytes) continue;
      const int saved = SavedBits(m);
      if (saved > best_saved) {
        best = m;
        best_saved = saved;
      }
    }
  }
  return best;
}

// Sends the pending literals: single tokens when fewer than a run's
// minimum, otherwise runs of 9 to 40 bytes (a run costs one control byte
// instead of a flag bit per byte).
void FlushLiterals(Encoder* e) {
  std::size_t p = e->literal_start;
  std::size_t left = e->literal_bytes;
  if (left < kRunMinBytes) {
    for (; left > 0; --left, ++p) {
      BeginToken(&e->out, false);
      PutByte(&e->out, StreamByte(e->pixels, p, e->delta));
    }
  }
  while (left > 0) {
    // Leave at least a run's minimum for the last run.
    std::size_t run = left;
    if (left > kRunMaxBytes) run = left - kRunMaxBytes >= kRunMinBytes ? kRunMaxBytes : left - kRunMinBytes;
    BeginToken(&e->out, true);
    PutByte(&e->out, ((run - kRunMinBytes) << 2) | 3);
    for (std::size_t k = 0; k < run; ++k) PutByte(&e->out, StreamByte(e->pixels, p + k, e->delta));
    p += run;
    left -= run;
  }
  e->literal_bytes = 0;
}

void AddLiteral(Encoder* e, std::size_t p) {
  if (e->literal_bytes == 0) e->literal_start = p;
  ++e->literal_bytes;
}

// Sends the match at p; returns the bytes it covered.
std::size_t EmitMatch(Encoder* e, const Match& m) {
  FlushLiterals(e);
  std::size_t done = 0;
  for (;;) {
    const std::size_t piece = PieceBytes(m.bytes - done, m.distance);
    if (piece == 0) return done;
    EmitPiece(&e->out, piece, m.distance);
    done += piece;
  }
}

void Parse(Encoder* e) {
  const LevelParams& params = e->params;
  std::size_t p = 0;
  Match m = FindMatch(e, p, params.max_chain);
  while (p < e->total_bytes) {
    Insert(e, p);
    if (m.bytes == 0) {
      AddLiteral(e, p);
      ++p;
      if (p < e->total_bytes) m = FindMatch(e, p, params.max_chain);
      continue;
    }
    const Plan plan = PlanMatch(m);
    if (params.lazy && plan.bytes < params.lazy_max_bytes && p + 1 < e->total_bytes) {
      const std::uint32_t chain = plan.bytes >= params.good_bytes ? params.max_chain / 4 : params.max_chain;
      const Match next = FindMatch(e, p + 1, chain > 0 ? chain : 1);
      if (SavedBits(next) > SavedBits(m) + kLazyMarginBits) {
        AddLiteral(e, p);
        ++p;
        m = next;
        continue;
      }
    }
    const std::size_t covered = EmitMatch(e, m);
    for (std::size_t k = 1; k < covered; ++k) Insert(e, p + k);
    p += covered;
    if (p < e->total_bytes) m = FindMatch(e, p, params.max_chain);
  }
  FlushLiterals(e);
}

void PutLe16(std::uint8_t* p, std::int32_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}

bool SizeInRange(std::int32_t width, std::int32_t height) {
  return width >= 1 && width <= kMaxDimension && height >= 1 && height <= kMaxDimension;
}

}  // namespace

std::size_t EncodeBoundBytes(std::int32_t width, std::int32_t height) {
  if (!SizeInRange(width, height)) return 0;
  // Every token but a run writes at most as many bytes as it produces, a
  // run one more, and each token takes one flag bit. Since a run produces at
  // least 8 bytes more than its one token, runs and flag bits together add
  // at most one byte per 8 produced.
  const std::uint64_t total_bytes =
      std::uint64_t{3} * static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
  return static_cast<std::size_t>(kHeaderBytes + total_bytes + (total_bytes + 7) / 8);
}

std::size_t EncodeWorkBytes(const EncodeOptions&) { return kWorkBytes; }

std::size_t EncodeImage(const std::uint8_t* pixels, std::int32_t width, std::int32_t height,
                        const EncodeOptions& options, std::uint8_t* work, std::uint8_t* dst,
                        std::size_t dst_capacity) {
  if (pixels == nullptr || work == nullptr || dst == nullptr) return 0;
  const std::size_t bound_bytes = EncodeBoundBytes(width, height);
  if (bound_bytes == 0 || dst_capacity < bound_bytes) return 0;

  dst[0] = 'K';
  dst[1] = 'X';
  dst[2] = options.delta ? kAcceptedCoding : static_cast<std::uint8_t>(kAcceptedCoding & ~kDeltaCodingBit);
  dst[3] = static_cast<std::uint8_t>(kBytesPerPixel);
  std::memset(dst + 4, 0, 8);
  PutLe16(dst + 12, width);
  PutLe16(dst + 14, height);

  Encoder e{};
  e.pixels = pixels;
  e.total_bytes = std::size_t{3} * static_cast<std::uint32_t>(width) * static_cast<std::uint32_t>(height);
  e.delta = options.delta;
  e.params = ParamsFor(options.level);
  e.head = work;
  e.chain = work + kHeadTableBytes;
  e.buffer = work + kHeadTableBytes + kChainTableBytes;
  std::memset(e.head, 0, kHeadTableBytes);  // every chain starts empty
  e.out = TokenWriter{dst, kHeaderBytes, 0, kTokensPerFlag};
  Parse(&e);
  return e.out.at;
}
