// Writing side of the recording format (see record_writer.h).
#include "tools/record_writer.h"

#include <cstdio>

void PutLe16(uint8_t* at, uint16_t value) {
  at[0] = (uint8_t)value;
  at[1] = (uint8_t)(value >> 8);
}

void PutLe32(uint8_t* at, uint32_t value) {
  for (int i = 0; i < 4; i++) at[i] = (uint8_t)(value >> (8 * i));
}

void PutLe64(uint8_t* at, uint64_t value) {
  for (int i = 0; i < 8; i++) at[i] = (uint8_t)(value >> (8 * i));
}

static RecordHeader MakeHeader(unsigned formatCode, unsigned kind, unsigned byte8High,
                               unsigned channelLow, uint32_t timeMs, uint32_t payloadLength) {
  RecordHeader header = {};
  uint64_t word = (uint64_t)(payloadLength & 0x7FFFF) | ((uint64_t)(timeMs & 0x7FFFFFF) << 37);
  PutLe64(header.bytes, word);
  header.bytes[8] = (uint8_t)((formatCode & 3) | ((kind & 15) << 2) | ((byte8High & 3) << 6));
  header.bytes[9] = (uint8_t)((channelLow & 31) << 3);
  return header;
}

RecordHeader MakePlainHeader(unsigned kind, unsigned channel, unsigned codecType,
                             unsigned sizeCode, uint32_t timeMs, uint32_t payloadLength) {
  return MakeHeader(codecType, kind, sizeCode, channel, timeMs, payloadLength);
}

RecordHeader MakeExtendedHeader(unsigned kind, unsigned channel, uint32_t timeMs,
                                uint32_t payloadLength) {
  return MakeHeader(RECORD_FORMAT_EXTENDED, kind, channel >> 5, channel, timeMs, payloadLength);
}

uint32_t MakeVideoPrefix(unsigned codecType, unsigned codecMode, unsigned width,
                         unsigned height) {
  return ((codecType & 15) << 4) | ((codecMode & 3) << 8) | ((width & 0x7FF) << 10) |
         ((uint32_t)(height & 0x7FF) << 21);
}

PackedTime MakePackedTime(unsigned year, unsigned month, unsigned day, unsigned hour,
                          unsigned minute, unsigned second) {
  return ((uint64_t)(second & 63) << 7) | ((uint64_t)(minute & 63) << 13) |
         ((uint64_t)(hour & 31) << 19) | ((uint64_t)(day & 31) << 24) |
         ((uint64_t)(month & 15) << 29) | ((uint64_t)(year & 0xFFFF) << 33);
}

static uint32_t CountSum(const uint16_t counts[64]) {
  uint32_t sum = 0;
  for (int i = 0; i < 64; i++) sum += counts[i];
  return sum;
}

Bytes MakeHeaderBlockPayload(const HeaderBlockLayout& layout) {
  Bytes out(HEADER_BASE_SIZE, 0);
  PutLe32(&out[0], layout.skipLength);
  PutLe64(&out[8], layout.blockTime);
  PutLe32(&out[16], (uint32_t)layout.channels);
  PutLe16(&out[30], layout.version);
  for (int i = 0; i < 64; i++) PutLe16(&out[36 + 2 * i], layout.baseCounts[i]);
  out.resize(out.size() + 4 * (size_t)CountSum(layout.baseCounts), 0);
  if (layout.extension) {
    size_t at = out.size();
    out.resize(at + HEADER_EXTENSION_SIZE, 0);
    PutLe32(&out[at + 8], (uint32_t)(layout.channels >> 32));
    for (int i = 0; i < 64; i++) PutLe16(&out[at + 36 + 2 * i], layout.extensionCounts[i]);
    out.resize(out.size() + 4 * (size_t)CountSum(layout.extensionCounts), 0);
  }
  return out;
}

void AppendRecord(Bytes* file, const RecordHeader& header, const uint8_t* payload,
                  uint32_t length) {
  file->insert(file->end(), header.bytes, header.bytes + RECORD_HEADER_SIZE);
  if (length) file->insert(file->end(), payload, payload + length);
}

void AppendRecord(Bytes* file, const RecordHeader& header, const Bytes& payload) {
  AppendRecord(file, header, payload.data(), (uint32_t)payload.size());
}

void AppendHeaderBlock(Bytes* file, const HeaderBlockLayout& layout) {
  Bytes payload = MakeHeaderBlockPayload(layout);
  AppendRecord(file, MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, 0, (uint32_t)payload.size()),
               payload);
}

int WriteFileBytes(const char* path, const Bytes& bytes) {
  FILE* f = fopen(path, "wb");
  if (!f) return -1;
  size_t n = bytes.empty() ? 0 : fwrite(bytes.data(), 1, bytes.size(), f);
  int closed = fclose(f);
  return (n == bytes.size() && closed == 0) ? 0 : -1;
}

Bytes ReadFileBytes(const char* path) {
  Bytes bytes;
  FILE* f = fopen(path, "rb");
  if (!f) return bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, f)) > 0)
    bytes.insert(bytes.end(), buffer, buffer + got);
  fclose(f);
  return bytes;
}
