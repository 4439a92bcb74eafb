#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "codec/format/kx_format.h"
#include "codec/format/kx_stream.h"
#include "codec/reference/decompress.h"
#include "tests/support/kx_build.h"
#include "tests/support/reference_decoder.h"
#include "writer/encode.h"
#include "writer/encode_internal.h"
#include "writer/threaded_encode.h"

using namespace kx;

namespace {

constexpr std::size_t kGuardBytes = 32;
constexpr std::uint8_t kGuard = 0xA5;

struct Picture {
  std::string name;
  int width;
  int height;
  Bytes pixels;
};

std::size_t TotalBytes(int width, int height) { return std::size_t(width) * std::size_t(height) * 3; }

Picture Flat(int width, int height, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
  Picture p{"flat", width, height, Bytes(TotalBytes(width, height))};
  for (std::size_t k = 0; k < p.pixels.size(); k += 3) {
    p.pixels[k] = b;
    p.pixels[k + 1] = g;
    p.pixels[k + 2] = r;
  }
  return p;
}

Picture Noise(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  return {"noise", width, height, RandomBytes(rng, TotalBytes(width, height))};
}

// Smooth in both directions, so the delta step leaves small, repeating
// differences.
Picture Gradient(int width, int height) {
  Picture p{"gradient", width, height, Bytes(TotalBytes(width, height))};
  std::size_t k = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      p.pixels[k++] = static_cast<std::uint8_t>(x);
      p.pixels[k++] = static_cast<std::uint8_t>(y);
      p.pixels[k++] = static_cast<std::uint8_t>((x + y) / 2);
    }
  }
  return p;
}

// Like a photograph: smooth shading with a little sensor noise on top.
Picture PhotoLike(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> grain(-3, 3);
  Picture p{"photo-like", width, height, Bytes(TotalBytes(width, height))};
  std::size_t k = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double shade = 128 + 60 * std::sin(x / 23.0) * std::cos(y / 31.0);
      for (int lane = 0; lane < 3; ++lane) {
        const int v = static_cast<int>(shade) + 20 * lane + grain(rng);
        p.pixels[k++] = static_cast<std::uint8_t>(std::clamp(v, 0, 255));
      }
    }
  }
  return p;
}

// Flat colours in blocks and stripes, with a noisy band and a small repeated
// motif: every token form has somewhere to pay.
Picture FlatArt(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  Picture p{"flat-art", width, height, Bytes(TotalBytes(width, height))};
  std::size_t k = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      std::uint8_t c[3] = {250, 250, 250};
      if (y < height / 4) {
        c[0] = static_cast<std::uint8_t>(rng());
        c[1] = static_cast<std::uint8_t>(rng());
        c[2] = static_cast<std::uint8_t>(rng());
      } else if ((x / 7 + y / 5) % 3 == 0) {
        c[0] = 200;
        c[1] = static_cast<std::uint8_t>(x % 5 * 9);
        c[2] = 30;
      } else if (x > width / 2) {
        c[0] = 10;
        c[1] = 120;
        c[2] = 40;
      }
      for (int lane = 0; lane < 3; ++lane) p.pixels[k++] = c[lane];
    }
  }
  return p;
}

// What the stream holds, token by token, and the first thing wrong with it
// for a careful writer: a copy reaching before the output, a token reaching
// past its end, a stream that stops short or has bytes left over.
struct Audit {
  std::string error;
  std::size_t literals = 0;
  std::size_t runs = 0;
  std::size_t shorts = 0;
  std::size_t mediums = 0;
  std::size_t longs = 0;
  std::size_t longs_1k = 0;
  std::size_t longs_4k = 0;
  std::size_t farthest_copy_bytes = 0;  // produced by copies from 16,384 back
  std::vector<std::size_t> runs_of_length = std::vector<std::size_t>(41);  // by the run's bytes, 9..40
};

Audit AuditStream(const Bytes& file, std::size_t total) {
  Audit a;
  std::size_t j = kHeaderBytes;
  std::size_t i = 0;
  unsigned flags = 0;
  int flags_left = 0;
  auto fail = [&](const std::string& why) {
    a.error = why + " at output byte " + std::to_string(i) + ", input byte " + std::to_string(j);
    return a;
  };
  while (i < total) {
    if (flags_left == 0) {
      if (j >= file.size()) return fail("stream ends before the picture does");
      flags = file[j++];
      flags_left = 8;
    }
    const bool flag = (flags & 0x80) != 0;
    flags <<= 1;
    --flags_left;
    if (j >= file.size()) return fail("stream ends before the picture does");
    if (!flag) {
      ++a.literals;
      ++i;
      ++j;
      continue;
    }
    const std::uint8_t b = file[j++];
    std::size_t distance = 0;
    std::size_t length = 0;
    if (b < 0x80 && (b & 3) == 3) {
      length = (b >> 2) + 9u;
      if (j + length > file.size()) return fail("literal run cut by the end of the stream");
      if (i + length > total) return fail("literal run past the end of the picture");
      ++a.runs;
      ++a.runs_of_length[length];
      i += length;
      j += length;
      continue;
    }
    if (b < 0x80) {
      distance = (b >> 2) + 1u;
      length = (b & 3u) + 2;
      ++a.shorts;
    } else if (b < 0xC0) {
      if (j + 1 > file.size()) return fail("medium copy cut");
      const std::uint8_t c = file[j++];
      distance = ((b & 0x3Fu) << 4) + (c >> 4) + 1u;
      length = (c & 0x0Fu) + 3;
      ++a.mediums;
    } else {
      if (j + 2 > file.size()) return fail("long copy cut");
      const std::uint8_t c = file[j++];
      const std::uint8_t d = file[j++];
      distance = ((b & 0x3Fu) << 8) + c + 1u;
      length = d == 0xFE ? 1024 : d == 0xFF ? 4096 : d + 3u;
      ++(d == 0xFE ? a.longs_1k : d == 0xFF ? a.longs_4k : a.longs);
    }
    if (distance > i) return fail("copy reaches before the output");
    if (i + length > total) return fail("copy past the end of the picture");
    if (distance == kMaxDistance) a.farthest_copy_bytes += length;
    i += length;
  }
  if (j != file.size()) return fail(std::to_string(file.size() - j) + " bytes after the picture is complete");
  return a;
}

