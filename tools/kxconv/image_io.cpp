#include "image_io.h"

#include <algorithm>
#include <cctype>
#include <cstring>

namespace {

constexpr std::uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

constexpr std::size_t kBmpFileHeaderBytes = 14;
constexpr std::size_t kBmpCoreHeaderBytes = 12;  // the oldest form: 16-bit sizes
constexpr std::size_t kBmpInfoHeaderBytes = 40;  // and every later form starts like it
constexpr std::uint16_t kBmpBitsPerPixel = 24;
constexpr std::uint32_t kBmpUncompressed = 0;

constexpr int kPpmMaxval = 255;
// Header numbers beyond this are nonsense; the limit keeps the parse from
// overflowing.
constexpr long kPpmNumberLimit = 1000000;

std::uint32_t Get16(const std::uint8_t* p) { return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8); }
std::uint32_t Get32(const std::uint8_t* p) { return Get16(p) | (Get16(p + 2) << 16); }

void Put16(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v & 0xFF);
  p[1] = static_cast<std::uint8_t>((v >> 8) & 0xFF);
}
void Put32(std::uint8_t* p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p + 2, v >> 16);
}

std::size_t RowBytes(const Image& image) { return std::size_t{3} * static_cast<std::size_t>(image.width); }

std::size_t BmpStrideBytes(std::int32_t width) { return (std::size_t{3} * static_cast<std::size_t>(width) + 3) / 4 * 4; }

// The sizes as the file states them: a BMP's row count can be 2^31, which
// no Image field holds.
bool SizeAcceptable(std::int64_t width, std::int64_t height, std::string* error) {
  if (width <= 0 || height <= 0) {
    *error = "an empty picture (" + std::to_string(width) + " x " + std::to_string(height) + ")";
    return false;
  }
  if (width > kMaxImageSide || height > kMaxImageSide) {
    *error = std::to_string(width) + " x " + std::to_string(height) + " pixels, more than " +
             std::to_string(kMaxImageSide) + " on a side, which no KX reader accepts";
    return false;
  }
  return true;
}

bool SizeAcceptable(const Image& image, std::string* error) { return SizeAcceptable(image.width, image.height, error); }

// The info header forms in use, by size: the oldest (12 bytes, 16-bit
// sizes), the common one (40), with colour masks (52, 56), the extended
// form of the same age as the oldest (64), with colour spaces (108, 124).
// Every form from 40 bytes on starts like the 40-byte one.
bool KnownBmpHeaderSize(std::uint32_t header_bytes) {
  switch (header_bytes) {
    case 12:
    case 40:
    case 52:
    case 56:
    case 64:
    case 108:
    case 124: return true;
    default: return false;
  }
}

// Swaps the first and third byte of every pixel: BGR <-> RGB.
void SwapOuterBytes(std::uint8_t* pixels, std::size_t total_bytes) {
  for (std::size_t k = 0; k + 2 < total_bytes; k += 3) std::swap(pixels[k], pixels[k + 2]);
}

