// Test helpers that make KX files from readable descriptions: headers,
// token streams built token by token, and random streams.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// A 16-byte header: "KX", coding byte, 3, eight zero bytes, width, height.
Bytes MakeHeader(int width, int height, std::uint8_t coding = 0x83);
// A whole file: header followed by `stream`.
Bytes MakeKx(int width, int height, const Bytes& stream, std::uint8_t coding = 0x83);

// Builds a stream token by token, writing each group's flag byte in front of
// its eight tokens. Also counts the bytes the tokens produce.
class StreamWriter {
 public:
  void Literal(std::uint8_t byte);
  void Run(const Bytes& bytes);  // 9..40 bytes
  void Short(unsigned distance, unsigned length);   // 1..32, 2..4
  void Medium(unsigned distance, unsigned length);  // 1..1024, 3..18
  // 1..16384; length 3..256, 1024 or 4096
  void Long(unsigned distance, unsigned length);
  Bytes Finish() const;                 // the stream, last group possibly short
  std::size_t produced_bytes() const { return produced_bytes_; }

 private:
  void Token(bool flag, const Bytes& bytes);
  Bytes stream_;
  std::size_t flag_at_ = 0;
  int tokens_in_group_ = 8;
  std::size_t produced_bytes_ = 0;
};

// A valid stream of random tokens of every form and length, producing at
// least `min_output_bytes`. `reach_before_start` lets copies reach before the
// first output byte now and then.
Bytes RandomTokenStream(std::mt19937& rng, std::size_t min_output_bytes, bool reach_before_start = false);

// A valid stream weighted towards long copies: copies of 1024 and 4096
// bytes, the greatest distance (16384) and the small distances (1 to 15)
// that repeat a pattern, mixed with literals and short tokens. Copies reach
// before the first output byte only when `reach_before_start` is set.
Bytes LongCopyTokenStream(std::mt19937& rng, std::size_t min_output_bytes, bool reach_before_start = false);

// One group for the flag byte `flag`: a literal for each clear bit and a
// control token for each set bit, the k-th control token taking form
// (variant + k) % 4: a short copy, a medium copy, a long copy (now and then
// of 1024 or 4096 bytes), a literal run. Copies reach back small distances,
// which repeat a pattern, and large ones. `w` must be at a group boundary,
// and is again after.
void FlagGroup(StreamWriter* w, std::mt19937& rng, unsigned flag, unsigned variant);

// A group for every flag byte value, 0 to 255 in turn, by FlagGroup with
// `variant`; led by one group of literals and followed by long copies and
// literal runs, so that a decoder that wants a few hundred bytes of input and
// 32 KiB of output to spare after a group still has them after the last one.
// Copies may reach before the start.
struct FlagStream {
  Bytes stream;
  std::vector<std::size_t> group_output;  // output offset where each flag's group starts
  std::size_t produced_bytes;
};
FlagStream EveryFlagStream(std::mt19937& rng, unsigned variant);

// A Windows icon file holding one 16 x 16 picture of 32 bits: a file of
// another format whose bytes 12 to 15 (the bit count and the picture's byte
// count, 32 and 1128) read as a small positive width and height.
Bytes WindowsIcon16();

// Uniformly random bytes.
Bytes RandomBytes(std::mt19937& rng, std::size_t count);

// Empty when equal; otherwise says where the first difference is.
std::string FirstDifference(const Bytes& expected, const Bytes& actual);

// One picture for differential testing: a whole file and its raw size.
struct StreamCase {
  std::string name;
  Bytes file;
  std::size_t total;  // width x height x 3
};

// Streams of many kinds, for comparing a decoder with the reference: valid
// ones of every token form, each truncated at many lengths, followed by junk,
// with copies reaching before the start, and random bytes under good headers
// of many sizes. Deterministic for a given `rounds`.
std::vector<StreamCase> DifferentialCases(int rounds);

// Larger pictures, for decoders that work through a window or switch
// between checked and unchecked paths: several hundred kilobytes of output
// from random and long-copy streams, rows 8192 pixels wide, odd widths,
// pictures that end at many points inside a stream, and truncations at every
// length over the last 600 bytes of input. Deterministic for a given `rounds`.
std::vector<StreamCase> LargeStreamCases(int rounds);