// Encodes with guard bytes after the bound, then checks everything a reader
// relies on. Returns the file, empty on failure (with the failures recorded).
Bytes EncodeChecked(const Picture& p, const EncodeOptions& options) {
  const std::string what = p.name + " " + std::to_string(p.width) + "x" + std::to_string(p.height) + " level " +
                           std::to_string(options.level) + (options.delta ? " delta" : " no delta") + " decode speed " +
                           std::to_string(options.decode_speed);
  const std::size_t bound = EncodeBoundBytes(p.width, p.height);
  Bytes work(EncodeWorkBytes(options), 0xEE);
  Bytes dst(bound + kGuardBytes, kGuard);
  Bytes pixels(p.pixels);  // an exact-size block, so reads past it are caught
  const std::size_t written =
      EncodeImage(pixels.data(), p.width, p.height, options, work.data(), dst.data(), bound);
  EXPECT_GT(written, kHeaderBytes) << what;
  EXPECT_LE(written, bound) << what;
  EXPECT_TRUE(std::all_of(dst.begin() + bound, dst.end(), [](std::uint8_t b) { return b == kGuard; })) << what;
  EXPECT_EQ(pixels, p.pixels) << what << ": the input was changed";
  if (written <= kHeaderBytes || written > bound) return {};
  dst.resize(written);

  EXPECT_EQ(Bytes(dst.begin(), dst.begin() + kHeaderBytes), MakeHeader(p.width, p.height, options.delta ? 0x83 : 0x03))
      << what;
  EXPECT_EQ(CheckHeader(dst.data()), options.delta ? 1 : 0) << what;

  const Audit audit = AuditStream(dst, p.pixels.size());
  EXPECT_EQ(audit.error, "") << what;

  Bytes out(p.pixels.size(), 0xCC);
  const std::size_t produced = DecompressPixels(dst.data(), dst.size(), out.data(), out.size());
  EXPECT_EQ(produced, p.pixels.size()) << what;
  EXPECT_EQ(FirstDifference(p.pixels, out), "") << what;
  // The byte-at-a-time reference agrees too: the file does not lean on a
  // quirk of the production decoder.
  const ReferenceResult reference = ReferenceDecode(dst, p.pixels.size());
  EXPECT_EQ(FirstDifference(p.pixels, reference.pixels), "") << what << " (reference decoder)";
  return dst;
}

std::size_t EncodedSize(const Picture& p, int level, bool delta = true) {
  return EncodeChecked(p, EncodeOptions{level, delta}).size();
}

TEST(EncodeImage, RoundTripsPicturesOfManySizesAndKinds) {
  const std::pair<int, int> sizes[] = {{1, 1}, {2, 1}, {1, 2}, {3, 5}, {7, 3}, {33, 17}, {101, 9}, {257, 64}};
  unsigned seed = 1;
  for (const auto& [w, h] : sizes) {
    const Picture pictures[] = {Flat(w, h, 12, 200, 77), Noise(w, h, seed++), Gradient(w, h),
                                PhotoLike(w, h, seed++), FlatArt(w, h, seed++)};
    for (const Picture& p : pictures) {
      for (const bool delta : {true, false}) {
        EncodeChecked(p, EncodeOptions{kDefaultEncodeLevel, delta});
        EncodeChecked(p, EncodeOptions{kMinEncodeLevel, delta});
      }
    }
  }
}

TEST(EncodeImage, EveryLevelRoundTrips) {
  // The first two are larger than the encoder's sliding buffer (84 KiB), so it slides.
  const Picture pictures[] = {PhotoLike(300, 120, 7), FlatArt(211, 150, 8), Noise(64, 40, 9), Flat(500, 40, 1, 2, 3)};
  for (const Picture& p : pictures) {
    for (int level = kMinEncodeLevel; level <= kMaxEncodeLevel; ++level) {
      for (const bool delta : {true, false}) EncodeChecked(p, EncodeOptions{level, delta});
    }
  }
}

TEST(EncodeImage, WidestAndTallestPictures) {
  for (const int level : {1, 6, 9}) {
    EncodeChecked(Gradient(kMaxDimension, 3), EncodeOptions{level, true});
    EncodeChecked(PhotoLike(kMaxDimension, 3, 11), EncodeOptions{level, true});
    EncodeChecked(Noise(kMaxDimension, 3, 12), EncodeOptions{level, false});
    EncodeChecked(FlatArt(1, kMaxDimension, 13), EncodeOptions{level, true});
  }
}

