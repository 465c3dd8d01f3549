// AVI writer layer: a RIFF "AVI " file with a header list, one "movi" list of
// data chunks and an "idx1" index, written front to back in one pass. The
// provisional header written at open is overwritten in place at finishing by
// the final one, which has the same length.
#include "avi/avi_writer.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "avi/sami_writer.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

// ---------------------------------------------------------------------------
// 64-bit positions on buffered streams.

static int64_t AviTell(FILE* file) {
#ifdef _WIN32
  return _ftelli64(file);
#else
  return ftello(file);
#endif
}

static int AviSeek(FILE* file, int64_t offset) {
#ifdef _WIN32
  return _fseeki64(file, offset, SEEK_SET) == 0 ? 0 : -1;
#else
  return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0 ? 0 : -1;
#endif
}

// Cuts a flushed file to length bytes.
static int AviTruncate(FILE* file, int64_t length) {
#ifdef _WIN32
  return _chsize(_fileno(file), static_cast<long>(length)) == 0 ? 0 : -1;  // below 2^31
#else
  return ftruncate(fileno(file), static_cast<off_t>(length)) == 0 ? 0 : -1;
#endif
}

// ---------------------------------------------------------------------------
// Little-endian stores into the header buffer.

struct AviCursor {
  uint8_t* p;
};

static void PutLe16(AviCursor* c, uint32_t value) {
  c->p[0] = static_cast<uint8_t>(value);
  c->p[1] = static_cast<uint8_t>(value >> 8);
  c->p += 2;
}

static void PutLe32(AviCursor* c, uint32_t value) {
  c->p[0] = static_cast<uint8_t>(value);
  c->p[1] = static_cast<uint8_t>(value >> 8);
  c->p[2] = static_cast<uint8_t>(value >> 16);
  c->p[3] = static_cast<uint8_t>(value >> 24);
  c->p += 4;
}

static void PutTag(AviCursor* c, const char* tag) {
  memcpy(c->p, tag, 4);
  c->p += 4;
}

static void PutZeros(AviCursor* c, size_t count) {
  memset(c->p, 0, count);
  c->p += count;
}

static void StoreLe32(uint8_t* p, uint32_t value) {
  p[0] = static_cast<uint8_t>(value);
  p[1] = static_cast<uint8_t>(value >> 8);
  p[2] = static_cast<uint8_t>(value >> 16);
  p[3] = static_cast<uint8_t>(value >> 24);
}

// ---------------------------------------------------------------------------
// Stream blocks.

enum {
  AVI_MAIN_HEADER_LENGTH = 88,  // RIFF head, hdrl list head, avih chunk
  AVI_MOVI_HEAD_LENGTH = 12,    // "LIST", size, "movi"
  AVI_VIDEO_BLOCK_LENGTH = 124,
  AVI_AUDIO_BLOCK_LENGTH = 102,
  AVI_TEXT_BLOCK_LENGTH = 84,
  AVI_INDEX_STEP = 1000,
  AVI_KEY_FRAME_FLAG = 0x10
};

static const char* const AVI_STREAM_TYPES[3] = {"vids", "auds", "txts"};
static const char AVI_CHUNK_SUFFIXES[3][3] = {"dc", "wb", "tx"};

// Whole length of a stream's "strn" chunk: head, text with its NUL, pad.
static int64_t NameChunkLength(const AviStreamSpec* stream) {
  if (!stream->name) return 0;
  int64_t size = static_cast<int64_t>(strlen(stream->name)) + 1;
  return 8 + size + (size & 1);
}

static int64_t StreamBlockLength(const AviStreamSpec* stream) {
  int64_t base = AVI_TEXT_BLOCK_LENGTH;
  if (stream->kind == AVI_STREAM_VIDEO) base = AVI_VIDEO_BLOCK_LENGTH;
  if (stream->kind == AVI_STREAM_AUDIO) base = AVI_AUDIO_BLOCK_LENGTH;
  return base + NameChunkLength(stream);
}

