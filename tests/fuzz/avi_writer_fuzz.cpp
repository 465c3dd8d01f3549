// Drives the AVI writer with arbitrary calls: the input chooses the streams
// (kinds, names, sizes, rates, audio values, a caption stream), then chunk
// writes (any stream number, any size, key frame or not) and format changes,
// then the finish. The file must then hold together, with the header and
// stream counts of the calls, and a caption stream gives a whole SAMI file.
#include <unistd.h>

#include <algorithm>

#include "avi/avi_writer.h"
#include "tests/fuzz/fuzz_support.h"

static std::string aviPath, captionPath;

// Reads the input front to back; past its end every value is 0.
struct Input {
  const uint8_t* data;
  size_t size, at = 0;
  uint8_t Byte() { return at < size ? data[at++] : 0; }
  uint16_t Word() { return (uint16_t)(Byte() | (Byte() << 8)); }
  int32_t Small() { return (int16_t)Word(); }  // -32768 to 32767
};

// The length of a stream's strl list in the file.
static size_t BlockLength(const AviStreamSpec& stream) {
  size_t name = stream.name ? strlen(stream.name) + 1 : 0;
  return (stream.kind == AVI_STREAM_VIDEO ? 124 : stream.kind == AVI_STREAM_AUDIO ? 102 : 84) +
         (name ? 8 + name + (name & 1) : 0);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  aviPath = ScratchFolder("zentrix-avi-fuzz") + "/clip.avi";
  captionPath = aviPath.substr(0, aviPath.size() - 4) + ".smi";
  atexit([] { rmdir(aviPath.substr(0, aviPath.rfind('/')).c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Input in = {data, size};
  std::vector<AviStreamSpec> streams(1 + in.Byte() % 4);
  std::vector<std::string> names(streams.size());  // alive until the writer has copied them
  const int count = (int)streams.size();
  int captions = 0;
  for (int i = 0; i < count; i++) {
    AviStreamSpec& stream = streams[i];
    memset(&stream, 0, sizeof stream);
    uint8_t choice = in.Byte();
    stream.kind = choice % 3;
    if (choice & 0x10) stream.name = (names[i] = std::string(in.Byte() % 12, (char)('a' + i))).c_str();
    if (stream.kind == AVI_STREAM_VIDEO) {
      stream.video = {in.Small(), in.Small(), in.Small(), {'x', 'v', 'i', 'd'}};
    } else if (stream.kind == AVI_STREAM_AUDIO) {
      stream.audio = {in.Small(), in.Small(), in.Small(), in.Small()};
    } else {
      stream.text.caption = (choice & 0x20) != 0;
      if (choice & 0x40) strcpy(stream.text.language, "English");
      captions += stream.text.caption;
    }
  }
  AviWriter* writer = nullptr;
  int opened = AviWriterOpen(aviPath.c_str(), count, streams.data(), &writer);
  if (captions > 1) {
    Check(opened == -3 && !writer, "two caption streams were accepted");
    return 0;
  }
  Check(opened == 0 && writer, "open failed");

  std::vector<uint32_t> chunks(count, 0);  // per stream, chunks in the file
  Bytes payload(70000);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = (uint8_t)('A' + i % 26);  // no NUL to end a caption
  for (int operations = 0; in.at < in.size && operations < 400; operations++) {
    uint8_t op = in.Byte();
    int32_t stream = (int32_t)(in.Byte() % (count + 2)) - 1;  // -1 to count: two out of range
    bool inRange = stream >= 0 && stream < count;
    if (op % 4 == 3) {
      int32_t width = in.Small(), height = in.Small(), rate = in.Small();
      Check(AviWriterSetVideoFormat(writer, stream, width, height, rate) ==
                (!inRange ? -2 : streams[stream].kind != AVI_STREAM_VIDEO ? -3 : 0), "set video format");
      continue;
    }
    // Mostly small chunks, now and then one of up to 65,535 bytes.
    int32_t chunkSize = op % 4 == 2 ? in.Word() : in.Byte();
    int result = AviWriterWriteChunk(writer, stream, payload.data(), chunkSize, op & 0x80);
    if (inRange && streams[stream].kind == AVI_STREAM_TEXT && streams[stream].text.caption) continue;  // to the SAMI file
    Check(result == (inRange ? 0 : -2), "chunk refused, or one of no stream taken");
    if (inRange) chunks[stream]++;
  }
  Check(AviWriterFinish(writer) == 0, "finish failed");

  Bytes f = ReadFileBytes(aviPath.c_str());
  std::vector<uint32_t> seen(count, 0);
  for (const std::string& id : CheckAviFile(f, aviPath)) {
    unsigned number = (unsigned)strtoul(id.substr(0, 2).c_str(), nullptr, 16);
    Check(number < streams.size() && id.substr(2) == std::string("dcwbtx").substr(2 * streams[number].kind, 2),
          "index entry of no stream, or of another kind");
    seen[number]++;
  }
  Check(seen == chunks, "chunk counts");
  size_t block = 88;  // the strl lists, one per stream, behind the main header
  for (int i = 0; i < count; block += BlockLength(streams[i++])) {
    Check(Le32(f, block + 4) == BlockLength(streams[i]) - 8 && !memcmp(&f[block], "LIST", 4) &&
              !memcmp(&f[block + 8], "strl", 4), "strl list");
    Check(streams[i].kind != AVI_STREAM_VIDEO || Le32(f, block + 52) == chunks[i], "video stream length");
  }
  Check(Le32(f, 16) == block - 20 && Le32(f, 56) == (uint32_t)count, "header size, stream count");
  if (captions) {
    const Bytes text = ReadFileBytes(captionPath.c_str());
    const std::string closing = "</BODY>\n</SAMI>\n";
    Check(text.size() >= closing.size() && std::equal(closing.begin(), closing.end(), text.end() - closing.size()),
          "caption file without its closing text");
  }
  unlink(aviPath.c_str());
  unlink(captionPath.c_str());
  return 0;
}
