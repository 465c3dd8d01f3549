// Drives the AVI writer with arbitrary calls: the input chooses the streams
// (kinds, names, sizes, rates, audio values, a caption stream), then a
// sequence of chunk writes (any stream number, any size, key frame or not)
// and format changes, then the finish. The file must then hold together:
// RIFF and list sizes, the counts of the main and stream headers, and an
// index whose every entry points at a chunk of its stream with its size.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "avi/avi_writer.h"
#include "avi/sami_writer.h"
#include "tools/record_writer.h"

static std::string aviPath;
static std::string captionPath;

// Reads the input front to back; past its end every value is 0.
struct Input {
  const uint8_t* data;
  size_t size;
  size_t at = 0;
  bool Done() const { return at >= size; }
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint16_t Word() { return (uint16_t)(Byte() | (Byte() << 8)); }
  int32_t Small() { return (int16_t)Word(); }  // -32768 to 32767
};

static void Check(bool condition, const char* what) {
  if (!condition) {
    fprintf(stderr, "avi writer: %s\n", what);
    abort();
  }
}

static uint32_t Le32(const std::vector<uint8_t>& f, size_t at) {
  Check(at + 4 <= f.size(), "read past the end of the file");
  return (uint32_t)f[at] | ((uint32_t)f[at + 1] << 8) | ((uint32_t)f[at + 2] << 16) |
         ((uint32_t)f[at + 3] << 24);
}

static size_t BlockLength(const AviStreamSpec& stream) {
  size_t base = stream.kind == AVI_STREAM_VIDEO ? 124 : stream.kind == AVI_STREAM_AUDIO ? 102 : 84;
  if (!stream.name) return base;
  size_t size = strlen(stream.name) + 1;
  return base + 8 + size + (size & 1);
}

static const char* const SUFFIXES[3] = {"dc", "wb", "tx"};

// What the calls did, to compare with the file.
struct Expected {
  std::vector<AviStreamSpec> streams;
  std::vector<uint32_t> chunks;  // per stream, chunks that went into the file
  uint32_t entries = 0;
};

static void CheckFile(const Expected& expected) {
  std::vector<uint8_t> f = ReadFileBytes(aviPath.c_str());
  size_t headerLength = 88;
  for (const AviStreamSpec& stream : expected.streams) headerLength += BlockLength(stream);
  Check(f.size() >= headerLength + 20, "shorter than header and index head");
  Check(memcmp(f.data(), "RIFF", 4) == 0 && memcmp(&f[8], "AVI ", 4) == 0, "RIFF AVI");
  Check(Le32(f, 4) == f.size() - 8, "RIFF size");
  Check(Le32(f, 16) == headerLength - 20, "hdrl size");
  Check(Le32(f, 48) == expected.entries, "total frames");
  Check(Le32(f, 56) == expected.streams.size(), "stream count");

  size_t block = 88;
  for (size_t i = 0; i < expected.streams.size(); i++) {
    const AviStreamSpec& stream = expected.streams[i];
    Check(memcmp(&f[block], "LIST", 4) == 0 && memcmp(&f[block + 8], "strl", 4) == 0, "strl");
    Check(Le32(f, block + 4) == BlockLength(stream) - 8, "strl size");
    if (stream.kind == AVI_STREAM_VIDEO) Check(Le32(f, block + 52) == expected.chunks[i], "length");
    block += BlockLength(stream);
  }

  Check(memcmp(&f[headerLength], "LIST", 4) == 0 && memcmp(&f[headerLength + 8], "movi", 4) == 0,
        "movi");
  size_t moviEnd = headerLength + 8 + Le32(f, headerLength + 4);  // size counts "movi"
  Check(moviEnd + 8 <= f.size() && memcmp(&f[moviEnd], "idx1", 4) == 0, "index at the movi end");
  Check(Le32(f, moviEnd + 4) == expected.entries * 16, "index size");
  Check(moviEnd + 8 + expected.entries * 16 == f.size(), "the file ends with the index");

  std::vector<uint32_t> seen(expected.streams.size(), 0);
  for (uint32_t e = 0; e < expected.entries; e++) {
    size_t at = moviEnd + 8 + e * 16;
    char id[5] = {(char)f[at], (char)f[at + 1], (char)f[at + 2], (char)f[at + 3], 0};
    unsigned number = (unsigned)strtoul(std::string(id, 2).c_str(), nullptr, 16);
    Check(number < expected.streams.size(), "index entry of no stream");
    Check(memcmp(id + 2, SUFFIXES[expected.streams[number].kind], 2) == 0, "chunk suffix");
    Check(Le32(f, at + 4) == 0 || Le32(f, at + 4) == 0x10, "index flags");
    uint64_t offset = Le32(f, at + 8);
    uint64_t size = Le32(f, at + 12);
    Check(offset >= headerLength + 12 && offset + 8 + size <= moviEnd, "chunk outside movi");
    Check(memcmp(&f[offset], id, 4) == 0 && Le32(f, offset + 4) == size, "chunk head");
    seen[number]++;
  }
  for (size_t i = 0; i < seen.size(); i++) Check(seen[i] == expected.chunks[i], "chunk count");
}

