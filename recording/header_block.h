// Header blocks (records of kind 4): the date and the channel set of the
// stretch of file that follows them.
#pragma once

#include <cstdint>
#include <cstdio>

#include "recording/packed_time.h"
#include "recording/record_stream.h"

// A set of channels: bit n stands for channel n (0-based).
typedef uint64_t ChannelMask;

enum {
  HEADER_BASE_SIZE = 168,
  HEADER_EXTENSION_SIZE = 164
};

struct HeaderInfo {
  uint16_t version;
  uint32_t skipLength;
  PackedTime blockTime;
  ChannelMask channels;
};

// Fields of a base block, and the bytes of entries behind a base block or an
// extension (both keep their 64 counts at the same offset).
unsigned HeaderBlockVersion(const uint8_t* base);
// Whether the block time's year lies between 1001 and 2999, as it must.
int HeaderBlockDated(const uint8_t* base);
uint32_t HeaderEntryBytes(const uint8_t* part);

// Reads the header block whose payload starts at the stream's position.
// Returns 0, or -1 to -5; on failure `info` is left unchanged.
int ReadHeaderBlock(FILE* stream, const RecordHeader* header, HeaderInfo* info);