TEST(EncodeImage, UsesEveryTokenFormWhereItPays) {
  const Picture art = FlatArt(640, 480, 21);
  const Bytes file = EncodeChecked(art, EncodeOptions{});
  ASSERT_FALSE(file.empty());
  const Audit a = AuditStream(file, art.pixels.size());
  EXPECT_GT(a.literals, 0u);
  EXPECT_GT(a.runs, 0u) << "the noisy band is sent as runs";
  EXPECT_GT(a.shorts, 0u);
  EXPECT_GT(a.mediums, 0u);
  EXPECT_GT(a.longs, 0u);

  // A flat picture is the first pixel and then zeros: one long stretch at
  // distance 1, sent in 4096-byte copies and closed by a 1024-byte one when
  // the rest allows.
  const Picture flat = Flat(1000, 3, 9, 9, 9);  // 9000 bytes: room for two 4096s, less than 1024 left
  const Bytes flat_file = EncodeChecked(flat, EncodeOptions{});
  const Audit f = AuditStream(flat_file, flat.pixels.size());
  EXPECT_EQ(f.longs_4k, 2u);
  EXPECT_EQ(f.longs_1k, 0u);
  const Picture flat_1k = Flat(1708, 1, 9, 9, 9);  // 5124 bytes: 4 to start the zeros, then 4096 + 1024
  const Audit f1k = AuditStream(EncodeChecked(flat_1k, EncodeOptions{}), flat_1k.pixels.size());
  EXPECT_EQ(f1k.longs_4k, 1u);
  EXPECT_EQ(f1k.longs_1k, 1u);
}

// A sequence in which no two bytes follow each other twice (every pair of
// byte values once): literals made of it match nothing.
Bytes PairsOnce() {
  Bytes seq;
  std::vector<int> a(3, 0);
  // Lyndon words of length 1 and 2 over 256 values, in order.
  for (int x = 0; x < 256; ++x) {
    seq.push_back(static_cast<std::uint8_t>(x));
    for (int y = x + 1; y < 256; ++y) {
      seq.push_back(static_cast<std::uint8_t>(x));
      seq.push_back(static_cast<std::uint8_t>(y));
    }
  }
  return seq;
}

TEST(EncodeImage, FastLevelSendsLiteralsOfEveryCountBetweenCopies) {
  // Stretches of 0 to 40 unmatched literals, each followed by a copy of one
  // of six kinds (short from 3, 17 and 30 back; 5 bytes from 700 back, 6
  // from 9000 back, 20 from 2000 back), so that the literals waiting at a
  // copy fall at every place in a flag group, as single tokens (up to 8)
  // and as one run (9 to 31); 50 literals in a row after every round.
  const Bytes fresh = PairsOnce();
  ASSERT_EQ(fresh.size(), 65536u);
  std::size_t next = 0;
  Picture p{"literal-counts", 1000, 14, {}};
  const std::size_t total = TotalBytes(p.width, p.height);
  const auto literals = [&](std::size_t n) {
    for (std::size_t k = 0; k < n && p.pixels.size() < total; ++k) p.pixels.push_back(fresh[next++]);
  };
  const auto copy = [&](std::size_t bytes, std::size_t distance) {
    for (std::size_t k = 0; k < bytes && p.pixels.size() < total; ++k) {
      p.pixels.push_back(p.pixels[p.pixels.size() - distance]);
    }
  };
  literals(9000);
  const std::pair<std::size_t, std::size_t> kinds[] = {{2, 3}, {4, 17}, {3, 30}, {5, 700}, {6, 9000}, {20, 2000}};
  for (std::size_t round = 0; p.pixels.size() < total; ++round) {
    for (std::size_t n = 0; n <= 40; ++n) {
      literals(n);
      const auto& [bytes, distance] = kinds[(round + n) % std::size(kinds)];
      copy(bytes, distance);
    }
    literals(50);
  }
  const Bytes file = EncodeChecked(p, EncodeOptions{1, false});
  ASSERT_FALSE(file.empty());
  const Audit a = AuditStream(file, p.pixels.size());
  EXPECT_GT(a.literals, 0u);
  EXPECT_GT(a.shorts, 0u);
  EXPECT_GT(a.mediums, 0u);
  EXPECT_GT(a.longs, 0u);
  for (std::size_t length = kRunBase; length < 32; ++length) {
    EXPECT_GT(a.runs_of_length[length], 0u) << "no run of " << length << " bytes";
  }
}

// The fewest bits any stream of the token forms can spend on `stream` (the
// bytes the decoder produces before its delta step), one flag bit per token
// included: the shortest path through every literal, run and copy at every
// distance and length. The file then takes ceil(bits / 8) bytes after its
// header.
std::uint64_t OptimalBits(const Bytes& stream) {
  const std::size_t n = stream.size();
  std::vector<std::uint64_t> best(n + 1, UINT64_MAX);
  best[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto offer = [&](std::size_t bytes, std::uint64_t bits) {
      best[i + bytes] = std::min(best[i + bytes], best[i] + bits);
    };
    offer(1, 9);
    for (std::size_t bytes = 9; bytes <= 40 && i + bytes <= n; ++bytes) offer(bytes, 9 + 8 * bytes);
    for (std::size_t distance = 1; distance <= i && distance <= kMaxDistance; ++distance) {
      std::size_t longest = 0;
      while (i + longest < n && stream[i + longest] == stream[i + longest - distance]) ++longest;
      for (std::size_t bytes = 2; bytes <= longest && bytes <= 256; ++bytes) {
        if (distance <= 32 && bytes <= 4) {
          offer(bytes, 9);
        } else if (bytes >= 3) {
          offer(bytes, distance <= 1024 && bytes <= 18 ? 17 : 25);
        }
      }
    }
  }
  return best[n];
}

