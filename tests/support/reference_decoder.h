// A plain transcription of the stream's decoding steps, one byte at a time,
// kept only to check the production decoders against. It writes the token
// forms' numbers out itself rather than taking them from codec/format/kx_stream.h:
// a mistake in that shared table would otherwise reach both sides of every
// differential test unseen.
#pragma once

#include "tests/support/kx_build.h"

struct ReferenceResult {
  Bytes pixels;           // total bytes, delta step applied when asked for
  std::size_t produced;   // bytes the stream produced before it stopped
};

// `file` is the whole KX image (header and stream); total = width x height x 3.
ReferenceResult ReferenceDecode(const Bytes& file, std::size_t total);

// The bits block a host should receive for `file`: the reference decoding
// laid out bottom-up in rows padded to a multiple of 4 bytes with zeros.
Bytes ReferenceBits(const Bytes& file, int width, int height);

// The same layout of raw top-down pixels already decoded.
Bytes ReferenceLayout(const Bytes& pixels, int width, int height);

// The same pixels in one of the public library's layouts (kx_layout):
// bottom-up or top-down rows stride_bytes apart, 3 or 4 bytes per pixel
// (alpha 255), every byte outside the pixels `padding`; the last row ends
// with its last pixel.
Bytes ReferenceRows(const Bytes& pixels, int width, int height, int layout, std::size_t stride_bytes,
                    std::uint8_t padding);
