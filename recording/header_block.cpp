// Header blocks: base block, entry tables and the 64-channel extension.
#include "recording/header_block.h"

#include <cstring>

#include "platform/platform.h"

// Offsets within the base block.
enum {
  BASE_SKIP_LENGTH = 0,
  BASE_BLOCK_TIME = 8,
  BASE_CHANNELS = 16,
  BASE_VERSION = 30,
  BASE_COUNTS = 36
};

// Offset within the extension; its counts lie where the base block's do.
enum { EXTENSION_CHANNELS = 8 };

enum { ENTRY_COUNT_TOTAL = 64, ENTRY_SIZE = 4 };

static uint16_t GetLe16(const uint8_t* at) { return (uint16_t)(at[0] | (at[1] << 8)); }

static uint32_t GetLe32(const uint8_t* at) {
  return (uint32_t)at[0] | ((uint32_t)at[1] << 8) | ((uint32_t)at[2] << 16) |
         ((uint32_t)at[3] << 24);
}

static uint64_t GetLe64(const uint8_t* at) {
  return (uint64_t)GetLe32(at) | ((uint64_t)GetLe32(at + 4) << 32);
}

unsigned HeaderBlockVersion(const uint8_t* base) { return GetLe16(base + BASE_VERSION); }

int HeaderBlockDated(const uint8_t* base) {
  unsigned year = PackedYear(GetLe64(base + BASE_BLOCK_TIME));
  return year > 1000 && year < 3000;
}

// At most 64 counts of 65,535 entries: 16,776,960 bytes.
uint32_t HeaderEntryBytes(const uint8_t* part) {
  uint32_t sum = 0;
  for (int i = 0; i < ENTRY_COUNT_TOTAL; i++) sum += GetLe16(part + BASE_COUNTS + 2 * i);
  return sum * ENTRY_SIZE;
}

int ReadHeaderBlock(FILE* stream, const RecordHeader* header, HeaderInfo* info) {
  uint8_t base[HEADER_BASE_SIZE];
  uint8_t extension[HEADER_EXTENSION_SIZE];
  int hasExtension = 0;
  uint32_t length = RecordPayloadLength(header);

  memset(base, 0, sizeof base);
  if (length <= HEADER_BASE_SIZE) {
    // Short form: the base block alone, its missing bytes zero.
    if (fread(base, 1, length, stream) != length) {
      fputs("file_write() failed\n", stdout);
      return -1;
    }
  } else {
    if (fread(base, 1, HEADER_BASE_SIZE, stream) != HEADER_BASE_SIZE) {
      fputs("file_write() failed\n", stdout);
      return -2;
    }
    unsigned version = HeaderBlockVersion(base);
    if (version == 0) {
      fputs("(pdev->vantel.ver == 0)", stdout);
      return -3;
    }
    uint32_t entries = HeaderEntryBytes(base);
    int entriesSkipped = entries == 0 || PlatformSeek(stream, entries, SEEK_CUR) == 0;
    if (version == 2) {
      // The extension lies behind the base entries: without them passed over,
      // it cannot be read.
      if (!entriesSkipped ||
          fread(extension, 1, HEADER_EXTENSION_SIZE, stream) != HEADER_EXTENSION_SIZE)
        return -4;
      hasExtension = 1;
      entries = HeaderEntryBytes(extension);
      if (entries > 0) PlatformSeek(stream, entries, SEEK_CUR);
    }
  }

  if (!HeaderBlockDated(base)) return -5;
  PackedTime blockTime = GetLe64(base + BASE_BLOCK_TIME);

  memset(info, 0, sizeof *info);
  info->version = GetLe16(base + BASE_VERSION);
  info->skipLength = GetLe32(base + BASE_SKIP_LENGTH);
  info->blockTime = blockTime;
  info->channels = GetLe32(base + BASE_CHANNELS);
  if (hasExtension)
    info->channels |= (ChannelMask)GetLe32(extension + EXTENSION_CHANNELS) << 32;
  return 0;
}