static void PutNameChunk(AviCursor* c, const AviStreamSpec* stream) {
  if (!stream->name) return;
  size_t length = strlen(stream->name);
  uint32_t size = static_cast<uint32_t>(length + 1);
  PutTag(c, "strn");
  PutLe32(c, size);                               // name size with its NUL
  memcpy(c->p, stream->name, length + 1);         // name and NUL
  c->p += length + 1;
  if (size & 1) PutZeros(c, 1);                   // pad byte
}

static void PutVideoBlock(AviCursor* c, const AviStreamSpec* stream, int32_t length) {
  const AviVideoSpec* v = &stream->video;
  uint32_t listSize = static_cast<uint32_t>(AVI_VIDEO_BLOCK_LENGTH - 8 + NameChunkLength(stream));
  uint32_t pictureSize = static_cast<uint32_t>(v->width) * static_cast<uint32_t>(v->height);
  PutTag(c, "LIST");
  PutLe32(c, listSize);                           // strl list size
  PutTag(c, "strl");
  PutTag(c, "strh");
  PutLe32(c, 56);                                 // strh size
  PutTag(c, AVI_STREAM_TYPES[AVI_STREAM_VIDEO]);  // fccType
  PutTag(c, v->handler);                          // fccHandler
  PutLe32(c, 0);                                  // dwFlags
  PutLe16(c, 0);                                  // wPriority
  PutLe16(c, 0);                                  // wLanguage
  PutLe32(c, 0);                                  // dwInitialFrames
  PutLe32(c, 1000);                               // dwScale
  PutLe32(c, static_cast<uint32_t>(static_cast<int64_t>(v->rate) * 1000));  // dwRate
  PutLe32(c, 0);                                  // dwStart
  PutLe32(c, static_cast<uint32_t>(length));      // dwLength
  PutLe32(c, 100000);                             // dwSuggestedBufferSize
  PutLe32(c, 0xFFFFFFFFu);                        // dwQuality
  PutLe32(c, pictureSize);                        // dwSampleSize
  PutLe16(c, 0);                                  // rcFrame.left
  PutLe16(c, 0);                                  // rcFrame.top
  PutLe16(c, static_cast<uint32_t>(v->width) & 0xFFFF);   // rcFrame.right
  PutLe16(c, static_cast<uint32_t>(v->height) & 0xFFFF);  // rcFrame.bottom
  PutTag(c, "strf");
  PutLe32(c, 40);                                 // strf size
  PutLe32(c, 40);                                 // biSize
  PutLe32(c, static_cast<uint32_t>(v->width));    // biWidth
  PutLe32(c, static_cast<uint32_t>(v->height));   // biHeight
  PutLe16(c, 1);                                  // biPlanes
  PutLe16(c, 24);                                 // biBitCount
  PutTag(c, v->handler);                          // biCompression
  PutLe32(c, pictureSize);                        // biSizeImage
  PutLe32(c, 0);                                  // biXPelsPerMeter
  PutLe32(c, 0);                                  // biYPelsPerMeter
  PutLe32(c, 0);                                  // biClrUsed
  PutLe32(c, 0);                                  // biClrImportant
  PutNameChunk(c, stream);
}

