// Reproducible synthetic pictures for the recording generator and the tests:
// the same seed, channel, frame number and size always give the same picture.
#pragma once

#include <cstddef>
#include <cstdint>

// Bytes of a tightly packed YUV 4:2:0 picture (width and height even).
size_t PictureSize(int width, int height);

// Draws frame `index` of `channel` into picture (PictureSize bytes): luma
// plane, then the two chroma planes, limited-range (video) levels.
void DrawPattern(uint8_t* picture, int width, int height, uint32_t seed, int channel, int index);

// Peak signal-to-noise ratio in dB of two pictures of `size` bytes (8-bit
// samples); identical pictures give 99.
double PicturePsnr(const uint8_t* a, const uint8_t* b, size_t size);
