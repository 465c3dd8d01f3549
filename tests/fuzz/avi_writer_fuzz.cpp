// The AVI writer under arbitrary calls: streams of every kind (names, sizes, rates,
// audio values, captions), chunks of any stream number and size, format changes. The
// file must hold together with the chunks written, and captions end with their closing.
#include <unistd.h>

#include <algorithm>

#include "avi/avi_writer.h"
#include "tests/fuzz/fuzz_support.h"

static std::string aviPath, captionPath;
static const char* const SUFFIXES[3] = {"dc", "wb", "tx"};  // of the chunks of video, audio and text

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  aviPath = ScratchFolder("zentrix-avi-fuzz") + "/clip.avi";
  captionPath = aviPath.substr(0, aviPath.size() - 4) + ".smi";
  atexit([] { rmdir(aviPath.substr(0, aviPath.rfind('/')).c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  size_t at = 0;  // the input is read front to back; past its end every value is 0
  auto byte = [&]() -> uint8_t { return at < size ? data[at++] : 0; };
  auto small = [&]() -> int32_t { return (int16_t)(byte() | byte() << 8); };
  const int count = 1 + byte() % 4;
  std::vector<AviStreamSpec> streams(count);
  std::vector<std::string> names(count);  // alive until the writer has copied them
  int captions = 0;
  for (int i = 0; i < count; i++) {
    AviStreamSpec& stream = streams[i];
    memset(&stream, 0, sizeof stream);
    const uint8_t choice = byte();
    stream.kind = choice % 3;
    if (choice & 0x10) stream.name = (names[i] = std::string(byte() % 12, (char)('a' + i))).c_str();
    if (stream.kind == AVI_STREAM_VIDEO) stream.video = {small(), small(), small(), {'x', 'v', 'i', 'd'}};
    if (stream.kind == AVI_STREAM_AUDIO) stream.audio = {small(), small(), small(), small()};
    if (stream.kind == AVI_STREAM_TEXT) {
      stream.text.caption = (choice & 0x20) != 0;
      if (choice & 0x40) strcpy(stream.text.language, "English");
      captions += stream.text.caption;
    }
  }
  AviWriter* writer = nullptr;
  const int opened = AviWriterOpen(aviPath.c_str(), count, streams.data(), &writer);
  Check(captions > 1 ? opened == -3 && !writer : opened == 0 && writer, "open: two caption streams, or none");
  if (!writer) return 0;

  std::vector<std::string> ids;  // of the chunks in the file, in order
  Bytes payload(70000);
  for (size_t i = 0; i < payload.size(); i++) payload[i] = (uint8_t)('A' + i % 26);  // no NUL to end a caption
  for (int operations = 0; at < size && operations < 400; operations++) {
    const uint8_t op = byte();
    const int32_t stream = (int32_t)(byte() % (count + 2)) - 1;  // -1 to count: two out of range
    const bool inRange = stream >= 0 && stream < count;
    if (op % 4 == 3) {
      AviWriterSetVideoFormat(writer, stream, small(), small(), small());
      continue;
    }
    const int32_t chunkSize = op % 4 == 2 ? (uint16_t)small() : byte();  // now and then up to 65,535 bytes
    const int result = AviWriterWriteChunk(writer, stream, payload.data(), chunkSize, op & 0x80);
    if (inRange && streams[stream].kind == AVI_STREAM_TEXT && streams[stream].text.caption) continue;  // to SAMI
    Check(result == (inRange ? 0 : -2), "chunk refused, or one of no stream taken");
    char id[8];  // two hex digits and the kind's suffix
    snprintf(id, sizeof id, "%02x%s", (unsigned)stream, inRange ? SUFFIXES[streams[stream].kind] : "");
    if (inRange) ids.push_back(id);
  }
  Check(AviWriterFinish(writer) == 0, "finish failed");

  Bytes f = ReadFileBytes(aviPath.c_str()), text = ReadFileBytes(captionPath.c_str());
  const std::string closing = "</BODY>\n</SAMI>\n";
  Check(CheckAviFile(f, aviPath) == ids && Le32(f, 56) == (uint32_t)count, "index entries or stream count");
  Check(!captions || (text.size() >= 16 && std::equal(closing.begin(), closing.end(), text.end() - 16)),
        "caption file without its closing text");
  unlink(aviPath.c_str());
  unlink(captionPath.c_str());
  return 0;
}
