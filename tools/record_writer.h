// Writing side of the recording format, for the recording generator and the
// tests: record headers, prefix words, header-block payloads, whole records.
#pragma once

#include <cstdint>
#include <vector>

#include "recording/header_block.h"
#include "recording/packed_time.h"
#include "recording/record_stream.h"

typedef std::vector<uint8_t> Bytes;

// Plain form: the format code is the codec type (0-2), channel 0-31.
RecordHeader MakePlainHeader(unsigned kind, unsigned channel, unsigned codecType,
                             unsigned sizeCode, uint32_t timeMs, uint32_t payloadLength);
// Extended form (format code 3): channel 0-127; video payloads begin with
// the prefix word of MakeVideoPrefix.
RecordHeader MakeExtendedHeader(unsigned kind, unsigned channel, uint32_t timeMs,
                                uint32_t payloadLength);
uint32_t MakeVideoPrefix(unsigned codecType, unsigned codecMode, unsigned width,
                         unsigned height);

struct HeaderBlockLayout {
  uint16_t version = 1;
  uint32_t skipLength = 0;
  PackedTime blockTime = 0;
  ChannelMask channels = 0;      // bits 32-63 go to the extension
  uint16_t baseCounts[64] = {};  // entry counts of channels 0-31, two a channel
  bool extension = false;        // write the 164-byte extension (version 2)
  uint16_t extensionCounts[64] = {};
};

// The payload of a kind-4 record: base block, base entries, and with
// `extension` the extension and its entries. Entries are zero bytes.
Bytes MakeHeaderBlockPayload(const HeaderBlockLayout& layout);

PackedTime MakePackedTime(unsigned year, unsigned month, unsigned day, unsigned hour,
                          unsigned minute, unsigned second);

// Appends header and payload to file.
void AppendRecord(Bytes* file, const RecordHeader& header, const uint8_t* payload,
                  uint32_t length);
void AppendRecord(Bytes* file, const RecordHeader& header, const Bytes& payload);
// A kind-4 record of a plain header carrying layout's payload (channel 0, time 0).
void AppendHeaderBlock(Bytes* file, const HeaderBlockLayout& layout);

// Little-endian stores.
void PutLe16(uint8_t* at, uint16_t value);
void PutLe32(uint8_t* at, uint32_t value);
void PutLe64(uint8_t* at, uint64_t value);

// Writes bytes to path; returns 0 or -1.
int WriteFileBytes(const char* path, const Bytes& bytes);
// The whole content of the file at path; empty when it cannot be read.
Bytes ReadFileBytes(const char* path);
