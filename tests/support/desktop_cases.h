// Pictures for the tests of the desktop loaders, and what the plug-in makes
// of them, as the top-down RGB rows the loaders must give.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/kx_build.h"

struct PictureFile {
  std::string name;
  std::string path;
};

// The golden pictures (tests/data/decode) and samples written here by the
// project's writer and by hand: a photograph-like picture several decode
// windows long, odd widths (padded rows), one pixel, a side above the
// recognition test's 8192, a stream without the delta step, a stream cut in
// the middle, a stream followed by junk. The plug-in decodes every one.
std::vector<PictureFile> GoodPictures();

// A picture whose rows take more than the 32 MiB from which the loaders
// fault them in on a second thread; its last row is one byte short of a
// multiple of 4, so a toolkit may leave it unpadded.
PictureFile LargePicture();

// The files of tests/data/damaged that the plug-in refuses, with the reason
// a loader gives for each.
struct RefusedFile {
  PictureFile file;
  std::string reason;
};
std::vector<RefusedFile> RefusedPictures();

struct RgbPicture {
  int width = 0;
  int height = 0;
  Bytes rows;  // height rows of 3 x width bytes, red, green, blue; no padding
};

// What the plug-in hands a viewer for the file (GetPicture, file mode),
// turned into top-down RGB rows.
RgbPicture PluginRgb(const std::string& path);

// The rows of a loader's picture without their padding.
RgbPicture TightRows(const std::uint8_t* pixels, int width, int height, std::size_t stride_bytes);

// Empty when the pictures are the same; otherwise what differs first.
std::string RgbDifference(const RgbPicture& want, const RgbPicture& got);

Bytes ReadWholeFile(const std::string& path);
