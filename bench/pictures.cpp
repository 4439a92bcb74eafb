#include "bench/pictures.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>

namespace {

struct Colour {
  double b, g, r;
};

std::uint8_t Clamp(double v) { return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

void Put(Pixels* p, int width, int x, int y, const Colour& c) {
  const std::size_t at = (static_cast<std::size_t>(y) * static_cast<std::size_t>(width) + static_cast<std::size_t>(x)) * 3;
  (*p)[at] = Clamp(c.b);
  (*p)[at + 1] = Clamp(c.g);
  (*p)[at + 2] = Clamp(c.r);
}

Colour Mix(const Colour& a, const Colour& b, double t) {
  return {a.b + (b.b - a.b) * t, a.g + (b.g - a.g) * t, a.r + (b.r - a.r) * t};
}

Colour RandomColour(std::mt19937& rng) {
  std::uniform_int_distribution<int> channel(0, 255);
  return {double(channel(rng)), double(channel(rng)), double(channel(rng))};
}

// Value noise: a lattice of random values every `cell` pixels, smoothly
// interpolated, in [-1, 1].
class ValueNoise {
 public:
  ValueNoise(int width, int height, int cell, std::uint32_t seed)
      : cell_(cell), columns_(width / cell + 2), rows_(height / cell + 2) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> value(-1.0, 1.0);
    lattice_.resize(static_cast<std::size_t>(columns_) * static_cast<std::size_t>(rows_));
    for (double& v : lattice_) v = value(rng);
  }
  double At(int x, int y) const {
    const int cx = x / cell_;
    const int cy = y / cell_;
    const double fx = Smooth(double(x % cell_) / cell_);
    const double fy = Smooth(double(y % cell_) / cell_);
    const double top = Lerp(Get(cx, cy), Get(cx + 1, cy), fx);
    const double bottom = Lerp(Get(cx, cy + 1), Get(cx + 1, cy + 1), fx);
    return Lerp(top, bottom, fy);
  }

 private:
  static double Smooth(double t) { return t * t * (3 - 2 * t); }
  static double Lerp(double a, double b, double t) { return a + (b - a) * t; }
  double Get(int cx, int cy) const {
    return lattice_[static_cast<std::size_t>(cy) * static_cast<std::size_t>(columns_) + static_cast<std::size_t>(cx)];
  }
  int cell_;
  int columns_;
  int rows_;
  std::vector<double> lattice_;
};

struct Vec {
  double x, y, z;
};
Vec operator+(Vec a, Vec b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
Vec operator-(Vec a, Vec b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
Vec operator*(Vec a, double s) { return {a.x * s, a.y * s, a.z * s}; }
double Dot(Vec a, Vec b) { return a.x * b.x + a.y * b.y + a.z * b.z; }
Vec Normalised(Vec a) { return a * (1.0 / std::sqrt(Dot(a, a))); }

struct Sphere {
  Vec centre;
  double radius;
  Colour colour;
};

// Distance along the ray to the sphere, or a negative value for a miss.
double Hit(const Sphere& s, Vec origin, Vec direction) {
  const Vec to = origin - s.centre;
  const double b = Dot(to, direction);
  const double c = Dot(to, to) - s.radius * s.radius;
  const double d = b * b - c;
  if (d < 0) return -1;
  const double t = -b - std::sqrt(d);
  return t > 1e-6 ? t : -1;
}

}  // namespace

Pixels FlatIllustration(int width, int height) {
  Pixels p(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  std::mt19937 rng(11);
  // Sky: one colour per row, from deep blue to pale.
  const Colour top{170, 90, 40};
  const Colour horizon{250, 230, 200};
  for (int y = 0; y < height; ++y) {
    const Colour c = Mix(top, horizon, double(y) / height);
    for (int x = 0; x < width; ++x) Put(&p, width, x, y, c);
  }
  // Bands that ramp from one colour to another across the picture.
  for (int band = 0; band < 4; ++band) {
    const int y0 = height / 2 + band * height / 10;
    const Colour a = RandomColour(rng);
    const Colour b = RandomColour(rng);
    for (int y = y0; y < y0 + height / 20 && y < height; ++y) {
      for (int x = 0; x < width; ++x) Put(&p, width, x, y, Mix(a, b, double(x) / width));
    }
  }
  // Flat rectangles, circles and stripes.
  std::uniform_int_distribution<int> px(0, width - 1);
  std::uniform_int_distribution<int> py(0, height - 1);
  for (int k = 0; k < 40; ++k) {
    const Colour c = RandomColour(rng);
    const int x0 = px(rng);
    const int y0 = py(rng);
    const int w = width / 20 + px(rng) / 5;
    const int h = height / 20 + py(rng) / 5;
    if (k % 3 == 0) {
      const double radius = std::min(w, h) / 2.0;
      for (int y = std::max(0, y0 - int(radius)); y < std::min(height, y0 + int(radius)); ++y) {
        for (int x = std::max(0, x0 - int(radius)); x < std::min(width, x0 + int(radius)); ++x) {
          const double dx = x - x0;
          const double dy = y - y0;
          if (dx * dx + dy * dy <= radius * radius) Put(&p, width, x, y, c);
        }
      }
    } else {
      const int stripe = k % 3 == 1 ? 0 : 24;
      for (int y = y0; y < std::min(height, y0 + h); ++y) {
        if (stripe != 0 && (y / stripe) % 2 == 0) continue;
        for (int x = x0; x < std::min(width, x0 + w); ++x) Put(&p, width, x, y, c);
      }
    }
  }
  return p;
}

Pixels Photograph(int width, int height) {
  Pixels p(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  const ValueNoise large(width, height, 600, 21);
  const ValueNoise medium(width, height, 120, 22);
  const ValueNoise small(width, height, 24, 23);
  const ValueNoise fine(width, height, 5, 24);
  const ValueNoise warm(width, height, 400, 25);
  const ValueNoise tint(width, height, 90, 26);
  std::mt19937 rng(27);
  std::uniform_int_distribution<int> grain(-4, 4);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const double luma = 120 + 70 * large.At(x, y) + 30 * medium.At(x, y) + 14 * small.At(x, y) + 6 * fine.At(x, y);
      const double w = 25 * warm.At(x, y) + 8 * tint.At(x, y);
      const Colour c{luma - w + grain(rng), luma + 0.3 * w + grain(rng), luma + w + grain(rng)};
      Put(&p, width, x, y, c);
    }
  }
  return p;
}

Pixels RenderedArt(int width, int height) {
  Pixels p(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
  const Sphere spheres[] = {
      {{-2.2, 1.0, 7.0}, 1.0, {60, 60, 220}}, {{0.3, 1.4, 9.0}, 1.4, {200, 120, 40}},
      {{2.6, 0.8, 6.5}, 0.8, {70, 200, 90}},  {{-0.8, 0.5, 5.0}, 0.5, {220, 220, 220}},
      {{4.5, 2.0, 13.0}, 2.0, {150, 60, 160}},
  };
  const Vec light = Normalised({-0.5, 1.0, -0.4});
  const Vec eye{0, 1.6, -1.0};
  const Colour sky_top{200, 120, 60};
  const Colour sky_bottom{240, 215, 190};
  const double aspect = double(width) / height;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const Vec direction =
          Normalised({(2.0 * (x + 0.5) / width - 1.0) * aspect * 0.6, (1.0 - 2.0 * (y + 0.5) / height) * 0.6, 1.0});
      Colour colour = Mix(sky_top, sky_bottom, std::clamp(1.0 - direction.y * 2.5, 0.0, 1.0));
      double nearest = 1e30;
      const Sphere* hit = nullptr;
      for (const Sphere& s : spheres) {
        const double t = Hit(s, eye, direction);
        if (t > 0 && t < nearest) {
          nearest = t;
          hit = &s;
        }
      }
      const double floor_t = direction.y < 0 ? -eye.y / direction.y : -1;
      if (hit != nullptr) {
        const Vec at = eye + direction * nearest;
        const Vec normal = Normalised(at - hit->centre);
        const double diffuse = std::max(0.0, Dot(normal, light));
        const Vec reflected = direction - normal * (2 * Dot(direction, normal));
        const double specular = std::pow(std::max(0.0, Dot(reflected, light)), 40);
        const double shade = 0.2 + 0.8 * diffuse;
        colour = {hit->colour.b * shade + 255 * specular, hit->colour.g * shade + 255 * specular,
                  hit->colour.r * shade + 255 * specular};
      } else if (floor_t > 0) {
        const Vec at = eye + direction * floor_t;
        const bool dark = (int(std::floor(at.x)) + int(std::floor(at.z))) % 2 == 0;
        const Colour floor = dark ? Colour{70, 80, 90} : Colour{210, 215, 220};
        bool shadowed = false;
        for (const Sphere& s : spheres) shadowed = shadowed || Hit(s, at, light) > 0;
        const Colour lit = shadowed ? Mix(floor, {0, 0, 0}, 0.55) : floor;
        colour = Mix(lit, sky_bottom, std::min(1.0, floor_t / 60.0));
      }
      Put(&p, width, x, y, colour);
    }
  }
  return p;
}