bool DecodeBmp(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error) {
  if (bytes.size() < kBmpFileHeaderBytes + kBmpCoreHeaderBytes) {
    *error = "damaged BMP: the headers are cut short";
    return false;
  }
  const std::uint32_t pixels_at = Get32(&bytes[10]);
  const std::uint32_t header_bytes = Get32(&bytes[kBmpFileHeaderBytes]);
  if (!KnownBmpHeaderSize(header_bytes)) {
    *error = "damaged BMP: unknown header size " + std::to_string(header_bytes);
    return false;
  }
  if (bytes.size() - kBmpFileHeaderBytes < header_bytes) {
    *error = "damaged BMP: the headers are cut short";
    return false;
  }
  const std::uint8_t* h = &bytes[kBmpFileHeaderBytes];
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::uint32_t planes = 0;
  std::uint32_t bit_count = 0;
  std::uint32_t compression = kBmpUncompressed;
  std::uint64_t palette_bytes = 0;  // a 24-bit picture's optional colour table
  if (header_bytes == kBmpCoreHeaderBytes) {
    width = Get16(h + 4);
    height = Get16(h + 6);
    planes = Get16(h + 8);
    bit_count = Get16(h + 10);
  } else {
    width = static_cast<std::int32_t>(Get32(h + 4));
    height = static_cast<std::int32_t>(Get32(h + 8));
    planes = Get16(h + 12);
    bit_count = Get16(h + 14);
    compression = Get32(h + 16);
    palette_bytes = std::uint64_t{4} * Get32(h + 32);
  }
  if (planes == 0) {
    *error = "damaged BMP: 0 colour planes";
    return false;
  }
  if (bit_count != kBmpBitsPerPixel) {
    *error = "a BMP with " + std::to_string(bit_count) + " bits per pixel; only 24-bit BMP files are read";
    return false;
  }
  if (compression != kBmpUncompressed) {
    *error = "a compressed BMP (method " + std::to_string(compression) + "); only uncompressed BMP files are read";
    return false;
  }
  // A negative height means the rows are stored from the top down.
  const bool top_down = height < 0;
  const std::int64_t rows = top_down ? -height : height;
  if (!SizeAcceptable(width, rows, error)) return false;
  image->width = static_cast<std::int32_t>(width);
  image->height = static_cast<std::int32_t>(rows);

  // Pixels that start inside the headers would make them the picture's
  // first pixels.
  const std::uint64_t headers_end = kBmpFileHeaderBytes + header_bytes + palette_bytes;
  if (pixels_at < headers_end) {
    *error = "damaged BMP: the pixels start at byte " + std::to_string(pixels_at) + ", inside the headers (" +
             std::to_string(headers_end) + " bytes)";
    return false;
  }

  const std::size_t stride_bytes = BmpStrideBytes(image->width);
  const std::size_t row_bytes = RowBytes(*image);
  const std::size_t height_rows = static_cast<std::size_t>(image->height);
  // The last row need not carry its padding. With both sides at most 8192
  // the product stays below 2^28.
  const std::size_t needed_bytes = stride_bytes * (height_rows - 1) + row_bytes;
  if (pixels_at > bytes.size() || bytes.size() - pixels_at < needed_bytes) {
    *error = "damaged BMP: the pixel rows are cut short";
    return false;
  }
  image->bgr.resize(row_bytes * height_rows);
  for (std::size_t y = 0; y < height_rows; ++y) {
    const std::size_t stored_row = top_down ? y : height_rows - 1 - y;
    std::memcpy(&image->bgr[y * row_bytes], &bytes[pixels_at + stored_row * stride_bytes], row_bytes);
  }
  return true;
}

bool EncodeBmp(std::FILE* out, const Image& image, std::string* error) {
  const std::size_t stride_bytes = BmpStrideBytes(image.width);
  const std::size_t row_bytes = RowBytes(image);
  const std::size_t height_rows = static_cast<std::size_t>(image.height);
  const std::size_t pixel_bytes = stride_bytes * height_rows;
  std::uint8_t headers[kBmpFileHeaderBytes + kBmpInfoHeaderBytes] = {'B', 'M'};
  Put32(headers + 2, static_cast<std::uint32_t>(sizeof headers + pixel_bytes));
  Put32(headers + 10, sizeof headers);
  std::uint8_t* info = headers + kBmpFileHeaderBytes;
  Put32(info + 0, kBmpInfoHeaderBytes);
  Put32(info + 4, static_cast<std::uint32_t>(image.width));
  Put32(info + 8, static_cast<std::uint32_t>(image.height));  // positive: bottom-up
  Put16(info + 12, 1);                                          // planes
  Put16(info + 14, kBmpBitsPerPixel);
  Put32(info + 20, static_cast<std::uint32_t>(pixel_bytes));
  bool ok = std::fwrite(headers, 1, sizeof headers, out) == sizeof headers;
  std::vector<std::uint8_t> row(stride_bytes, 0);
  for (std::size_t y = height_rows; ok && y-- > 0;) {
    std::memcpy(row.data(), &image.bgr[y * row_bytes], row_bytes);
    ok = std::fwrite(row.data(), 1, stride_bytes, out) == stride_bytes;
  }
  if (!ok) *error = "cannot write the BMP";
  return ok;
}

// One number of a PPM header, after whitespace and '#' comments.
bool PpmNumber(const std::vector<std::uint8_t>& bytes, std::size_t* at, long* value) {
  while (*at < bytes.size()) {
    const int c = bytes[*at];
    if (c == '#') {
      while (*at < bytes.size() && bytes[*at] != '\n') ++*at;
    } else if (std::isspace(c)) {
      ++*at;
    } else {
      break;
    }
  }
  long v = 0;
  const std::size_t start = *at;
  while (*at < bytes.size() && std::isdigit(bytes[*at]) && v <= kPpmNumberLimit) {
    v = v * 10 + (bytes[*at] - '0');
    ++*at;
  }
  *value = v;
  return *at > start && v <= kPpmNumberLimit;
}