TEST(EncodeImage, OptimalLevelSpendsTheFewestBytesAnyParseCan) {
  // Pictures of one parse block with no match long enough to be taken at
  // once, where the optimal level must meet the shortest path exactly.
  // Bytes from small alphabets repeat in 2 to 5 byte pieces at every
  // distance, as the grain of photographs does.
  std::mt19937 rng(41);
  for (const unsigned values : {5u, 20u, 60u}) {
    std::uniform_int_distribution<int> pick(0, static_cast<int>(values) - 1);
    Picture p{"alphabet-" + std::to_string(values), 60, 25, Bytes(TotalBytes(60, 25))};
    for (std::uint8_t& b : p.pixels) b = static_cast<std::uint8_t>(pick(rng) * 3);
    const Bytes file = EncodeChecked(p, EncodeOptions{kMaxEncodeLevel, false});
    EXPECT_EQ(file.size(), kHeaderBytes + (OptimalBits(p.pixels) + 7) / 8) << p.name;
  }
  const Picture photo = PhotoLike(50, 30, 42);
  EXPECT_EQ(EncodeChecked(photo, EncodeOptions{kMaxEncodeLevel, false}).size(),
            kHeaderBytes + (OptimalBits(photo.pixels) + 7) / 8);
}

TEST(EncodeImage, ReachesTheWholeWindowAcrossStretchJoins) {
  // A block of noise as long as the window, repeated: past the first block
  // everything is a copy from exactly 16,384 bytes back, also right after
  // a stretch join, where the copies reach into the stretch before. (The
  // fast level's single table probe may miss some; the chains must not.)
  std::mt19937 rng(31);
  const Bytes block = RandomBytes(rng, kMaxDistance);
  Picture p{"window-periodic", 4096, 32, {}};
  for (int k = 0; k < 24; ++k) p.pixels.insert(p.pixels.end(), block.begin(), block.end());
  ASSERT_EQ(p.pixels.size(), TotalBytes(p.width, p.height));
  ASSERT_GT(p.pixels.size(), kEncodeStretchBytes);
  for (const int level : {2, 6, 7, 9}) {
    const Bytes file = EncodeChecked(p, EncodeOptions{level, false});
    const Audit a = AuditStream(file, p.pixels.size());
    EXPECT_EQ(a.farthest_copy_bytes, p.pixels.size() - kMaxDistance) << "level " << level;
  }
}

// Pictures whose stretch joins fall inside long runs, inside repeating
// patterns and on noise, and whose last stretch is a few bytes long, or a
// whole one: every way of writing them gives the same file, the one
// EncodeImage writes, and it decodes exactly.
Picture Segmented(const std::string& name, int width, int height, unsigned seed,
                  const std::vector<std::pair<std::size_t, int>>& segments) {
  // Each segment runs from its start to the next one's: kind 0 is noise,
  // -1 one flat colour, P > 0 a pattern repeating every P bytes.
  std::mt19937 rng(seed);
  Picture p{name, width, height, Bytes(TotalBytes(width, height))};
  for (std::size_t k = 0; k < segments.size(); ++k) {
    const std::size_t from = std::min(segments[k].first, p.pixels.size());
    const std::size_t to = k + 1 < segments.size() ? std::min(segments[k + 1].first, p.pixels.size()) : p.pixels.size();
    const int kind = segments[k].second;
    const Bytes pattern = RandomBytes(rng, kind > 0 ? static_cast<std::size_t>(kind) : 1);
    for (std::size_t at = from; at < to; ++at) {
      p.pixels[at] = kind == 0 ? static_cast<std::uint8_t>(rng()) : kind < 0 ? std::uint8_t{77} : pattern[at % pattern.size()];
    }
  }
  return p;
}

// Encodes stretch by stretch through the public steps, last stretch first
// with one work buffer, and joins the streams in order.
Bytes EncodeByStretches(const Picture& p, const EncodeOptions& options, std::size_t* regrouped_joins) {
  const std::size_t count = EncodeStretchCount(p.width, p.height);
  const std::size_t room = EncodeStretchBoundBytes();
  std::vector<Bytes> streams(count, Bytes(room + kGuardBytes, kGuard));
  std::vector<EncodedStretch> encoded(count);
  Bytes work(EncodeWorkBytes(options), 0x5A);
  for (std::size_t k = count; k-- > 0;) {
    encoded[k] = EncodeStretch(p.pixels.data(), p.width, p.height, options, k, work.data(), streams[k].data(), room);
    EXPECT_GT(encoded[k].bytes, 0u);
    EXPECT_LE(encoded[k].bytes, room);
    EXPECT_TRUE(std::all_of(streams[k].begin() + static_cast<std::ptrdiff_t>(room), streams[k].end(),
                            [](std::uint8_t b) { return b == kGuard; }))
        << "stretch " << k << " written past its room";
  }
  const std::size_t bound = EncodeBoundBytes(p.width, p.height);
  Bytes file(bound + kGuardBytes, kGuard);
  WriteEncodeHeader(p.width, p.height, options, file.data());
  StreamJoin join = StartStream();
  *regrouped_joins = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (join.tokens % 8 != 0) ++*regrouped_joins;
    AppendStretch(&join, streams[k].data(), encoded[k], file.data());
  }
  EXPECT_LE(join.at, bound);
  EXPECT_TRUE(std::all_of(file.begin() + bound, file.end(), [](std::uint8_t b) { return b == kGuard; }));
  file.resize(join.at);
  return file;
}