static void RemoveScratch(void) {
  unlink(aviPath.c_str());
  unlink(captionPath.c_str());
  rmdir(aviPath.substr(0, aviPath.rfind('/')).c_str());
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zentrix-avi-fuzz-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) abort();
  aviPath = std::string(buffer.data()) + "/clip.avi";
  char name[260];
  SamiFileName(aviPath.c_str(), name);
  captionPath = name;
  atexit(RemoveScratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = {data, size};
  Expected expected;
  std::vector<std::string> names;  // kept alive until the writer has copied them
  int count = 1 + in.Byte() % 4;
  names.reserve((size_t)count);
  for (int i = 0; i < count; i++) {
    AviStreamSpec stream;
    memset(&stream, 0, sizeof stream);
    uint8_t choice = in.Byte();
    stream.kind = choice % 3;
    if (choice & 0x10) {
      names.push_back(std::string(in.Byte() % 12, (char)('a' + i)));
      stream.name = names.back().c_str();
    }
    if (stream.kind == AVI_STREAM_VIDEO) {
      stream.video.width = in.Small();
      stream.video.height = in.Small();
      stream.video.rate = in.Small();
      memcpy(stream.video.handler, "xvid", 4);
    } else if (stream.kind == AVI_STREAM_AUDIO) {
      stream.audio.formatTag = in.Small();
      stream.audio.channels = in.Small();
      stream.audio.samplesPerSecond = in.Small();
      stream.audio.bitsPerSample = in.Small();
    } else {
      stream.text.caption = (choice & 0x20) != 0;
      if (choice & 0x40) strcpy(stream.text.language, "English");
    }
    expected.streams.push_back(stream);
  }
  expected.chunks.assign(expected.streams.size(), 0);

  AviWriter* writer = nullptr;
  int opened = AviWriterOpen(aviPath.c_str(), count, expected.streams.data(), &writer);
  int captions = 0;
  for (const AviStreamSpec& stream : expected.streams)
    captions += stream.kind == AVI_STREAM_TEXT && stream.text.caption;
  if (captions > 1) {
    Check(opened == -3 && !writer, "two caption streams were accepted");
    return 0;
  }
  Check(opened == 0 && writer, "open failed");

  std::vector<uint8_t> payload(70000);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = (uint8_t)(i * 31 + 7);
  int operations = 0;
  while (!in.Done() && operations++ < 400) {
    uint8_t op = in.Byte();
    int32_t stream = (int32_t)(in.Byte() % (count + 2)) - 1;  // -1 to count: two out of range
    if (op % 4 == 3) {
      int32_t width = in.Small(), height = in.Small(), rate = in.Small();
      int result = AviWriterSetVideoFormat(writer, stream, width, height, rate);
      bool inRange = stream >= 0 && stream < count;
      Check(result == (!inRange ? -2 : expected.streams[stream].kind != AVI_STREAM_VIDEO ? -3 : 0),
            "set video format");
      continue;
    }
    // Mostly small chunks, now and then one of up to 65,535 bytes.
    int32_t chunkSize = op % 4 == 2 ? in.Word() : in.Byte();
    // A caption's text is read up to its first NUL or its size.
    if (stream >= 0 && stream < count && expected.streams[stream].kind == AVI_STREAM_TEXT) {
      for (int32_t i = 0; i < chunkSize && i < (int32_t)payload.size(); i++)
        payload[(size_t)i] = (uint8_t)('A' + i % 26);
    }
    int result = AviWriterWriteChunk(writer, stream, payload.data(), chunkSize, op & 0x80);
    if (stream < 0 || stream >= count) {
      Check(result == -2, "chunk of no stream");
      continue;
    }
    const AviStreamSpec& spec = expected.streams[stream];
    if (spec.kind == AVI_STREAM_TEXT && spec.text.caption) continue;  // to the SAMI file
    Check(result == 0, "chunk refused");
    expected.chunks[stream]++;
    expected.entries++;
  }
  Check(AviWriterFinish(writer) == 0, "finish failed");
  CheckFile(expected);
  if (captions) {
    std::vector<uint8_t> sami = ReadFileBytes(captionPath.c_str());
    static const char CLOSING[] = "</BODY>\n</SAMI>\n";
    Check(sami.size() >= sizeof CLOSING - 1 &&
              memcmp(&sami[sami.size() - (sizeof CLOSING - 1)], CLOSING, sizeof CLOSING - 1) == 0,
          "caption file without its closing text");
  }
  unlink(aviPath.c_str());
  unlink(captionPath.c_str());
  return 0;
}
