// zentrix-cli info: what a recording holds, as aligned columns for a person
// or as JSON for a program. Both show the same facts.
#include <cinttypes>
#include <string>
#include <vector>

#include "cli/listing.h"
#include "shell/progress.h"

std::string InfoTimeText(InfoTime time) {
  char text[INFO_TIME_SIZE];
  return FormatInfoTime(time, text);
}

static std::string Thousands(int64_t value) {
  char text[THOUSANDS_SIZE];
  return FormatThousands(value < 0 ? 0 : (uint64_t)value, text);
}

static std::string Fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// Seconds to the millisecond, as a JSON number.
static double Seconds(int64_t ms) { return (double)ms / 1000.0; }

Json GapsJson(const ChannelInfo& channel) {
  Json gaps = Json::array();
  for (const InfoGap& gap : channel.gaps)
    gaps.push_back({{"from", InfoTimeText(gap.start)},
                    {"to", InfoTimeText(gap.end)},
                    {"seconds", Seconds(gap.end - gap.start)}});
  return gaps;
}

Json DamageJson(const RecordingInfo& info) {
  Json places = Json::array();
  for (const DamagedPlace& place : info.damage)
    places.push_back({{"offset", place.offset}, {"bytesPassedOver", place.skipped}});
  return places;
}

static Json CodecTypesJson(const ChannelInfo& channel) {
  Json types = Json::array();
  for (int type = 0; type < INFO_CODEC_TYPES; type++)
    if (channel.codecFrames[type] > 0)
      types.push_back({{"codecType", type}, {"frames", channel.codecFrames[type]}});
  return types;
}

static Json SizesJson(const ChannelInfo& channel) {
  Json sizes = Json::array();
  for (const InfoSize& size : channel.sizes)
    sizes.push_back({{"width", size.width}, {"height", size.height}, {"frames", size.frames}});
  return sizes;
}

static int64_t VideoFrames(const RecordingInfo& info) {
  int64_t frames = 0;
  for (const ChannelInfo& channel : info.channels) frames += channel.frames;
  return frames;
}

Json RecordingInfoJson(const std::string& path, const RecordingInfo& info) {
  Json otherKinds = Json::object();
  for (int kind = 0; kind < INFO_KINDS; kind++)
    if (kind != RECORD_HEADER_BLOCK && kind != RECORD_KEY_FRAME && kind != RECORD_FRAME &&
        info.kindRecords[kind] > 0)
      otherKinds[std::to_string(kind)] = info.kindRecords[kind];

  Json channels = Json::array();
  for (int n = 0; n < INFO_CHANNELS; n++) {
    const ChannelInfo& channel = info.channels[n];
    if (!channel.named && channel.frames == 0) continue;
    Json entry = {{"channel", n + 1}, {"namedByHeaderBlocks", channel.named != 0},
                  {"frames", channel.frames}};
    if (channel.frames > 0) {
      entry["keyFrames"] = channel.keyFrames;
      entry["first"] = InfoTimeText(channel.first);
      entry["last"] = InfoTimeText(channel.last);
      entry["framesPerSecond"] = ChannelFrameRate(&channel);
      entry["codecTypes"] = CodecTypesJson(channel);
      entry["sizes"] = SizesJson(channel);
      entry["undescribedFrames"] = channel.undescribed;
      entry["gaps"] = GapsJson(channel);
    }
    channels.push_back(entry);
  }

  return {{"recording", path},
          {"size", info.fileSize},
          {"headerBlocks", info.headerBlocks},
          {"unreadableHeaderBlocks", info.failedHeaderBlocks},
          {"videoFrames", VideoFrames(info)},
          {"framesOfChannelsAbove64", info.strayFrames},
          {"otherRecordsByKind", otherKinds},
          {"emptyRecords", info.emptyRecords},
          {"walkEnd", {{"offset", info.bytesWalked},
                       {"kind", info.endKind < 0 ? Json(nullptr) : Json(info.endKind)}}},
          {"gapSeconds", Seconds(info.gapMs)},
          {"channels", channels},
          {"damagedPlaces", DamageJson(info)}};
}

// Rows of text cells printed as columns; `right` marks the columns aligned
// to the right (numbers). The last column is not padded.
static void PrintTable(FILE* out, const std::vector<std::vector<std::string>>& rows,
                       const std::vector<bool>& right) {
  std::vector<size_t> widths;
  for (const auto& row : rows)
    for (size_t i = 0; i < row.size(); i++) {
      if (widths.size() <= i) widths.push_back(0);
      if (row[i].size() > widths[i]) widths[i] = row[i].size();
    }
  for (const auto& row : rows) {
    std::string line;
    for (size_t i = 0; i < row.size(); i++) {
      std::string pad(widths[i] - row[i].size(), ' ');
      bool last = i + 1 == row.size();
      if (i > 0) line += "  ";
      line += i < right.size() && right[i] ? pad + row[i] : row[i] + (last ? "" : pad);
    }
    fprintf(out, "%s\n", line.c_str());
  }
}