static void PutAudioBlock(AviCursor* c, const AviStreamSpec* stream) {
  const AviAudioSpec* a = &stream->audio;
  uint32_t listSize = static_cast<uint32_t>(AVI_AUDIO_BLOCK_LENGTH - 8 + NameChunkLength(stream));
  uint32_t samplesPerSecond = static_cast<uint32_t>(a->samplesPerSecond);
  uint32_t bytesPerSample = static_cast<uint32_t>(a->bitsPerSample / 8);
  uint32_t averageBytes = static_cast<uint32_t>(
      static_cast<int64_t>(a->bitsPerSample) * a->samplesPerSecond / 8 * a->channels);
  uint32_t blockAlign = (bytesPerSample * static_cast<uint32_t>(a->channels)) & 0xFFFF;
  PutTag(c, "LIST");
  PutLe32(c, listSize);                           // strl list size
  PutTag(c, "strl");
  PutTag(c, "strh");
  PutLe32(c, 56);                                 // strh size
  PutTag(c, AVI_STREAM_TYPES[AVI_STREAM_AUDIO]);  // fccType
  PutLe32(c, 0);                                  // fccHandler
  PutLe32(c, 0);                                  // dwFlags
  PutLe16(c, 0);                                  // wPriority
  PutLe16(c, 0);                                  // wLanguage
  PutLe32(c, 0);                                  // dwInitialFrames
  PutLe32(c, 1);                                  // dwScale
  PutLe32(c, samplesPerSecond ? samplesPerSecond : 1);  // dwRate
  PutLe32(c, 0);                                  // dwStart
  PutLe32(c, 1);                                  // dwLength
  PutLe32(c, samplesPerSecond);                   // dwSuggestedBufferSize
  PutLe32(c, 0);                                  // dwQuality
  PutLe32(c, bytesPerSample);                     // dwSampleSize
  PutZeros(c, 8);                                 // rcFrame
  PutTag(c, "strf");
  PutLe32(c, 18);                                 // strf size
  PutLe16(c, static_cast<uint32_t>(a->formatTag) & 0xFFFF);  // wFormatTag
  PutLe16(c, static_cast<uint32_t>(a->channels) & 0xFFFF);   // nChannels
  PutLe32(c, samplesPerSecond);                   // nSamplesPerSec
  PutLe32(c, averageBytes);                       // nAvgBytesPerSec
  PutLe16(c, blockAlign);                         // nBlockAlign
  PutLe16(c, static_cast<uint32_t>(a->bitsPerSample) & 0xFFFF);  // wBitsPerSample
  PutLe16(c, 0);                                  // cbSize
  PutNameChunk(c, stream);
}

static void PutTextBlock(AviCursor* c, const AviStreamSpec* stream) {
  uint32_t listSize = static_cast<uint32_t>(AVI_TEXT_BLOCK_LENGTH - 8 + NameChunkLength(stream));
  PutTag(c, "LIST");
  PutLe32(c, listSize);                           // strl list size
  PutTag(c, "strl");
  PutTag(c, "strh");
  PutLe32(c, 56);                                 // strh size
  PutTag(c, AVI_STREAM_TYPES[AVI_STREAM_TEXT]);   // fccType
  PutLe32(c, 0);                                  // fccHandler
  PutLe32(c, 0);                                  // dwFlags
  PutLe16(c, 0);                                  // wPriority
  PutLe16(c, 0);                                  // wLanguage
  PutLe32(c, 0);                                  // dwInitialFrames
  PutLe32(c, 0);                                  // dwScale
  PutLe32(c, 0);                                  // dwRate
  PutLe32(c, 0);                                  // dwStart
  PutLe32(c, 1);                                  // dwLength
  PutLe32(c, 1);                                  // dwSuggestedBufferSize
  PutLe32(c, 0);                                  // dwQuality
  PutLe32(c, 1);                                  // dwSampleSize
  PutZeros(c, 8);                                 // rcFrame
  PutTag(c, "strf");
  PutLe32(c, 0);                                  // strf size: empty format
  PutNameChunk(c, stream);
}

// ---------------------------------------------------------------------------
// Header.

