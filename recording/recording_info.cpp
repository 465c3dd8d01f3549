// The inventory of a recording file, gathered from the record headers that a
// walk meets; no payload is read but the first bytes of a video record.
#include "recording/recording_info.h"

#include <cstring>

#include "platform/platform.h"

// Days from 1 January of year 1 to a date of the proleptic Gregorian
// calendar, and back.
static int64_t DaysFromCivil(int64_t year, unsigned month, unsigned day) {
  year -= month <= 2;
  int64_t era = (year >= 0 ? year : year - 399) / 400;
  unsigned yearOfEra = (unsigned)(year - era * 400);
  unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
  return era * 146097 + (int64_t)dayOfEra - 306;  // 0001-01-01 is day 0
}

static void CivilFromDays(int64_t days, int* year, int* month, int* day) {
  days += 306;
  int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  unsigned dayOfEra = (unsigned)(days - era * 146097);
  unsigned yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  unsigned shifted = (5 * dayOfYear + 2) / 153;
  *day = (int)(dayOfYear - (153 * shifted + 2) / 5 + 1);
  *month = (int)(shifted < 10 ? shifted + 3 : shifted - 9);
  *year = (int)(era * 400 + yearOfEra + (*month <= 2));
}

InfoTime MakeInfoTime(unsigned year, unsigned month, unsigned day, int64_t timeOfDayMs) {
  // A damaged block may carry a month outside 1-12; its date stays near.
  if (month < 1) month = 1;
  if (month > 12) month = 12;
  return (DaysFromCivil(year, month, 1) + (int64_t)day - 1) * INFO_DAY_MS + timeOfDayMs;
}

char* FormatInfoTime(InfoTime time, char* text) {
  int64_t days = time / INFO_DAY_MS, ms = time % INFO_DAY_MS;
  int year = 0, month = 0, day = 0;
  if (days > 0) CivilFromDays(days, &year, &month, &day);
  snprintf(text, INFO_TIME_SIZE, "%04d-%02d-%02d %02d:%02d:%02d.%03d", year, month, day,
           (int)(ms / 3600000), (int)(ms / 60000 % 60), (int)(ms / 1000 % 60), (int)(ms % 1000));
  return text;
}

void RecordingInfoInit(RecordingInfo* info, int64_t fileSize, int64_t gapMs) {
  info->gapMs = gapMs;
  info->fileSize = fileSize;
  info->bytesWalked = 0;
  info->headerBlocks = 0;
  info->failedHeaderBlocks = 0;
  info->emptyRecords = 0;
  memset(info->kindRecords, 0, sizeof info->kindRecords);
  info->strayFrames = 0;
  info->endKind = -1;
  for (ChannelInfo& channel : info->channels) channel = ChannelInfo();
  info->damage.clear();
  info->latest = HeaderInfo();
  info->dated = 0;
}

void InfoHeaderBlock(RecordingInfo* info, const HeaderInfo* block) {
  info->kindRecords[RECORD_HEADER_BLOCK]++;
  if (!block) {
    info->failedHeaderBlocks++;
    return;
  }
  info->headerBlocks++;
  info->latest = *block;
  info->dated = 1;
  for (int n = 0; n < INFO_CHANNELS; n++)
    if ((block->channels >> n) & 1) info->channels[n].named = 1;
}

static void CountSize(ChannelInfo* channel, uint16_t width, uint16_t height) {
  for (InfoSize& size : channel->sizes)
    if (size.width == width && size.height == height) {
      size.frames++;
      return;
    }
  channel->sizes.push_back({width, height, 1});
}

static void CountFrame(RecordingInfo* info, ChannelInfo* channel, const RecordHeader* header,
                       const uint8_t* prefix, size_t prefixSize) {
  FrameInfo frame;
  memset(&frame, 0, sizeof frame);
  DecodeFrameInfo(&frame, header);
  uint8_t start[INFO_PREFIX_SIZE] = {};
  if (prefixSize > INFO_PREFIX_SIZE) prefixSize = INFO_PREFIX_SIZE;
  if (prefix) memcpy(start, prefix, prefixSize);
  // The extended form describes its picture in the prefix word only.
  int complete = RecordFormatCode(header) == RECORD_FORMAT_EXTENDED
                     ? prefixSize == INFO_PREFIX_SIZE && DeriveVideoFormat(&frame, header, start)
                     : DeriveVideoFormat(&frame, header, start);
  if (complete && frame.width > 0 && frame.height > 0) {
    channel->codecFrames[frame.codecType & (INFO_CODEC_TYPES - 1)]++;
    CountSize(channel, frame.width, frame.height);
  } else {
    channel->undescribed++;
  }

  InfoTime time = frame.timeMs;
  if (info->dated)
    time = MakeInfoTime(PackedYear(info->latest.blockTime), PackedMonth(info->latest.blockTime),
                        PackedDay(info->latest.blockTime), frame.timeMs);
  if (channel->frames == 0) {
    channel->first = channel->last = time;
  } else {
    if (time < channel->first) channel->first = time;
    if (time > channel->last) channel->last = time;
    if (time - channel->previous > info->gapMs) {
      channel->gaps.push_back({channel->previous, time});
      channel->gapMs += time - channel->previous;
    }
  }
  channel->previous = time;
  channel->frames++;
  if (frame.kind == RECORD_KEY_FRAME) channel->keyFrames++;
}

