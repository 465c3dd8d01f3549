// AVI file writer: a general writer for lists of video, audio and text
// streams (the writer layer) and the video-file handle the export uses
// (the handle layer).
#pragma once

#include <cstdint>
#include <cstdio>

enum AviStreamKind {
  AVI_STREAM_VIDEO = 0,
  AVI_STREAM_AUDIO = 1,
  AVI_STREAM_TEXT = 2
};

// Chunks may not carry a file to 2^31 bytes or beyond.
#define AVI_FILE_LIMIT 2147483648LL

struct AviVideoSpec {
  int32_t width;
  int32_t height;
  int32_t rate;        // whole frames per second
  char handler[4];     // FourCC of the compression, e.g. "xvid"
};

struct AviAudioSpec {
  int32_t formatTag;
  int32_t channels;
  int32_t samplesPerSecond;
  int32_t bitsPerSample;
};

struct AviTextSpec {
  int32_t caption;     // non-zero: chunks go to the SAMI caption file
  char language[64];   // NUL-terminated; empty means no language
};

struct AviStreamSpec {
  int32_t kind;        // AviStreamKind
  const char* name;    // stream name chunk, or null
  union {
    AviVideoSpec video;
    AviAudioSpec audio;
    AviTextSpec text;
  };
};

// One index entry, held exactly as "idx1" stores it (little-endian).
struct AviIndexEntry {
  uint8_t bytes[16];
};

struct AviWriter {
  FILE* aviFile;
  FILE* captionFile;
  int32_t streamCount;
  AviStreamSpec* streams;   // the writer's copies, names duplicated
  int32_t* chunkCounts;     // per stream, chunks written to the AVI file
  int32_t width;            // of the first video stream at open
  int32_t height;
  int32_t rate;
  int32_t videoFrames;
  int64_t moviDataStart;
  int64_t moviEnd;
  int64_t fileSize;
  int32_t indexUsed;
  int32_t indexCapacity;
  AviIndexEntry* index;
  // Non-zero once a failed write has lost bytes of chunks that were already
  // indexed (the stream drops what it could not write): the index would
  // point at missing data, so the file cannot be finished.
  int32_t lostData;
  // Non-zero once a chunk that failed part-way was taken back (the write
  // position moved back to its start): bytes of it may lie beyond the end
  // of what is finally written, and are cut off at finishing.
  int32_t chunkTakenBack;
  // Non-zero once a caption could not be written whole: the caption file
  // lacks it, or earlier captions the stream still held, so it is not
  // finished (no closing text) and the finish fails.
  int32_t lostCaptions;
};

struct AviHandle {
  int32_t streamCount;
  int32_t audioStream;      // 1 with audio, else -1
  int32_t textStream;       // 1 or 2 with text, else -1
  AviWriter* writer;
};

// Handle layer.
AviHandle* AviCreate(const char* path, float rate, const char* handler, int32_t width,
                     int32_t height, int32_t withAudio, int32_t withText, int32_t formatTag,
                     int32_t channels, int32_t samplesPerSecond, int32_t bitsPerSample);
AviHandle* AviCreateVideo(const char* path, float rate, const char* handler, int32_t width,
                          int32_t height);
int AviWriteFrame(AviHandle* handle, const void* data, int32_t size, int32_t keyFrame);
int AviClose(AviHandle* handle, int32_t width, int32_t height, float rate);

// Writer layer.
int AviWriterOpen(const char* path, int32_t count, const AviStreamSpec* streams, AviWriter** out);
int AviWriterWriteChunk(AviWriter* writer, int32_t stream, const void* data, int32_t size,
                        int32_t keyFrame);
int AviWriterSetVideoFormat(AviWriter* writer, int32_t stream, int32_t width, int32_t height,
                            int32_t rate);
int AviWriterFinish(AviWriter* writer);
int AviWriteHeader(AviWriter* writer);