Bytes EncodeThreaded(const Picture& p, const EncodeOptions& options, unsigned threads) {
  const std::size_t bound = EncodeBoundBytes(p.width, p.height);
  Bytes file(bound + kGuardBytes, kGuard);
  const std::size_t written =
      EncodeImageThreaded(p.pixels.data(), p.width, p.height, options, threads, file.data(), bound);
  EXPECT_TRUE(std::all_of(file.begin() + bound, file.end(), [](std::uint8_t b) { return b == kGuard; }));
  file.resize(written);
  return file;
}

void ExpectSameFileEveryWay(const Picture& p, const EncodeOptions& options, std::size_t* regrouped_joins) {
  const std::string what = p.name + " " + std::to_string(p.width) + "x" + std::to_string(p.height) + " level " +
                           std::to_string(options.level) + (options.delta ? " delta" : " no delta") + " decode speed " +
                           std::to_string(options.decode_speed);
  const Bytes file = EncodeChecked(p, options);
  ASSERT_FALSE(file.empty()) << what;
  std::size_t regrouped = 0;
  EXPECT_EQ(EncodeByStretches(p, options, &regrouped), file) << what << ": stretch by stretch";
  *regrouped_joins += regrouped;
  for (const unsigned threads : {1u, 2u, 3u, 8u}) {
    EXPECT_EQ(EncodeThreaded(p, options, threads), file) << what << ": " << threads << " threads";
  }
}

TEST(EncodeStretches, EveryWayOfWritingGivesTheSameFile) {
  const std::size_t join = kEncodeStretchBytes;
  ASSERT_EQ(join, 262144u) << "the sizes below put the joins where they are meant to be";
  std::size_t regrouped_joins = 0;
  // 512 x 512: three whole stretches, the last one ending at the last byte.
  // Joins inside a flat run and inside a pattern of period 13.
  const Picture three = Segmented("three-stretches", 512, 512, 1,
                                  {{0, 0}, {join - 70000, -1}, {join + 60000, 5}, {2 * join - 30000, 13},
                                   {2 * join + 40000, 0}, {3 * join - 9000, -1}});
  for (int level = kMinEncodeLevel; level <= kMaxEncodeLevel; ++level) {
    ExpectSameFileEveryWay(three, EncodeOptions{level, true}, &regrouped_joins);
  }
  ExpectSameFileEveryWay(three, EncodeOptions{kDefaultEncodeLevel, false}, &regrouped_joins);
  // The last stretch is 8, 7 or 3 bytes; or the picture ends one byte
  // before a join, in one stretch.
  const Picture tails[] = {
      Segmented("8-byte-tail", 88, 993, 2, {{0, 0}, {join - 5000, -1}}),
      Segmented("7-byte-tail", 573, 305, 3, {{0, 0}, {2 * join - 3000, 3}}),
      Segmented("3-byte-tail", 481, 545, 4, {{0, -1}, {join, 0}, {3 * join - 100, 1}}),
      Segmented("one-stretch", 171, 511, 5, {{0, 0}, {join - 4000, 7}}),
      PhotoLike(33, 17, 6),
  };
  for (const Picture& p : tails) {
    for (const int level : {1, 4, 6, 8, 9}) ExpectSameFileEveryWay(p, EncodeOptions{level, true}, &regrouped_joins);
    ExpectSameFileEveryWay(p, EncodeOptions{kDefaultEncodeLevel, true, 4}, &regrouped_joins);
  }
  ExpectSameFileEveryWay(three, EncodeOptions{kDefaultEncodeLevel, true, kMaxDecodeSpeed}, &regrouped_joins);
  // A join inside a pattern of every period from 1 to 16, with and without
  // the delta step, at the fast, default and optimal levels in turn.
  for (int period = 1; period <= 16; ++period) {
    const Picture p = Segmented("period-" + std::to_string(period), 88, 993, static_cast<unsigned>(period),
                                {{0, 0}, {join - 900 - 37 * static_cast<std::size_t>(period), period}});
    const int levels[] = {1, 6, 9};
    ExpectSameFileEveryWay(p, EncodeOptions{levels[period % 3], period % 2 == 0}, &regrouped_joins);
  }
  // Most joins leave a flag group open, so the regrouping path is what
  // these comparisons mostly checked.
  EXPECT_GT(regrouped_joins, 30u);
}