void InfoRecord(RecordingInfo* info, const RecordHeader* header, const uint8_t* prefix,
                size_t prefixSize) {
  if (RecordPayloadLength(header) == 0) {
    info->emptyRecords++;
    return;
  }
  unsigned kind = RecordKind(header);
  info->kindRecords[kind]++;
  if (kind != RECORD_KEY_FRAME && kind != RECORD_FRAME) return;
  unsigned channel = RecordChannel(header);
  if (channel >= INFO_CHANNELS) {
    info->strayFrames++;
    return;
  }
  CountFrame(info, &info->channels[channel], header, prefix, prefixSize);
}

void InfoDamage(RecordingInfo* info, int64_t offset, int64_t skipped) {
  info->damage.push_back({offset, skipped < 0 ? 0 : skipped});
}

void InfoEnd(RecordingInfo* info, int64_t at, int endKind) {
  info->bytesWalked = at;
  info->endKind = endKind;
}

double ChannelFrameRate(const ChannelInfo* channel) {
  int64_t intervals = channel->frames - 1 - (int64_t)channel->gaps.size();
  int64_t span = channel->last - channel->first - channel->gapMs;
  if (intervals <= 0 || span <= 0) return 0.0;
  return (double)intervals * 1000.0 / (double)span;
}

void InfoWalkEnded(RecordingInfo* info, const RecordWalk* walk, int ended,
                   const RecordHeader* header, int64_t at) {
  if (ended == RECORD_WALK_ENDING_KIND)
    InfoEnd(info, at, (int)RecordKind(header));
  else
    InfoEnd(info, ended == RECORD_WALK_END ? walk->reader.fileLength : walk->end, -1);
}

static void OnDamage(void* user, int64_t offset, int64_t bytes) {
  InfoDamage((RecordingInfo*)user, offset, bytes);
}

int ReadRecordingInfo(FILE* stream, RecordingInfo* info, const std::atomic<int32_t>* runFlag) {
  RecordWalk walk;
  RecordWalkInit(&walk, stream, info->fileSize);
  walk.runFlag = runFlag;
  walk.user = info;
  walk.onDamage = OnDamage;
  RecordHeader header;
  HeaderInfo block = {};
  int64_t at = 0;
  int ended;
  while ((ended = RecordWalkNext(&walk, &header, &at)) == RECORD_WALK_RECORD) {
    unsigned kind = RecordKind(&header);
    uint32_t payload = RecordPayloadLength(&header);
    if (payload > 0 && kind == RECORD_HEADER_BLOCK) {
      int read = ReadHeaderBlock(stream, &header, &block) == 0;
      RecordWalkHeaderBlock(&walk, read ? &block : nullptr);
      InfoHeaderBlock(info, read ? &block : nullptr);
      continue;
    }
    if (payload == 0 || (kind != RECORD_KEY_FRAME && kind != RECORD_FRAME)) {
      InfoRecord(info, &header, nullptr, 0);
      if (RecordWalkSkip(&walk) != 0) break;
      continue;
    }
    // A video record: its prefix word, and the walk goes on after it as
    // after a frame that an export took.
    uint8_t prefix[INFO_PREFIX_SIZE];
    size_t read = fread(prefix, 1, payload < (uint32_t)INFO_PREFIX_SIZE ? payload : (uint32_t)INFO_PREFIX_SIZE,
                        stream);
    InfoRecord(info, &header, prefix, read);
    if (read == INFO_PREFIX_SIZE || read == payload) RecordWalkFrameTaken(&walk);
    if (PlatformSeek(stream, at + RECORD_HEADER_SIZE + (int64_t)payload, SEEK_SET) != 0) break;
  }
  InfoWalkEnded(info, &walk, ended, &header, at);
  RecordWalkFree(&walk);
  return ended == RECORD_WALK_CANCELLED ? -1 : 0;
}
