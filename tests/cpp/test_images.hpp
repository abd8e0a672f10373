// Small image fixtures shared by the engine tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "core/image_view.hpp"

namespace velmora::testing {

// An owned H x W row-major image.
struct Image {
  std::size_t rows = 0, cols = 0;
  std::vector<std::uint8_t> pixels;

  Image(std::size_t h, std::size_t w, std::uint8_t fill = 0)
      : rows(h), cols(w), pixels(h * w, fill) {}
  std::uint8_t& at(std::size_t y, std::size_t x) { return pixels[y * cols + x]; }
  ImageView view() const { return ImageView::row_major(pixels.data(), rows, cols); }
};

enum class Texture { kFlat, kNoise, kPatchy, kLowContrast, kTiles };

inline Image make_image(std::size_t h, std::size_t w, Texture t, std::mt19937_64& gen) {
  Image img(h, w);
  std::uniform_int_distribution<int> byte(0, 255), small(0, 6), coin(0, 1);
  const std::uint8_t flat = static_cast<std::uint8_t>(byte(gen));
  const std::size_t tile = 1 + static_cast<std::size_t>(small(gen));
  for (std::size_t y = 0; y < h; ++y) {
    for (std::size_t x = 0; x < w; ++x) {
      int v = 0;
      switch (t) {
        case Texture::kFlat:
          v = flat;
          break;
        case Texture::kNoise:
          v = byte(gen);
          break;
        case Texture::kPatchy:
          v = ((y / tile + x / tile) % 3 == 0) ? byte(gen) : static_cast<int>((x + y) * 3 % 256);
          break;
        case Texture::kLowContrast:
          v = 100 + small(gen);
          break;
        case Texture::kTiles: {
          // 2x2 tiles (0 4 / 4 8), shifted per tile: every whole tile has
          // variance exactly 8.0, the threshold's floor.
          static const int tile_values[2][2] = {{0, 4}, {4, 8}};
          v = tile_values[y % 2][x % 2] + static_cast<int>(((y / 2) * 7 + (x / 2) * 3) % 3);
          break;
        }
      }
      img.at(y, x) = static_cast<std::uint8_t>(v);
    }
  }
  return img;
}

}  // namespace velmora::testing