TEST(EncodeStretches, RefuseWhatTheyCannotDo) {
  const Picture p = Flat(4, 4, 1, 2, 3);
  const EncodeOptions options{};
  Bytes work(EncodeWorkBytes(options));
  Bytes out(EncodeStretchBoundBytes(), kGuard);
  EXPECT_EQ(EncodeStretchCount(4, 4), 1u);
  EXPECT_EQ(EncodeStretchCount(512, 512), 3u);
  EXPECT_EQ(EncodeStretchCount(481, 545), 4u);
  EXPECT_EQ(EncodeStretchCount(0, 4), 0u);
  EXPECT_EQ(EncodeStretchCount(kMaxDimension, kMaxDimension), 768u);
  EXPECT_EQ(EncodeStretch(p.pixels.data(), 4, 4, options, 1, work.data(), out.data(), out.size()).bytes, 0u);
  EXPECT_EQ(EncodeStretch(p.pixels.data(), 4, 4, options, 0, work.data(), out.data(), out.size() - 1).bytes, 0u);
  EXPECT_EQ(EncodeStretch(p.pixels.data(), 0, 4, options, 0, work.data(), out.data(), out.size()).bytes, 0u);
  EXPECT_EQ(EncodeStretch(nullptr, 4, 4, options, 0, work.data(), out.data(), out.size()).bytes, 0u);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](std::uint8_t b) { return b == kGuard; }));
  Bytes dst(EncodeBoundBytes(4, 4));
  EXPECT_EQ(EncodeImageThreaded(p.pixels.data(), 4, 4, options, 4, dst.data(), dst.size() - 1), 0u);
  EXPECT_EQ(EncodeImageThreaded(p.pixels.data(), 4, 9000, options, 4, dst.data(), dst.size()), 0u);
  EXPECT_EQ(EncodeImageThreaded(p.pixels.data(), 4, 4, options, 4, dst.data(), dst.size()),
            EncodeChecked(p, options).size());
}

TEST(EncodeImage, CompressedSizesAreSensible) {
  const Picture flat = Flat(512, 512, 40, 80, 120);
  const std::size_t raw = flat.pixels.size();
  // 786,432 bytes are 192 copies of 4096: about 600 bytes.
  EXPECT_LT(EncodedSize(flat, 1), raw / 1000);
  EXPECT_LT(EncodedSize(flat, 9), raw / 1000);

  // Noise cannot shrink; runs of 40 keep the overhead near 1/40.
  const Picture noise = Noise(256, 256, 5);
  EXPECT_LT(EncodedSize(noise, 6), kHeaderBytes + noise.pixels.size() * 103 / 100);

  // The delta step is what makes smooth pictures small.
  const Picture gradient = Gradient(6000, 20);
  EXPECT_LT(EncodedSize(gradient, 6, true) * 4, EncodedSize(gradient, 6, false));

  // More effort never costs much and usually gains.
  const Picture photo = PhotoLike(400, 300, 17);
  const std::size_t fast = EncodedSize(photo, 1);
  const std::size_t slow = EncodedSize(photo, 9);
  EXPECT_LT(slow, fast);
  EXPECT_LT(EncodedSize(photo, kDefaultEncodeLevel), fast);
  const Picture art = FlatArt(400, 300, 18);
  EXPECT_LE(EncodedSize(art, 9), EncodedSize(art, 1));
  EXPECT_LT(EncodedSize(art, kDefaultEncodeLevel), art.pixels.size() / 3);
}

// Phrases: words of a few shared beginnings and many endings, so that a
// search that follows more of its chain finds longer copies.
Picture Phrases(int width, int height, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<Bytes> stems(6);
  for (Bytes& stem : stems) stem = RandomBytes(rng, 12);
  std::vector<Bytes> words(300);
  for (Bytes& word : words) {
    word = stems[rng() % stems.size()];
    const Bytes ending = RandomBytes(rng, 4 + rng() % 60);
    word.insert(word.end(), ending.begin(), ending.end());
  }
  Picture p{"phrases", width, height, Bytes(TotalBytes(width, height))};
  std::size_t at = 0;
  while (at < p.pixels.size()) {
    const Bytes& word = words[rng() % words.size()];
    const std::size_t n = std::min(word.size() - rng() % 8, p.pixels.size() - at);
    std::copy(word.begin(), word.begin() + static_cast<std::ptrdiff_t>(n),
              p.pixels.begin() + static_cast<std::ptrdiff_t>(at));
    at += n;
  }
  return p;
}

// Each level on one fixed picture: its file no larger than the level
// below's, and not the same file (each level searches differently; a level
// that fell back on its neighbour's settings writes the neighbour's file).
// The sizes are the writer's as it stands, so that a change of any level's
// settings shows here and is made on purpose (on ten other seeds of the
// same kind of picture every level is smaller than the one below, too).
TEST(EncodeImage, EachLevelSearchesHarderThanTheOneBelow) {
  const Picture p = Phrases(320, 240, 1);
  const std::size_t want_bytes[kMaxEncodeLevel] = {99202, 95271, 94192, 93299, 92423, 91637, 90871, 87809, 87691};
  Bytes below;
  for (int level = kMinEncodeLevel; level <= kMaxEncodeLevel; ++level) {
    const Bytes file = EncodeChecked(p, EncodeOptions{level, true});
    ASSERT_FALSE(file.empty()) << "level " << level;
    EXPECT_EQ(file.size(), want_bytes[level - 1]) << "level " << level;
    if (level > kMinEncodeLevel) {
      EXPECT_LE(file.size(), below.size()) << "level " << level;
      EXPECT_NE(file, below) << "level " << level << " writes level " << level - 1 << "'s file";
    }
    below = file;
  }
}

