// The decoder of the KX pixel stream as a machine that takes the file in
// pieces: DecodeIntoRows (codec/decode/fast_decode.h) is one push of the
// whole file and a finish, and the library's kx_decoder is any number of
// pushes.
//
// Whatever the split, the bytes stored and the count of bytes produced are
// those of the whole file decoded at once: every stop rule of the stream is
// "the input has ended here", so a decode that pauses where a piece ends and
// goes on with the next piece makes the same steps as one that never paused.
// What a pause has to keep is the token in progress: the flag register, a
// copy whose control byte came without all of its operands (which writes
// nothing until they come), and the bytes a literal run still expects.
//
// Output goes through the same window as the whole-file decode: the last
// kMaxDistance bytes before the output position (zeros before the first
// output byte, which is what a copy reaching before the start reads), then
// the bytes decoded since. Every push ends by storing all it decoded, so
// a byte reaches its row once, with its final value, as soon as it exists.
#pragma once

#include <cstddef>
#include <cstdint>

#include "codec/decode/fast_decode.h"
#include "codec/decode/group_decode.h"
#include "codec/decode/row_writer.h"

namespace kx {

// Everything a pause keeps. A plain record: it may live anywhere the caller
// likes (the library keeps it at the front of the decoder's window memory).
struct StreamState {
  RowWriter rows;
  GroupsFn groups;
  std::uint8_t* window;
  std::size_t window_bytes;
  std::uint8_t* op;          // next output byte in the window
  std::uint8_t* flushed;     // first output byte not yet stored
  std::size_t end_offset;    // window offset of raw byte total_bytes; may lie past the window
  std::size_t total_bytes;   // raw bytes of the picture
  std::size_t stored_bytes;  // raw bytes handed to the rows so far
  std::size_t header_left;   // header bytes the pushes have still to bring
  std::size_t run_left;      // bytes a literal run still expects, 0 outside one
  std::uint32_t flags;       // the flag register
  std::uint8_t token[2];     // a copy's control byte and c, while its operands are incomplete
  std::uint8_t token_bytes;  // how many of token[] are held: 0 outside such a copy
  bool full;                 // the picture is complete: nothing pushed is read any more
  bool finished;             // FinishStream ran
  std::size_t produced_bytes;  // set by FinishStream: raw bytes the stream itself gave
};

// Starts a decode of a picture of total_bytes raw bytes into `rows`, with
// window[0, window_bytes) as its only work memory (at least
// kMinDecodeWindowBytes; the caller checks), and `groups` as the unchecked
// group decoder. Pushes bring the file from its first byte: the header's
// bytes are skipped.
void StartStream(StreamState* s, std::uint8_t* window, std::size_t window_bytes, std::size_t total_bytes,
                 const RowWriter& rows, GroupsFn groups);

// Decodes the next byte_count bytes of the file and stores every byte it
// decoded. Reads bytes[0, byte_count) only, nothing once the picture is
// complete. No effect after FinishStream.
void PushStream(StreamState* s, const std::uint8_t* bytes, std::size_t byte_count);

// Ends the stream where it is: what it did not produce is zero before the
// delta step, as in a file that ends here. Sets produced_bytes; every row is
// then stored. A second call does nothing.
void FinishStream(StreamState* s);

// Rows, counted from the top of the picture, whose every byte is stored.
std::size_t StoredRows(const StreamState& s);

}  // namespace kx