void PrintRecordingInfo(FILE* out, const std::string& path, const RecordingInfo& info) {
  std::string other;
  int64_t otherCount = 0;
  for (int kind = 0; kind < INFO_KINDS; kind++)
    if (kind != RECORD_HEADER_BLOCK && kind != RECORD_KEY_FRAME && kind != RECORD_FRAME &&
        info.kindRecords[kind] > 0) {
      otherCount += info.kindRecords[kind];
      other += (other.empty() ? " (kind " : ", kind ") + std::to_string(kind) + ": " +
               Thousands(info.kindRecords[kind]);
    }
  if (!other.empty()) other += ")";
  std::string end = info.endKind < 0 ? "the end of the file"
                                     : "a record of kind " + std::to_string(info.endKind) +
                                           " at offset " + Thousands(info.bytesWalked);
  int64_t skipped = 0;
  for (const DamagedPlace& place : info.damage) skipped += place.skipped;

  std::vector<std::vector<std::string>> facts = {
      {"Recording", path},
      {"Size", Thousands(info.fileSize) + " bytes, read to " + end},
      {"Header blocks", Thousands(info.headerBlocks) +
                            (info.failedHeaderBlocks
                                 ? " (and " + Thousands(info.failedHeaderBlocks) + " unreadable)"
                                 : "")},
      {"Video frames", Thousands(VideoFrames(info)) +
                           (info.strayFrames ? " (and " + Thousands(info.strayFrames) +
                                                   " of channels above 64)"
                                             : "")},
      {"Other records", Thousands(otherCount) + other + ", " + Thousands(info.emptyRecords) +
                            " empty"},
      {"Damaged places", info.damage.empty()
                             ? std::string("none")
                             : Thousands((int64_t)info.damage.size()) + ", " +
                                   Thousands(skipped) + " bytes passed over"}};
  PrintTable(out, facts, {});

  std::vector<std::vector<std::string>> rows = {{"Channel", "Frames", "Key", "First frame",
                                                 "Last frame", "Frames/s", "Codec types",
                                                 "Picture sizes"}};
  std::vector<std::vector<std::string>> gaps = {{"Channel", "From", "To", "Seconds"}};
  std::string silent;  // named by header blocks, without video records
  for (int n = 0; n < INFO_CHANNELS; n++) {
    const ChannelInfo& channel = info.channels[n];
    std::string number = std::to_string(n + 1);
    if (channel.frames == 0) {
      if (channel.named) silent += (silent.empty() ? "" : ", ") + number;
      continue;
    }
    std::string types, sizes;
    for (int type = 0; type < INFO_CODEC_TYPES; type++)
      if (channel.codecFrames[type] > 0)
        types += (types.empty() ? "" : ", ") + std::to_string(type) + " (" +
                 Thousands(channel.codecFrames[type]) + ")";
    for (const InfoSize& size : channel.sizes)
      sizes += (sizes.empty() ? "" : ", ") + std::to_string(size.width) + "x" +
               std::to_string(size.height) + " (" + Thousands(size.frames) + ")";
    if (channel.undescribed > 0)
      sizes += (sizes.empty() ? "" : ", ") + Thousands(channel.undescribed) + " undescribed";
    rows.push_back({number, Thousands(channel.frames), Thousands(channel.keyFrames),
                    InfoTimeText(channel.first), InfoTimeText(channel.last),
                    Fixed(ChannelFrameRate(&channel), 2), types, sizes});
    for (const InfoGap& gap : channel.gaps)
      gaps.push_back({number, InfoTimeText(gap.start), InfoTimeText(gap.end),
                      Fixed(Seconds(gap.end - gap.start), 3)});
  }
  fprintf(out, "\n");
  if (rows.size() == 1)
    fprintf(out, "No video records of any channel.\n");
  else
    PrintTable(out, rows, {true, true, true, false, false, true});
  if (!silent.empty())
    fprintf(out, "Named by header blocks but without video records: channel%s %s\n",
            silent.find(',') == std::string::npos ? "" : "s", silent.c_str());

  fprintf(out, "\nGaps (more than %g s without a frame of the channel):%s\n",
          Seconds(info.gapMs), gaps.size() == 1 ? " none" : "");
  if (gaps.size() > 1) PrintTable(out, gaps, {true, false, false, true});

  if (!info.damage.empty()) {
    std::vector<std::vector<std::string>> places = {{"Damaged at offset", "Bytes passed over"}};
    for (const DamagedPlace& place : info.damage)
      places.push_back({Thousands(place.offset), Thousands(place.skipped)});
    fprintf(out, "\n");
    PrintTable(out, places, {true, true});
  }
}