TEST(EncodeImage, OutputDependsOnlyOnPixelsAndOptions) {
  const Picture p = PhotoLike(120, 80, 3);
  const EncodeOptions options{};
  const std::size_t bound = EncodeBoundBytes(p.width, p.height);
  Bytes first(bound);
  Bytes second(bound, 0x77);
  Bytes work(EncodeWorkBytes(options), 0x00);
  const std::size_t n1 = EncodeImage(p.pixels.data(), p.width, p.height, options, work.data(), first.data(), bound);
  // Stale work memory from another picture, and a misaligned work pointer.
  Bytes other_work(EncodeWorkBytes(options) + 1, 0xFF);
  const Picture other = Noise(90, 90, 4);
  Bytes scratch(EncodeBoundBytes(90, 90));
  EncodeImage(other.pixels.data(), 90, 90, options, other_work.data() + 1, scratch.data(), scratch.size());
  const std::size_t n2 =
      EncodeImage(p.pixels.data(), p.width, p.height, options, other_work.data() + 1, second.data(), bound);
  ASSERT_EQ(n1, n2);
  EXPECT_TRUE(std::equal(first.begin(), first.begin() + n1, second.begin()));

  // Levels outside 1..9 act as the nearest level.
  EXPECT_EQ(EncodeChecked(p, EncodeOptions{0, true}), EncodeChecked(p, EncodeOptions{1, true}));
  EXPECT_EQ(EncodeChecked(p, EncodeOptions{42, true}), EncodeChecked(p, EncodeOptions{9, true}));
}

TEST(EncodeImage, RefusesBadArguments) {
  const Picture p = Flat(4, 4, 1, 2, 3);
  const EncodeOptions options{};
  Bytes work(EncodeWorkBytes(options));
  const std::size_t bound = EncodeBoundBytes(4, 4);
  Bytes dst(bound + 8, kGuard);
  const auto untouched = [&] { return std::all_of(dst.begin(), dst.end(), [](std::uint8_t b) { return b == kGuard; }); };

  EXPECT_EQ(EncodeImage(p.pixels.data(), 4, 4, options, work.data(), dst.data(), bound - 1), 0u);
  EXPECT_EQ(EncodeImage(nullptr, 4, 4, options, work.data(), dst.data(), bound), 0u);
  EXPECT_EQ(EncodeImage(p.pixels.data(), 4, 4, options, nullptr, dst.data(), bound), 0u);
  EXPECT_EQ(EncodeImage(p.pixels.data(), 4, 4, options, work.data(), nullptr, bound), 0u);
  for (const auto& [w, h] : {std::pair{0, 4}, {4, 0}, {-1, 4}, {4, -1}, {kMaxDimension + 1, 1}, {1, kMaxDimension + 1},
                             {-32768, 1}, {1, 65536}}) {
    EXPECT_EQ(EncodeImage(p.pixels.data(), w, h, options, work.data(), dst.data(), dst.size()), 0u) << w << "x" << h;
  }
  EXPECT_TRUE(untouched());
  EXPECT_GT(EncodeImage(p.pixels.data(), 4, 4, options, work.data(), dst.data(), bound), 0u);
}

// The price the decode speeds' parse puts on a file: its bits, one flag
// bit per token included, in price units, and each token's decode time.
std::uint64_t FilePrice(const Bytes& file, std::size_t total, const writer::TokenExtra& extra) {
  const Audit a = AuditStream(file, total);
  EXPECT_EQ(a.error, "");
  std::uint64_t run_bytes = 0;
  for (std::size_t n = 9; n <= 40; ++n) run_bytes += n * a.runs_of_length[n];
  const std::uint64_t copies = a.shorts + a.mediums + a.longs + a.longs_1k + a.longs_4k;
  const std::uint64_t bits = 9 * a.literals + 9 * a.runs + 8 * run_bytes + 9 * a.shorts + 17 * a.mediums +
                             25 * (a.longs + a.longs_1k + a.longs_4k);
  return bits * writer::kPriceUnitsPerBit + a.literals * extra.literal + (a.runs + copies) * extra.control;
}

// The cheapest path at those prices through every literal, run and copy at
// every distance and length: OptimalBits with a decode time on each token.
std::uint64_t CheapestPrice(const Bytes& stream, const writer::TokenExtra& extra) {
  const std::uint64_t unit = writer::kPriceUnitsPerBit;
  const std::size_t n = stream.size();
  std::vector<std::uint64_t> best(n + 1, UINT64_MAX);
  best[0] = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const auto offer = [&](std::size_t bytes, std::uint64_t price) {
      best[i + bytes] = std::min(best[i + bytes], best[i] + price);
    };
    offer(1, 9 * unit + extra.literal);
    for (std::size_t bytes = 9; bytes <= 40 && i + bytes <= n; ++bytes)
      offer(bytes, (9 + 8 * bytes) * unit + extra.control);
    for (std::size_t distance = 1; distance <= i && distance <= kMaxDistance; ++distance) {
      std::size_t longest = 0;
      while (i + longest < n && stream[i + longest] == stream[i + longest - distance]) ++longest;
      for (std::size_t bytes = 2; bytes <= longest && bytes <= 256; ++bytes) {
        if (distance <= 32 && bytes <= 4) {
          offer(bytes, 9 * unit + extra.control);
        } else if (bytes >= 3) {
          offer(bytes, (distance <= 1024 && bytes <= 18 ? 17 : 25) * unit + extra.control);
        }
      }
    }
  }
  return best[n];
}