int AviWriteHeader(AviWriter* writer) {
  if (!writer) return -1;
  int64_t headerLength = AVI_MAIN_HEADER_LENGTH;
  for (int32_t i = 0; i < writer->streamCount; i++)
    headerLength += StreamBlockLength(&writer->streams[i]);
  int64_t bufferLength = headerLength + AVI_MOVI_HEAD_LENGTH;
  // Every stored offset must fit 32 bits; a header this long never could.
  if (bufferLength >= AVI_FILE_LIMIT) return -1;
  uint8_t* buffer = static_cast<uint8_t*>(malloc(static_cast<size_t>(bufferLength)));
  if (!buffer) return -1;

  uint32_t riffSize = writer->fileSize ? static_cast<uint32_t>(writer->fileSize - 8) : 0xFFFFFFFFu;
  uint32_t moviSize = writer->moviEnd
                          ? static_cast<uint32_t>(writer->moviEnd - writer->moviDataStart + 4)
                          : 0xFFFFFFFFu;
  // A rate below 1 has no frame duration; 0 tells readers "unknown".
  uint32_t microSecondsPerFrame = writer->rate >= 1 ? static_cast<uint32_t>(1000000 / writer->rate) : 0;

  AviCursor c = {buffer};
  PutTag(&c, "RIFF");
  PutLe32(&c, riffSize);                                  // RIFF size
  PutTag(&c, "AVI ");
  PutTag(&c, "LIST");
  PutLe32(&c, static_cast<uint32_t>(headerLength - 20));  // hdrl list size
  PutTag(&c, "hdrl");
  PutTag(&c, "avih");
  PutLe32(&c, 56);                                        // avih size
  PutLe32(&c, microSecondsPerFrame);                      // dwMicroSecPerFrame
  PutLe32(&c, 0xFFFFFFFFu);                               // dwMaxBytesPerSec
  PutLe32(&c, 0);                                         // dwPaddingGranularity
  PutLe32(&c, 0x910);                                     // dwFlags: HASINDEX|ISINTERLEAVED|TRUSTCKTYPE
  PutLe32(&c, static_cast<uint32_t>(writer->indexUsed));  // dwTotalFrames
  PutLe32(&c, 0);                                         // dwInitialFrames
  PutLe32(&c, static_cast<uint32_t>(writer->streamCount));  // dwStreams
  PutLe32(&c, 100000);                                    // dwSuggestedBufferSize
  PutLe32(&c, static_cast<uint32_t>(writer->width));      // dwWidth
  PutLe32(&c, static_cast<uint32_t>(writer->height));     // dwHeight
  PutZeros(&c, 16);                                       // dwReserved[4]

  for (int32_t i = 0; i < writer->streamCount; i++) {
    const AviStreamSpec* stream = &writer->streams[i];
    if (stream->kind == AVI_STREAM_VIDEO)
      PutVideoBlock(&c, stream, writer->chunkCounts[i]);
    else if (stream->kind == AVI_STREAM_AUDIO)
      PutAudioBlock(&c, stream);
    else
      PutTextBlock(&c, stream);
  }

  PutTag(&c, "LIST");
  PutLe32(&c, moviSize);                                  // movi list size
  PutTag(&c, "movi");

  size_t written = fwrite(buffer, 1, static_cast<size_t>(bufferLength), writer->aviFile);
  free(buffer);
  return written == static_cast<size_t>(bufferLength) ? 0 : -2;
}

// ---------------------------------------------------------------------------
// Open.

// Frees the writer's own allocations; files are the caller's business.
static void FreeWriter(AviWriter* writer) {
  for (int32_t i = 0; i < writer->streamCount; i++) free(const_cast<char*>(writer->streams[i].name));
  free(writer->index);
  free(writer);
}

