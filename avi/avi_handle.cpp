// AVI handle layer: a video stream, optionally followed by an audio and a text
// stream, over the writer layer. This is what the channel export calls.
#include <cstdlib>
#include <cstring>

#include "avi/avi_writer.h"

// Float frame rates become whole frames per second by truncation toward zero.
// Values with no whole rate (NaN, below 1) become 0; huge ones are clamped.
static int32_t WholeRate(float rate) {
  if (!(rate >= 1.0f)) return 0;
  if (rate >= 2147483647.0f) return INT32_MAX;
  return static_cast<int32_t>(rate);
}

AviHandle* AviCreate(const char* path, float rate, const char* handler, int32_t width,
                     int32_t height, int32_t withAudio, int32_t withText, int32_t formatTag,
                     int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample) {
  AviHandle* handle = static_cast<AviHandle*>(calloc(1, sizeof(AviHandle)));
  if (!handle) return nullptr;

  AviStreamSpec streams[3];
  memset(streams, 0, sizeof streams);
  int32_t count = 0;

  AviStreamSpec* video = &streams[count++];
  video->kind = AVI_STREAM_VIDEO;
  video->video.width = width;
  video->video.height = height;
  video->video.rate = WholeRate(rate);
  if (handler) memcpy(video->video.handler, handler, 4);

  handle->audioStream = -1;
  if (withAudio) {
    handle->audioStream = count;
    AviStreamSpec* audio = &streams[count++];
    audio->kind = AVI_STREAM_AUDIO;
    audio->audio.formatTag = formatTag;
    audio->audio.channels = channels;
    audio->audio.samplesPerSecond = samplesPerSecond;
    audio->audio.bitsPerSample = bitsPerSample;
  }

  handle->textStream = -1;
  if (withText) {
    handle->textStream = count;
    AviStreamSpec* text = &streams[count++];
    text->kind = AVI_STREAM_TEXT;  // caption flag clear, empty language
  }

  handle->streamCount = count;
  if (AviWriterOpen(path, count, streams, &handle->writer) != 0) {
    free(handle);
    return nullptr;
  }
  return handle;
}

AviHandle* AviCreateVideo(const char* path, float rate, const char* handler, int32_t width,
                          int32_t height) {
  return AviCreate(path, rate, handler, width, height, 0, 0, 0, 0, 0, 0);
}

int AviWriteFrame(AviHandle* handle, const void* data, int32_t size, int32_t keyFrame) {
  if (!handle) return -1;
  return AviWriterWriteChunk(handle->writer, 0, data, size, keyFrame);
}

int AviClose(AviHandle* handle, int32_t width, int32_t height, float rate) {
  if (!handle) return -1;
  AviWriterSetVideoFormat(handle->writer, 0, width, height, WholeRate(rate));
  int result = AviWriterFinish(handle->writer);
  free(handle);
  return result;
}