bool DecodePpm(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error) {
  if (bytes[1] != '6') {
    *error = std::string("a P") + static_cast<char>(bytes[1]) + " file; only binary colour PPM (P6) is read";
    return false;
  }
  std::size_t at = 2;
  long width = 0;
  long height = 0;
  long maxval = 0;
  if (!PpmNumber(bytes, &at, &width) || !PpmNumber(bytes, &at, &height) || !PpmNumber(bytes, &at, &maxval) ||
      at >= bytes.size() || !std::isspace(bytes[at])) {
    *error = "damaged PPM: the header is not \"P6 width height maxval\"";
    return false;
  }
  ++at;  // exactly one whitespace byte before the pixels
  if (maxval != kPpmMaxval) {
    *error = "a PPM with maxval " + std::to_string(maxval) + "; only maxval 255 is read";
    return false;
  }
  image->width = static_cast<std::int32_t>(width);
  image->height = static_cast<std::int32_t>(height);
  if (!SizeAcceptable(*image, error)) return false;
  const std::size_t total_bytes = RowBytes(*image) * static_cast<std::size_t>(image->height);
  if (bytes.size() - at < total_bytes) {
    *error = "damaged PPM: the pixels are cut short";
    return false;
  }
  image->bgr.assign(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    bytes.begin() + static_cast<std::ptrdiff_t>(at + total_bytes));
  SwapOuterBytes(image->bgr.data(), image->bgr.size());
  return true;
}

bool EncodePpm(std::FILE* out, const Image& image, std::string* error) {
  bool ok = std::fprintf(out, "P6\n%d %d\n%d\n", image.width, image.height, kPpmMaxval) > 0;
  const std::size_t row_bytes = RowBytes(image);
  std::vector<std::uint8_t> row(row_bytes);
  for (std::size_t y = 0; ok && y < static_cast<std::size_t>(image.height); ++y) {
    std::memcpy(row.data(), &image.bgr[y * row_bytes], row_bytes);
    SwapOuterBytes(row.data(), row.size());
    ok = std::fwrite(row.data(), 1, row_bytes, out) == row_bytes;
  }
  if (!ok) *error = "cannot write the PPM";
  return ok;
}

}  // namespace

ImageFormat FormatFromName(const std::string& path) {
  const std::size_t dot = path.find_last_of('.');
  const std::size_t slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return ImageFormat::kUnknown;
  std::string ext = path.substr(dot + 1);
  for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (ext == "png") return ImageFormat::kPng;
  if (ext == "bmp") return ImageFormat::kBmp;
  if (ext == "ppm") return ImageFormat::kPpm;
  return ImageFormat::kUnknown;
}

const char* FormatExtension(ImageFormat format) {
  switch (format) {
    case ImageFormat::kPng: return ".png";
    case ImageFormat::kBmp: return ".bmp";
    case ImageFormat::kPpm: return ".ppm";
    case ImageFormat::kUnknown: break;
  }
  return "";
}

bool DecodeImageFile(const std::vector<std::uint8_t>& bytes, Image* image, std::string* error) {
  *image = Image{};
  const auto starts_with = [&](const void* prefix, std::size_t n) {
    return bytes.size() >= n && std::memcmp(bytes.data(), prefix, n) == 0;
  };
  if (starts_with(kPngSignature, sizeof kPngSignature)) {
    if (DecodePng(bytes, image, error)) return true;
    // The PNG reader stops at the header of an oversized picture; say why
    // the way the other readers do.
    if (image->width > kMaxImageSide || image->height > kMaxImageSide) SizeAcceptable(*image, error);
    return false;
  }
  if (starts_with("BM", 2)) return DecodeBmp(bytes, image, error);
  if (bytes.size() >= 2 && bytes[0] == 'P' && bytes[1] >= '1' && bytes[1] <= '7') return DecodePpm(bytes, image, error);
  if (starts_with("KX", 2)) {
    *error = "a KX file, not a picture to encode (kxconv decode turns it into one)";
    return false;
  }
#ifdef _WIN32
  constexpr std::uint8_t kJpegStart[3] = {0xFF, 0xD8, 0xFF};
  if (starts_with(kJpegStart, 3) || starts_with("GIF8", 4) || starts_with("II*\0", 4) || starts_with("MM\0*", 4)) {
    if (DecodeWithWic(bytes, image, error)) return true;
    if (image->width > kMaxImageSide || image->height > kMaxImageSide) SizeAcceptable(*image, error);
    return false;
  }
  *error = "not a PNG, BMP, PPM, JPEG, TIFF or GIF file";
#else
  *error = "not a PNG, BMP or PPM file";
#endif
  return false;
}

bool EncodeImageFile(std::FILE* out, ImageFormat format, const Image& image, std::string* error) {
  switch (format) {
    case ImageFormat::kPng: return EncodePng(out, image, error);
    case ImageFormat::kBmp: return EncodeBmp(out, image, error);
    case ImageFormat::kPpm: return EncodePpm(out, image, error);
    case ImageFormat::kUnknown: break;
  }
  *error = "no output format";
  return false;
}