int AviWriterOpen(const char* path, int32_t count, const AviStreamSpec* streams, AviWriter** out) {
  if (!path || count <= 0 || !streams || !out) return -1;
  for (int32_t i = 0; i < count; i++)
    if (streams[i].kind < AVI_STREAM_VIDEO || streams[i].kind > AVI_STREAM_TEXT) return -1;

  // The writer, its stream copies and its chunk counters are one block.
  size_t headSize = (sizeof(AviWriter) + alignof(AviStreamSpec) - 1) / alignof(AviStreamSpec) *
                    alignof(AviStreamSpec);
  size_t perStream = sizeof(AviStreamSpec) + sizeof(int32_t);
  if (static_cast<size_t>(count) > (SIZE_MAX - headSize) / perStream) return -2;
  uint8_t* block = static_cast<uint8_t*>(calloc(1, headSize + perStream * static_cast<size_t>(count)));
  if (!block) return -2;
  AviWriter* writer = reinterpret_cast<AviWriter*>(block);
  writer->streamCount = count;
  writer->streams = reinterpret_cast<AviStreamSpec*>(block + headSize);
  writer->chunkCounts = reinterpret_cast<int32_t*>(block + headSize + sizeof(AviStreamSpec) * count);

  int32_t captionCount = 0;
  int32_t captionStream = -1;
  int haveVideo = 0;
  for (int32_t i = 0; i < count; i++) {
    AviStreamSpec* copy = &writer->streams[i];
    *copy = streams[i];
    if (streams[i].name) {
      size_t length = strlen(streams[i].name);
      char* name = static_cast<char*>(malloc(length + 1));
      if (name) memcpy(name, streams[i].name, length + 1);
      copy->name = name;  // no memory: the stream goes without a name
    }
    if (copy->kind == AVI_STREAM_VIDEO && !haveVideo) {
      haveVideo = 1;
      writer->width = copy->video.width;
      writer->height = copy->video.height;
      writer->rate = copy->video.rate;
    }
    if (copy->kind == AVI_STREAM_TEXT) {
      copy->text.language[sizeof copy->text.language - 1] = '\0';
      if (copy->text.caption) {
        captionCount++;
        captionStream = i;
      }
    }
  }

  if (captionCount > 1) {
    FreeWriter(writer);
    return -3;
  }
  if (captionCount == 1 &&
      SamiOpen(writer->streams[captionStream].text.language, path, &writer->captionFile) != 0) {
    FreeWriter(writer);
    return -4;
  }

  writer->aviFile = fopen(path, "wb");
  if (!writer->aviFile) {
    if (writer->captionFile) fclose(writer->captionFile);
    FreeWriter(writer);
    return -5;
  }

  // The header is flushed at once so that a file that cannot take it (a
  // full disk) fails here rather than after a whole segment of frames.
  if (AviWriteHeader(writer) != 0 || fflush(writer->aviFile) != 0) {
    if (writer->captionFile) fclose(writer->captionFile);
    fclose(writer->aviFile);
    FreeWriter(writer);
    return -6;
  }

  writer->moviDataStart = AviTell(writer->aviFile);
  *out = writer;
  return 0;
}

// ---------------------------------------------------------------------------
// Chunks.

// A write of a chunk that failed. The stream drops the bytes it could not
// write, and these may include earlier chunks that it still held: then it
// now stands before this chunk's start, and those chunks, already counted in
// the index, are not in the file. Otherwise the write position goes back to
// the chunk's start, so that no torn chunk stays inside "movi": the next
// chunk, or the index, takes its place. Passes code on.
static int ChunkWriteFailed(AviWriter* writer, int64_t chunkStart, int code) {
  int64_t position = AviTell(writer->aviFile);
  if (position < 0 || position < chunkStart || AviSeek(writer->aviFile, chunkStart) != 0) {
    writer->lostData = 1;
    return code;
  }
  clearerr(writer->aviFile);
  writer->chunkTakenBack = 1;
  return code;
}

