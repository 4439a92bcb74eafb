#include "tests/support/reference_decoder.h"

ReferenceResult ReferenceDecode(const Bytes& file, std::size_t total) {
  Bytes out(total, 0);
  const long long len = static_cast<long long>(file.size());
  long long j = 16;
  long long i = 0;
  const long long cap = static_cast<long long>(total);
  unsigned flags = 0;
  // A byte before the start of the output reads as zero.
  auto at = [&](long long p) -> std::uint8_t { return p < 0 ? 0 : out[static_cast<std::size_t>(p)]; };
  auto copy = [&](long long distance, long long length) {
    for (long long k = 0; k < length; ++k) {
      if (i >= cap) return;
      out[static_cast<std::size_t>(i)] = at(i - distance);
      ++i;
    }
  };

  if (len > 16) {
    for (;;) {
      if (i >= cap) break;                                  // step 2
      if ((flags & 0x10000) == 0) {                         // step 3
        flags = file[static_cast<std::size_t>(j)] | 0x1FE00u;
        ++j;
      }
      if ((flags & 0x80) == 0) {                            // step 4
        if (j >= len) break;
        out[static_cast<std::size_t>(i)] = file[static_cast<std::size_t>(j)];
        ++i;
        ++j;
      } else {                                              // step 5
        if (j >= len) break;
        const unsigned b = file[static_cast<std::size_t>(j)];
        ++j;
        if (b <= 0x7F && (b & 3) == 3) {
          const long long length = (b >> 2) + 9;
          for (long long k = 0; k < length; ++k) {
            if (j >= len || i >= cap) break;
            out[static_cast<std::size_t>(i)] = file[static_cast<std::size_t>(j)];
            ++i;
            ++j;
          }
        } else if (b <= 0x7F) {
          copy((b >> 2) + 1, (b & 3) + 2);
        } else if (b <= 0xBF) {
          if (j >= len) break;
          const unsigned c = file[static_cast<std::size_t>(j)];
          ++j;
          copy(((b & 0x3F) << 4) + (c >> 4) + 1, (c & 0x0F) + 3);
        } else {
          if (j >= len) break;
          const unsigned c = file[static_cast<std::size_t>(j)];
          ++j;
          if (j >= len) break;
          const unsigned d = file[static_cast<std::size_t>(j)];
          ++j;
          const long long length = d == 0xFE ? 1024 : d == 0xFF ? 4096 : d + 3;
          copy(((b & 0x3F) << 8) + c + 1, length);
        }
      }
      flags <<= 1;                                          // step 6
      if (j >= len) break;
    }
  }
  const std::size_t produced = static_cast<std::size_t>(i);
  if (file.size() > 2 && (file[2] & 0x80) != 0) {
    for (std::size_t p = 3; p < total; ++p) out[p] = static_cast<std::uint8_t>(out[p] + out[p - 3]);
  }
  return {out, produced};
}

Bytes ReferenceBits(const Bytes& file, int width, int height) {
  return ReferenceLayout(ReferenceDecode(file, std::size_t(width) * 3 * std::size_t(height)).pixels, width, height);
}

Bytes ReferenceLayout(const Bytes& pixels, int width, int height) {
  const std::size_t row = std::size_t(width) * 3;
  const std::size_t stride = (row + 3) / 4 * 4;
  Bytes bits(stride * std::size_t(height), 0);
  for (int r = 0; r < height; ++r) {
    const std::size_t from = std::size_t(height - 1 - r) * row;
    std::copy(pixels.begin() + long(from), pixels.begin() + long(from + row), bits.begin() + long(std::size_t(r) * stride));
  }
  return bits;
}

Bytes ReferenceRows(const Bytes& pixels, int width, int height, int layout, std::size_t stride_bytes,
                    std::uint8_t padding) {
  // The layouts' numbers as kx.h gives them, written out here so that a
  // mistake there shows up as a difference.
  const bool bottom_up = layout == 0;
  const bool red_first = layout == 2 || layout == 3;
  const std::size_t pixel_bytes = layout >= 3 ? 4 : 3;
  Bytes out(std::size_t(height - 1) * stride_bytes + pixel_bytes * std::size_t(width), padding);
  for (int r = 0; r < height; ++r) {
    const int stored = bottom_up ? height - 1 - r : r;
    std::uint8_t* dst = out.data() + std::size_t(stored) * stride_bytes;
    const std::uint8_t* src = pixels.data() + std::size_t(3) * std::size_t(width) * std::size_t(r);
    for (int x = 0; x < width; ++x, src += 3, dst += pixel_bytes) {
      dst[0] = red_first ? src[2] : src[0];
      dst[1] = src[1];
      dst[2] = red_first ? src[0] : src[2];
      if (pixel_bytes == 4) dst[3] = 0xFF;
    }
  }
  return out;
}
