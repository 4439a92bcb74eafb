// PNG through libpng's classic interface, which gives full control over the
// conversions (no gamma or colour-space changes: the bytes in the file are
// the bytes in the picture).
//
// libpng reports errors by longjmp back to a setjmp. The functions that call
// setjmp therefore hold only plain locals; the picture's memory and the row
// table are the caller's, so nothing with a destructor is skipped by the
// jump.
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

#include "image_io.h"

namespace {

constexpr std::size_t kMessageBytes = 160;
constexpr int kBitDepth = 8;

// Shared with libpng's callbacks: the input being read and the last error.
struct PngContext {
  const std::uint8_t* data;
  std::size_t size_bytes;
  std::size_t at;
  char message[kMessageBytes];
};

[[noreturn]] void OnPngError(png_structp png, png_const_charp message) {
  auto* context = static_cast<PngContext*>(png_get_error_ptr(png));
  std::snprintf(context->message, sizeof context->message, "%s", message);
  png_longjmp(png, 1);
}

// Warnings (an odd ancillary chunk, say) do not stop a conversion.
void OnPngWarning(png_structp, png_const_charp) {}

void ReadFromMemory(png_structp png, png_bytep out, png_size_t n) {
  auto* context = static_cast<PngContext*>(png_get_io_ptr(png));
  if (context->size_bytes - context->at < n) png_error(png, "the file ends early");
  std::memcpy(out, context->data + context->at, n);
  context->at += n;
}

void PointRows(std::uint8_t* first, std::size_t row_bytes, std::size_t height, std::vector<png_bytep>* rows) {
  rows->resize(height);
  for (std::size_t y = 0; y < height; ++y) (*rows)[y] = first + y * row_bytes;
}

enum class ReadOutcome { kOk, kPngError, kTooLarge, kNotRgb };

ReadOutcome ReadPng(png_structp png, png_infop info, Image* image, std::vector<png_bytep>* rows) {
  if (setjmp(png_jmpbuf(png)) != 0) return ReadOutcome::kPngError;
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info);
  const png_uint_32 height = png_get_image_height(png, info);
  image->width = static_cast<std::int32_t>(width < 0x7FFFFFFF ? width : 0x7FFFFFFF);
  image->height = static_cast<std::int32_t>(height < 0x7FFFFFFF ? height : 0x7FFFFFFF);
  if (width > kMaxImageSide || height > kMaxImageSide) return ReadOutcome::kTooLarge;

  const png_byte bit_depth = png_get_bit_depth(png, info);
  const png_byte colour_type = png_get_color_type(png, info);
  if (colour_type == PNG_COLOR_TYPE_PALETTE) png_set_palette_to_rgb(png);
  if (colour_type == PNG_COLOR_TYPE_GRAY && bit_depth < kBitDepth) png_set_expand_gray_1_2_4_to_8(png);
  if (bit_depth > kBitDepth) png_set_scale_16(png);
  png_set_strip_alpha(png);
  if ((colour_type & PNG_COLOR_MASK_COLOR) == 0) png_set_gray_to_rgb(png);
  png_set_bgr(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const std::size_t row_bytes = std::size_t{3} * width;
  if (png_get_rowbytes(png, info) != row_bytes || png_get_channels(png, info) != 3) return ReadOutcome::kNotRgb;

  image->bgr.resize(row_bytes * height);
  PointRows(image->bgr.data(), row_bytes, height, rows);
  png_read_image(png, rows->data());
  png_read_end(png, nullptr);
  return ReadOutcome::kOk;
}

bool WritePng(png_structp png, png_infop info, std::FILE* out, const Image& image, std::vector<png_bytep>* rows) {
  if (setjmp(png_jmpbuf(png)) != 0) return false;
  png_init_io(png, out);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.width), static_cast<png_uint_32>(image.height), kBitDepth,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_set_bgr(png);
  // libpng copies each row before swapping its bytes, so the picture is
  // only read, although the row table's type says otherwise.
  PointRows(const_cast<std::uint8_t*>(image.bgr.data()), std::size_t{3} * static_cast<std::size_t>(image.width),
            static_cast<std::size_t>(image.height), rows);
  png_write_image(png, rows->data());
  png_write_end(png, nullptr);
  return true;
}

}  // namespace

bool DecodePng(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error) {
  PngContext context{bytes.data(), bytes.size(), 0, {}};
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &context, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    *error = "out of memory for the PNG reader";
    return false;
  }
  png_set_read_fn(png, &context, ReadFromMemory);
  std::vector<png_bytep> rows;
  const ReadOutcome outcome = ReadPng(png, info, image, &rows);
  png_destroy_read_struct(&png, &info, nullptr);
  switch (outcome) {
    case ReadOutcome::kOk: return true;
    case ReadOutcome::kPngError: *error = std::string("damaged PNG: ") + context.message; break;
    case ReadOutcome::kTooLarge: *error = "too large"; break;
    case ReadOutcome::kNotRgb: *error = "a PNG layout that does not convert to 8-bit RGB"; break;
  }
  return false;
}

bool EncodePng(std::FILE* out, const Image& image, std::string* error) {
  PngContext context{nullptr, 0, 0, {}};
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &context, OnPngError, OnPngWarning);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr) {
    png_destroy_write_struct(&png, nullptr);
    *error = "out of memory for the PNG writer";
    return false;
  }
  std::vector<png_bytep> rows;
  const bool ok = WritePng(png, info, out, image, &rows);
  png_destroy_write_struct(&png, &info);
  if (!ok) *error = std::string("cannot write the PNG: ") + context.message;
  return ok;
}
