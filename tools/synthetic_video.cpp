// Synthetic pictures: a slowly drifting colour gradient, a checkerboard that
// scrolls, a bright box that moves across the picture, and one bar per
// channel so that channels can be told apart. Integer arithmetic only, so
// every platform draws the same bytes.
#include "tools/synthetic_video.h"

#include <cmath>

size_t PictureSize(int width, int height) {
  return (size_t)width * (size_t)height * 3 / 2;
}

static uint32_t Mix(uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}

static uint8_t Clamp(int v, int low, int high) {
  return (uint8_t)(v < low ? low : v > high ? high : v);
}

void DrawPattern(uint8_t* picture, int width, int height, uint32_t seed, int channel, int index) {
  const uint32_t h = Mix(seed * 977u + (uint32_t)channel * 131u + 17u);
  const int phase = (int)(h % 256);
  const int speed = 1 + (int)((h >> 8) % 3);
  const int cell = 8 << ((h >> 12) % 2);
  uint8_t* luma = picture;
  uint8_t* cb = picture + (size_t)width * height;
  uint8_t* cr = cb + (size_t)width * height / 4;

  // Moving box, bouncing horizontally.
  const int boxW = width / 5 > 8 ? width / 5 : 8;
  const int boxH = height / 4 > 8 ? height / 4 : 8;
  const int travel = width - boxW > 1 ? width - boxW : 1;
  int bx = (index * 4 * speed + phase) % (2 * travel);
  if (bx >= travel) bx = 2 * travel - bx;
  const int by = height / 3;
  // Channel bar: a band whose vertical place tells the channel.
  const int barY = (channel * 7) % (height > 16 ? height - 8 : 1);

  for (int y = 0; y < height; y++) {
    for (int x = 0; x < width; x++) {
      int v = 40 + (x * 120) / (width ? width : 1) + (y * 50) / (height ? height : 1);
      v += ((x + index * speed) / cell + y / cell) % 2 ? 18 : -18;
      if (x >= bx && x < bx + boxW && y >= by && y < by + boxH) v = 200 + (index % 16);
      if (y >= barY && y < barY + 6 && x < width / 2) v = 60 + (channel * 37) % 150;
      luma[(size_t)y * width + x] = Clamp(v, 16, 235);
    }
  }
  const int cw = width / 2;
  const int ch = height / 2;
  for (int y = 0; y < ch; y++) {
    for (int x = 0; x < cw; x++) {
      int u = 128 + ((x * 2 + index + phase) % 160) / 4 - 20;
      int w = 128 + ((y * 2 + phase) % 120) / 3 - 20;
      if (2 * x >= bx && 2 * x < bx + boxW && 2 * y >= by && 2 * y < by + boxH) {
        u = 90 + (channel * 29) % 80;
        w = 170 - (channel * 13) % 60;
      }
      cb[(size_t)y * cw + x] = Clamp(u, 16, 240);
      cr[(size_t)y * cw + x] = Clamp(w, 16, 240);
    }
  }
}

double PicturePsnr(const uint8_t* a, const uint8_t* b, size_t size) {
  if (size == 0) return 99.0;
  double sum = 0;
  for (size_t i = 0; i < size; i++) {
    int d = (int)a[i] - (int)b[i];
    sum += (double)(d * d);
  }
  if (sum == 0) return 99.0;
  double mse = sum / (double)size;
  double psnr = 10.0 * std::log10(255.0 * 255.0 / mse);
  return psnr > 99.0 ? 99.0 : psnr;
}
