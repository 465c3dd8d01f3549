// GrowBuffer: a zero-filled process-heap block that only grows, guarded by
// its own lock.
#include "export/channel_exporter.h"
#include "export/codec_modules.h"

void GrowBufferInit(GrowBuffer* buffer) {
  buffer->ready = 0;
  buffer->capacity = 0;
  buffer->data = nullptr;
  PlatformLockInit(&buffer->lock);
  buffer->ready = 1;
}

int GrowBufferEnsure(GrowBuffer* buffer, int32_t size) {
  if (!buffer->ready) return 0;
  PlatformLockEnter(&buffer->lock);
  int result = 1;
  if (size > buffer->capacity) {
    void* block = buffer->data ? PlatformHeapReAlloc(buffer->data, (size_t)size)
                               : PlatformHeapAlloc((size_t)size);
    if (block) {
      buffer->data = (uint8_t*)block;
      buffer->capacity = size;
    } else {
      result = 0;  // the old block and its capacity stay as they were
    }
  }
  PlatformLockLeave(&buffer->lock);
  return result;
}

void GrowBufferFree(GrowBuffer* buffer) {
  if (!buffer->ready) return;
  PlatformLockEnter(&buffer->lock);
  buffer->capacity = 0;
  if (buffer->data) {
    SafeHeapFree(buffer->data);
    buffer->data = nullptr;
  }
  PlatformLockLeave(&buffer->lock);
  PlatformLockDelete(&buffer->lock);
  buffer->ready = 0;
}
