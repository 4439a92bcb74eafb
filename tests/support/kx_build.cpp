#include "tests/support/kx_build.h"

#include <algorithm>
#include <cstdio>
#include <stdexcept>

#include "codec/format/little_endian.h"

using namespace kx;

Bytes MakeHeader(int width, int height, std::uint8_t coding) {
  Bytes h = {'K', 'X', coding, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  StoreLe16(h.data() + 12, static_cast<std::uint16_t>(width));
  StoreLe16(h.data() + 14, static_cast<std::uint16_t>(height));
  return h;
}

Bytes MakeKx(int width, int height, const Bytes& stream, std::uint8_t coding) {
  Bytes file = MakeHeader(width, height, coding);
  file.insert(file.end(), stream.begin(), stream.end());
  return file;
}

void StreamWriter::Token(bool flag, const Bytes& bytes) {
  if (tokens_in_group_ == 8) {
    flag_at_ = stream_.size();
    stream_.push_back(0);
    tokens_in_group_ = 0;
  }
  if (flag) stream_[flag_at_] = static_cast<std::uint8_t>(stream_[flag_at_] | (0x80 >> tokens_in_group_));
  ++tokens_in_group_;
  stream_.insert(stream_.end(), bytes.begin(), bytes.end());
}

void StreamWriter::Literal(std::uint8_t byte) {
  Token(false, {byte});
  produced_bytes_ += 1;
}

void StreamWriter::Run(const Bytes& bytes) {
  if (bytes.size() < 9 || bytes.size() > 40) throw std::invalid_argument("run length");
  Bytes token = {static_cast<std::uint8_t>(((bytes.size() - 9) << 2) | 3)};
  token.insert(token.end(), bytes.begin(), bytes.end());
  Token(true, token);
  produced_bytes_ += bytes.size();
}

void StreamWriter::Short(unsigned distance, unsigned length) {
  if (distance < 1 || distance > 32 || length < 2 || length > 4) throw std::invalid_argument("short copy");
  Token(true, {static_cast<std::uint8_t>(((distance - 1) << 2) | (length - 2))});
  produced_bytes_ += length;
}

void StreamWriter::Medium(unsigned distance, unsigned length) {
  if (distance < 1 || distance > 1024 || length < 3 || length > 18) throw std::invalid_argument("medium copy");
  const unsigned d = distance - 1;
  Token(true, {static_cast<std::uint8_t>(0x80 | (d >> 4)), static_cast<std::uint8_t>(((d & 15) << 4) | (length - 3))});
  produced_bytes_ += length;
}

void StreamWriter::Long(unsigned distance, unsigned length) {
  if (distance < 1 || distance > 16384) throw std::invalid_argument("long copy distance");
  std::uint8_t code;
  if (length == 1024) {
    code = 0xFE;
  } else if (length == 4096) {
    code = 0xFF;
  } else if (length >= 3 && length <= 256) {
    code = static_cast<std::uint8_t>(length - 3);
  } else {
    throw std::invalid_argument("long copy length");
  }
  const unsigned d = distance - 1;
  Token(true, {static_cast<std::uint8_t>(0xC0 | (d >> 8)), static_cast<std::uint8_t>(d & 0xFF), code});
  produced_bytes_ += length;
}

Bytes StreamWriter::Finish() const { return stream_; }

Bytes WindowsIcon16() {
  constexpr std::uint32_t kInfoHeaderBytes = 40;
  constexpr std::uint32_t kImageBytes = kInfoHeaderBytes + 16 * 16 * 4 + 16 * 4;  // colours, then the mask
  constexpr std::uint32_t kImageOffset = 6 + 16;
  Bytes icon(kImageOffset + kImageBytes, 0);
  auto put16 = [&](std::size_t at, std::uint32_t v) { StoreLe16(icon.data() + at, static_cast<std::uint16_t>(v)); };
  auto put32 = [&](std::size_t at, std::uint32_t v) { StoreLe32(icon.data() + at, v); };
  put16(2, 1);                 // type: icon
  put16(4, 1);                 // one picture
  icon[6] = 16;                // its width and height
  icon[7] = 16;
  put16(10, 1);                // planes
  put16(12, 32);               // bits per pixel
  put32(14, kImageBytes);
  put32(18, kImageOffset);
  put32(kImageOffset, kInfoHeaderBytes);
  put32(kImageOffset + 4, 16);
  put32(kImageOffset + 8, 32);  // colours and mask, one above the other
  put16(kImageOffset + 12, 1);
  put16(kImageOffset + 14, 32);
  for (std::size_t p = kImageOffset + kInfoHeaderBytes; p < kImageOffset + kInfoHeaderBytes + 16 * 16 * 4; p += 4) {
    icon[p] = 0x40;
    icon[p + 3] = 0xFF;
  }
  return icon;
}

Bytes RandomBytes(std::mt19937& rng, std::size_t count) {
  Bytes bytes(count);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

Bytes RandomTokenStream(std::mt19937& rng, std::size_t min_output_bytes, bool reach_before_start) {
  StreamWriter w;
  auto pick = [&](unsigned lo, unsigned hi) { return lo + static_cast<unsigned>(rng() % (hi - lo + 1)); };
  // Distances stay within what has been produced unless asked otherwise, so
  // that most copies copy real bytes.
  auto distance = [&](unsigned max) {
    const std::size_t made = w.produced_bytes();
    const unsigned limit =
        reach_before_start || made == 0 ? max : static_cast<unsigned>(std::min<std::size_t>(max, made));
    return pick(1, limit);
  };
  while (w.produced_bytes() < min_output_bytes) {
    switch (rng() % 8) {
      case 0:
      case 1:
        w.Literal(static_cast<std::uint8_t>(rng()));
        break;
      case 2:
        w.Run(RandomBytes(rng, pick(9, 40)));
        break;
      case 3:
      case 4:
        if (w.produced_bytes() == 0 && !reach_before_start) break;
        w.Short(distance(32), pick(2, 4));
        break;
      case 5:
        if (w.produced_bytes() == 0 && !reach_before_start) break;
        w.Medium(distance(1024), pick(3, 18));
        break;
      default: {
        if (w.produced_bytes() == 0 && !reach_before_start) break;
        const unsigned which = pick(0, 40);
        const unsigned length = which == 0 ? 1024 : which == 1 ? 4096 : pick(3, 256);
        w.Long(distance(16384), length);
        break;
      }
    }
  }
  return w.Finish();
}

Bytes LongCopyTokenStream(std::mt19937& rng, std::size_t min_output_bytes, bool reach_before_start) {
  StreamWriter w;
  auto pick = [&](unsigned lo, unsigned hi) { return lo + static_cast<unsigned>(rng() % (hi - lo + 1)); };
  // Enough literals first that copies have something to repeat.
  if (!reach_before_start) w.Run(RandomBytes(rng, 40));
  while (w.produced_bytes() < min_output_bytes) {
    const std::size_t made = w.produced_bytes();
    const unsigned reach = reach_before_start ? 16384u : static_cast<unsigned>(std::min<std::size_t>(16384, made));
    const unsigned length = pick(0, 3) == 0 ? 4096 : pick(0, 2) == 0 ? 1024 : pick(3, 256);
    switch (rng() % 6) {
      case 0:
        w.Long(reach, length);  // the greatest distance there is
        break;
      case 1:
        w.Long(pick(1, std::min(15u, reach)), length);  // a repeating pattern
        break;
      case 2:
        w.Long(pick(1, reach), length);
        break;
      case 3:
        w.Medium(pick(1, std::min(1024u, reach)), pick(3, 18));
        break;
      case 4:
        w.Literal(static_cast<std::uint8_t>(rng()));
        break;
      default:
        if (rng() % 2 == 0) {
          w.Run(RandomBytes(rng, pick(9, 40)));
        } else {
          w.Short(pick(1, std::min(32u, reach)), pick(2, 4));
        }
        break;
    }
  }
  return w.Finish();
}

void FlagGroup(StreamWriter* w, std::mt19937& rng, unsigned flag, unsigned variant) {
  auto pick = [&](unsigned lo, unsigned hi) { return lo + static_cast<unsigned>(rng() % (hi - lo + 1)); };
  // Half the copies reach at most 15 back, below 16 and often below their
  // length.
  auto distance = [&](unsigned max) { return rng() % 2 == 0 ? pick(1, std::min(15u, max)) : pick(1, max); };
  unsigned controls = 0;
  for (int bit = 7; bit >= 0; --bit) {
    if (((flag >> bit) & 1u) == 0) {
      w->Literal(static_cast<std::uint8_t>(rng()));
      continue;
    }
    switch ((variant + controls++) % 4) {
      case 0: w->Short(distance(32), pick(2, 4)); break;
      case 1: w->Medium(distance(1024), pick(3, 18)); break;
      case 2: {
        const unsigned which = pick(0, 15);
        w->Long(distance(16384), which == 0 ? 1024 : which == 1 ? 4096 : pick(3, 256));
        break;
      }
      default: w->Run(RandomBytes(rng, pick(9, 40))); break;
    }
  }
}

FlagStream EveryFlagStream(std::mt19937& rng, unsigned variant) {
  StreamWriter w;
  FlagStream s;
  for (int k = 0; k < 8; ++k) w.Literal(static_cast<std::uint8_t>(rng()));
  for (unsigned flag = 0; flag < 256; ++flag) {
    s.group_output.push_back(w.produced_bytes());
    FlagGroup(&w, rng, flag, variant);
  }
  for (int k = 0; k < 8; ++k) w.Long(1 + rng() % 16384, 4096);
  for (int k = 0; k < 16; ++k) w.Run(RandomBytes(rng, 40));
  s.stream = w.Finish();
  s.produced_bytes = w.produced_bytes();
  return s;
}

std::string FirstDifference(const Bytes& expected, const Bytes& actual) {
  const std::size_t n = std::min(expected.size(), actual.size());
  for (std::size_t k = 0; k < n; ++k) {
    if (expected[k] != actual[k]) {
      char text[128];
      std::snprintf(text, sizeof text, "first difference at offset %zu: expected %02X, got %02X", k, expected[k],
                    actual[k]);
      return text;
    }
  }
  if (expected.size() != actual.size()) {
    return "sizes differ: expected " + std::to_string(expected.size()) + ", got " + std::to_string(actual.size());
  }
  return {};
}

std::vector<StreamCase> DifferentialCases(int rounds) {
  std::vector<StreamCase> cases;
  const int sizes[][2] = {{1, 1}, {2, 1}, {3, 1}, {1, 7}, {5, 3}, {20, 20}, {33, 17}, {64, 64}, {101, 99}, {257, 31}};
  for (int round = 0; round < rounds; ++round) {
    std::mt19937 rng(static_cast<std::uint32_t>(1000 + round));
    for (const auto& size : sizes) {
      const int width = size[0];
      const int height = size[1];
      const std::size_t total = std::size_t(width) * std::size_t(height) * 3;
      const std::uint8_t coding = (rng() % 4 == 0) ? 0x03 : 0x83;
      const std::string tag = std::to_string(width) + "x" + std::to_string(height) + "#" + std::to_string(round);

      const Bytes valid = RandomTokenStream(rng, total + rng() % 64);
      cases.push_back({"valid " + tag, MakeKx(width, height, valid, coding), total});

      // Cut at every length for short streams, at a spread of lengths otherwise.
      const std::size_t step = valid.size() <= 300 ? 1 : valid.size() / 97 + 1;
      for (std::size_t cut = 0; cut < valid.size(); cut += step) {
        cases.push_back({"cut " + std::to_string(cut) + " " + tag,
                         MakeKx(width, height, Bytes(valid.begin(), valid.begin() + static_cast<long>(cut)), coding),
                         total});
      }

      Bytes junk = valid;
      const Bytes tail = RandomBytes(rng, 1 + rng() % 200);
      junk.insert(junk.end(), tail.begin(), tail.end());
      cases.push_back({"junk after " + tag, MakeKx(width, height, junk, coding), total});

      cases.push_back({"before start " + tag, MakeKx(width, height, RandomTokenStream(rng, total, true), coding),
                       total});
      cases.push_back(
          {"random " + tag, MakeKx(width, height, RandomBytes(rng, rng() % (total + 64)), coding), total});
    }
  }
  return cases;
}

std::vector<StreamCase> LargeStreamCases(int rounds) {
  std::vector<StreamCase> cases;
  int round = 0;
  // Names say what the case is, a detail (a cut or a height) when it has one,
  // the picture's size and the round.
  auto add = [&](const char* what, long long detail, int width, int height, const Bytes& stream,
                 std::uint8_t coding) {
    char name[96];
    std::snprintf(name, sizeof name, "%s %lld, %dx%d #%d", what, detail, width, height, round);
    cases.push_back({name, MakeKx(width, height, stream, coding), std::size_t(width) * std::size_t(height) * 3});
  };
  for (; round < rounds; ++round) {
    std::mt19937 rng(static_cast<std::uint32_t>(5000 + round));
    const std::uint8_t coding = round % 2 == 0 ? 0x83 : 0x03;

    // Several windows' worth of output, complete, with junk after it, and
    // cut at a spread of lengths.
    const int sizes[][2] = {{1000, 200}, {8192, 9}, {333, 401}, {1, 90001}};
    for (const auto& size : sizes) {
      const int width = size[0];
      const int height = size[1];
      const std::size_t total = std::size_t(width) * std::size_t(height) * 3;
      const Bytes random = RandomTokenStream(rng, total + rng() % 5000);
      const Bytes copies = LongCopyTokenStream(rng, total + rng() % 5000);
      add("large random", 0, width, height, random, coding);
      add("large copies", 0, width, height, copies, coding);
      add("large before start", 0, width, height, LongCopyTokenStream(rng, total, true), coding);
      Bytes junk = copies;
      const Bytes tail = RandomBytes(rng, 1000);
      junk.insert(junk.end(), tail.begin(), tail.end());
      add("large junk after", 0, width, height, junk, coding);
      for (int k = 1; k <= 6; ++k) {
        const Bytes& stream = k % 2 == 0 ? random : copies;
        const std::size_t cut = std::min(stream.size(), stream.size() * static_cast<std::size_t>(k) / 7 + rng() % 64);
        add("large cut", static_cast<long long>(cut), width, height,
            Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)), coding);
      }
    }

    // Every cut over the last 600 bytes of a stream, so that the input ends
    // at every point of the last groups.
    {
      const int width = 171;
      const int height = 150;
      const std::size_t total = std::size_t(width) * height * 3;
      // Groups of literal runs read the most input; runs of 40 and of 9
      // read furthest past their last byte.
      StreamWriter runs;
      while (runs.produced_bytes() < total) runs.Run(RandomBytes(rng, rng() % 4 == 0 ? 9 : 40));
      const Bytes streams[] = {RandomTokenStream(rng, total), LongCopyTokenStream(rng, total), runs.Finish()};
      for (const Bytes& stream : streams) {
        const std::size_t first = stream.size() > 600 ? stream.size() - 600 : 0;
        for (std::size_t cut = first; cut <= stream.size(); ++cut) {
          add("tail cut", static_cast<long long>(cut), width, height,
              Bytes(stream.begin(), stream.begin() + static_cast<long>(cut)), coding);
        }
      }
    }

    // One stream, pictures of many heights: the picture ends at many points
    // of the stream, inside tokens and between them.
    {
      const int width = 64;
      const Bytes stream = LongCopyTokenStream(rng, 600000);
      for (int k = 0; k < 40; ++k) {
        const int height = 100 + static_cast<int>(rng() % 3000);
        add("height", height, width, height, stream, coding);
      }
    }

    // Random bytes under the header of a large picture: every token form,
    // damaged, at every alignment.
    add("large random bytes", 0, 700, 300, RandomBytes(rng, 300000), coding);
  }
  return cases;
}
