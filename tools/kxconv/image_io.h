// Pictures in the formats kxconv converts to and from KX: PNG (through
// libpng; on Windows through WIC), BMP (24-bit) and PPM (binary P6, maxval
// 255); on Windows also JPEG, TIFF and GIF as encode inputs.
//
// In memory a picture is held the way a KX file stores its pixels: rows from
// the top down, 3 x width bytes each with no gaps, every pixel blue, green,
// red. BMP keeps that byte order on disk; PNG and PPM keep red, green, blue,
// so their readers and writers swap the outer two bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct Image {
  std::int32_t width = 0;
  std::int32_t height = 0;
  std::vector<std::uint8_t> bgr;  // height rows of 3 x width bytes, top row first
};

enum class ImageFormat { kUnknown, kPng, kBmp, kPpm };

// By the name's extension (.png, .bmp, .ppm, any case); kUnknown otherwise.
ImageFormat FormatFromName(const std::string& path);
// The usual extension with its dot, for naming outputs.
const char* FormatExtension(ImageFormat format);

// Largest width or height a reader accepts; a picture read for encoding is
// refused beyond it before its pixels are allocated.
inline constexpr std::int32_t kMaxImageSide = 8192;

// Reads a PNG, BMP or PPM file held in `bytes`, recognised by its first
// bytes rather than its name. PNG: 8-bit RGB or RGBA, palette, grey and
// 16-bit converted to 8-bit RGB, alpha dropped. On failure returns false and
// puts a short reason (no file name) in *error.
bool DecodeImageFile(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error);

// Writes `image` to `out` in `format` (not kUnknown). BMP is 24-bit and
// bottom-up with rows padded to 4 bytes, laid out as a viewer's bitmap
// blocks are. On failure returns false with a reason in *error.
bool EncodeImageFile(std::FILE* out, ImageFormat format, const Image& image, std::string* error);

// The PNG parts, kept apart because libpng reports errors by longjmp (on
// Windows: through WIC, png_io_wic.cpp).
bool DecodePng(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error);
bool EncodePng(std::FILE* out, const Image& image, std::string* error);

#ifdef _WIN32
// Any picture WIC reads (JPEG, TIFF and GIF besides PNG; the first frame).
// Sets the size before refusing an empty or oversized picture.
bool DecodeWithWic(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error);
#endif
