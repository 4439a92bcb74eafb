// Test pictures for the benchmarks, generated in code: raw top-down rows of
// blue, green, red bytes, no gaps.
#pragma once

#include <cstdint>
#include <vector>

using Pixels = std::vector<std::uint8_t>;

// An illustration: large areas of one colour (a sky gradient by rows, flat
// shapes, stripes) and horizontal colour ramps.
Pixels FlatIllustration(int width, int height);

// A photograph stand-in: smooth noise over several scales in luminance and
// colour, plus fine per-pixel texture of a few levels, as sensor noise and
// surface detail give.
Pixels Photograph(int width, int height);

// Rendered art: a ray-traced scene of shaded spheres with shadows over a
// checkered floor that fades into a gradient sky.
Pixels RenderedArt(int width, int height);
