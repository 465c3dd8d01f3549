// The forms in which zentrix-cli shows what it found and did: the inventory
// of a recording (plain text or JSON) and the export report (JSON).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "export/export_log.h"
#include "recording/recording_info.h"

// Fields keep the order in which they are set.
typedef nlohmann::ordered_json Json;

std::string InfoTimeText(InfoTime time);
Json GapsJson(const ChannelInfo& channel);
Json DamageJson(const RecordingInfo& info);

// The inventory for programs, and for people (aligned columns).
Json RecordingInfoJson(const std::string& path, const RecordingInfo& info);
void PrintRecordingInfo(FILE* out, const std::string& path, const RecordingInfo& info);

// The facts of an export run that the report holds besides the log.
struct ReportRun {
  std::vector<std::string> commandLine;
  std::string started, ended;  // UTC, ISO 8601
  std::string result;          // "completed", "cancelled" or "failed"
  int exitStatus;
  std::string recordingPath;
  int64_t recordingSize;
  std::string recordingSha256;  // empty: not hashed (not a regular file)
  std::string outputFolder;
  ChannelMask channels;
  int32_t lostFrames;  // as the stderr line counts them
};

Json ExportReportJson(const ReportRun& run, const ExportRunLog& log);
// Writes the report through a temporary file renamed into place, so that a
// report is whole or absent. Returns 0, or -1 with the reason in *error.
int WriteReportFile(const std::string& path, const Json& report, std::string* error);

// The current time, UTC, as "YYYY-MM-DDTHH:MM:SSZ".
std::string UtcNow();
// SHA-256 of a file as 64 hex digits. Returns 0, -1 when it cannot be
// opened, -2 when a read fails, -3 without memory (or without a SHA-256 in
// this build).
int Sha256File(const std::string& path, std::string* hex);