int AviWriterWriteChunk(AviWriter* writer, int32_t stream, const void* data, int32_t size,
                        int32_t keyFrame) {
  if (!writer) return -1;
  if (stream < 0 || stream >= writer->streamCount) return -2;
  const AviStreamSpec* spec = &writer->streams[stream];
  if (spec->kind == AVI_STREAM_TEXT && spec->text.caption)
    return SamiWriteCaption(writer, spec, data, size);

  // A negative size or missing data cannot be placed in the file either.
  if (size < 0 || (size > 0 && !data)) return -3;
  int64_t position = AviTell(writer->aviFile);
  int64_t total = 8 + static_cast<int64_t>(size) + (size & 1);
  if (position < 0 || position + total >= AVI_FILE_LIMIT) return -3;

  if (writer->indexUsed == writer->indexCapacity) {
    int64_t capacity = static_cast<int64_t>(writer->indexCapacity) + AVI_INDEX_STEP;
    if (capacity > INT32_MAX || static_cast<uint64_t>(capacity) > SIZE_MAX / sizeof(AviIndexEntry))
      return -4;
    void* grown = realloc(writer->index, static_cast<size_t>(capacity) * sizeof(AviIndexEntry));
    if (!grown) return -4;
    writer->index = static_cast<AviIndexEntry*>(grown);
    writer->indexCapacity = static_cast<int32_t>(capacity);
  }

  char id[16];
  snprintf(id, sizeof id, "%02x%c%c", static_cast<unsigned>(stream),
           AVI_CHUNK_SUFFIXES[spec->kind][0], AVI_CHUNK_SUFFIXES[spec->kind][1]);

  uint8_t* entry = writer->index[writer->indexUsed].bytes;
  memcpy(entry, id, 4);                                           // ckid
  StoreLe32(entry + 4, keyFrame ? AVI_KEY_FRAME_FLAG : 0);        // dwFlags
  StoreLe32(entry + 8, static_cast<uint32_t>(position));          // dwChunkOffset
  StoreLe32(entry + 12, static_cast<uint32_t>(size));             // dwChunkLength

  uint8_t sizeBytes[4];
  StoreLe32(sizeBytes, static_cast<uint32_t>(size));
  if (fwrite(id, 1, 4, writer->aviFile) != 4) return ChunkWriteFailed(writer, position, -5);
  if (fwrite(sizeBytes, 1, 4, writer->aviFile) != 4) return ChunkWriteFailed(writer, position, -6);
  if (size > 0 && fwrite(data, 1, static_cast<size_t>(size), writer->aviFile) != static_cast<size_t>(size))
    return ChunkWriteFailed(writer, position, -7);
  if ((size & 1) && fputc(0, writer->aviFile) == EOF) return ChunkWriteFailed(writer, position, -8);

  writer->indexUsed++;
  writer->chunkCounts[stream]++;
  if (spec->kind == AVI_STREAM_VIDEO) writer->videoFrames++;
  return 0;
}

int AviWriterSetVideoFormat(AviWriter* writer, int32_t stream, int32_t width, int32_t height,
                            int32_t rate) {
  if (!writer) return -1;
  if (stream < 0 || stream >= writer->streamCount) return -2;
  AviStreamSpec* spec = &writer->streams[stream];
  if (spec->kind != AVI_STREAM_VIDEO) return -3;
  if (width > 0) spec->video.width = width;
  if (height > 0) spec->video.height = height;
  if (rate > 0) spec->video.rate = rate;
  return 0;
}

// ---------------------------------------------------------------------------
// Finish.

static int WriteIndex(AviWriter* writer) {
  uint8_t head[8];
  memcpy(head, "idx1", 4);
  StoreLe32(head + 4, static_cast<uint32_t>(writer->indexUsed) * 16);  // index size
  if (fwrite(head, 1, 8, writer->aviFile) != 8) return -1;
  size_t used = static_cast<size_t>(writer->indexUsed);
  if (used && fwrite(writer->index, sizeof(AviIndexEntry), used, writer->aviFile) != used) return -1;
  return 0;
}

int AviWriterFinish(AviWriter* writer) {
  if (!writer) return -1;
  int result = 0;

  // A file that has lost indexed chunks is left unfinished, as when its
  // index cannot be written: finishing it would report a broken file as good.
  writer->moviEnd = AviTell(writer->aviFile);
  if (writer->lostData || writer->moviEnd < 0 || WriteIndex(writer) != 0) result = -2;

  if (result == 0) {
    writer->fileSize = AviTell(writer->aviFile);
    // A seek that fails (it flushes the buffered tail) would put the final
    // header after the index; a flush that fails loses it. Both are -3.
    if (writer->fileSize < 0 || AviSeek(writer->aviFile, 0) != 0 || AviWriteHeader(writer) != 0 ||
        fflush(writer->aviFile) != 0 ||
        (writer->chunkTakenBack && AviTruncate(writer->aviFile, writer->fileSize) != 0))
      result = -3;
  }

  if (result == 0 && writer->captionFile && writer->lostCaptions) result = -4;
  if (result == 0 && writer->captionFile) {
    int closing = SamiWriteClosing(writer->captionFile);
    if (fclose(writer->captionFile) != 0) closing = -1;
    writer->captionFile = nullptr;
    if (closing != 0) result = -4;
  }

  if (fclose(writer->aviFile) != 0 && result == 0) result = -3;
  if (writer->captionFile) fclose(writer->captionFile);
  FreeWriter(writer);
  return result;
}