TEST(EncodeImage, DecodeSpeedsPayTheLeastPriceAnyParseCan) {
  // The pictures of OptimalLevelSpendsTheFewestBytesAnyParseCan: at a
  // decode speed the file meets the cheapest path at that speed's prices.
  std::mt19937 rng(41);
  std::vector<Picture> pictures;
  for (const unsigned values : {5u, 20u, 60u}) {
    std::uniform_int_distribution<int> pick(0, static_cast<int>(values) - 1);
    Picture p{"alphabet-" + std::to_string(values), 60, 25, Bytes(TotalBytes(60, 25))};
    for (std::uint8_t& b : p.pixels) b = static_cast<std::uint8_t>(pick(rng) * 3);
    pictures.push_back(p);
  }
  pictures.push_back(PhotoLike(50, 30, 42));
  for (const Picture& p : pictures) {
    for (const int speed : {1, 3, 5, kMaxDecodeSpeed}) {
      const EncodeOptions options{kMaxEncodeLevel, false, speed};
      const writer::TokenExtra extra = writer::TokenExtraFor(speed);
      const Bytes file = EncodeChecked(p, options);
      EXPECT_EQ(FilePrice(file, p.pixels.size(), extra), CheapestPrice(p.pixels, extra))
          << p.name << " decode speed " << speed;
    }
  }
}

TEST(EncodeImage, HigherDecodeSpeedsTradeBytesForDecodeTime) {
  // Along the speeds, on pictures of many blocks and stretches: the decode
  // time the cost model gives the file never rises and its bits never fall
  // (each block's path is the cheapest at prices that weigh time more and
  // more), and on the photograph-like ones the top speed has at most half
  // the copies and runs of speed 0. Every file decodes to its picture.
  const Picture pictures[] = {PhotoLike(300, 120, 7), FlatArt(211, 150, 8), Phrases(320, 240, 1),
                              Segmented("three-stretches", 512, 512, 1, {{0, 0}, {200000, -1}, {400000, 13}})};
  for (const Picture& p : pictures) {
    std::uint64_t last_time = UINT64_MAX;
    std::uint64_t last_bits = 0;
    std::uint64_t first_controls = 0;
    for (int speed = 0; speed <= kMaxDecodeSpeed; ++speed) {
      const Bytes file = EncodeChecked(p, EncodeOptions{kMaxEncodeLevel, true, speed});
      const Audit a = AuditStream(file, p.pixels.size());
      const std::uint64_t controls = a.runs + a.shorts + a.mediums + a.longs + a.longs_1k + a.longs_4k;
      const std::uint64_t time =
          a.literals * writer::kLiteralDecodeTenthsNs + controls * writer::kControlDecodeTenthsNs;
      const std::uint64_t bits = FilePrice(file, p.pixels.size(), writer::TokenExtra{0, 0});
      EXPECT_LE(time, last_time) << p.name << " decode speed " << speed;
      EXPECT_GE(bits, last_bits) << p.name << " decode speed " << speed;
      if (speed == 0) first_controls = controls;
      if (speed == kMaxDecodeSpeed && p.name == "photo-like") {
        EXPECT_LE(2 * controls, first_controls) << p.name;
      }
      last_time = time;
      last_bits = bits;
    }
  }
  // Above 0 the level no longer matters (the optimal parse runs); out of
  // range, the nearest speed.
  const Picture p = PhotoLike(120, 80, 3);
  const Bytes at_top = EncodeChecked(p, EncodeOptions{kMaxEncodeLevel, true, 3});
  EXPECT_EQ(EncodeChecked(p, EncodeOptions{1, true, 3}), at_top);
  EXPECT_NE(EncodeChecked(p, EncodeOptions{kMaxEncodeLevel, true, 0}), at_top);
  EXPECT_EQ(EncodeChecked(p, EncodeOptions{6, true, -5}), EncodeChecked(p, EncodeOptions{6, true, 0}));
  EXPECT_EQ(EncodeChecked(p, EncodeOptions{6, true, 99}), EncodeChecked(p, EncodeOptions{6, true, kMaxDecodeSpeed}));
}

TEST(EncodeBoundBytes, CoversTheWorstCaseWithoutOverflow) {
  EXPECT_EQ(EncodeBoundBytes(0, 1), 0u);
  EXPECT_EQ(EncodeBoundBytes(1, 0), 0u);
  EXPECT_EQ(EncodeBoundBytes(kMaxDimension + 1, 1), 0u);
  EXPECT_EQ(EncodeBoundBytes(1, kMaxDimension + 1), 0u);
  EXPECT_EQ(EncodeBoundBytes(-5, -5), 0u);
  // Header, the pixels, and one byte in 8 for flag bits and run controls.
  for (const auto& [w, h] : {std::pair{1, 1}, {7, 3}, {kMaxDimension, 3}, {kMaxDimension, kMaxDimension}}) {
    const std::uint64_t total = TotalBytes(w, h);
    EXPECT_GE(EncodeBoundBytes(w, h), kHeaderBytes + total + total / 8) << w << "x" << h;
    EXPECT_LE(EncodeBoundBytes(w, h), kHeaderBytes + total + total / 8 + 1) << w << "x" << h;
  }
  // The bound holds for any sequence of tokens; noise, where nothing
  // repeats, comes closest in practice, at every level.
  for (int level = kMinEncodeLevel; level <= kMaxEncodeLevel; ++level) {
    EncodeChecked(Noise(37, 11, static_cast<unsigned>(level)), EncodeOptions{level, false});
  }
}

}  // namespace
