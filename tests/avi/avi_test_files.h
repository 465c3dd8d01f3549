// Test support for the AVI and SAMI writers (the export tests use it too):
// scratch folders, stream specs, expected fields and a file-size limit.
#pragma once

#include <gtest/gtest.h>
#include <sys/resource.h>

#include <string>
#include <utility>
#include <vector>

#include "avi/avi_writer.h"
#include "tools/record_writer.h"

// A fresh folder under the temporary folder, removed with its contents at the end.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  std::string dir;
};

inline std::string ReadText(const std::string& path) {
  Bytes bytes = ReadFileBytes(path.c_str());
  return std::string(bytes.begin(), bytes.end());
}
int64_t FileLength(const std::string& path);  // -1 when missing

AviStreamSpec VideoSpec(int32_t width, int32_t height, int32_t rate);  // "xvid"
AviStreamSpec CaptionSpec(const char* language);

// An expected little-endian field of `width` bytes, or a four-character tag.
struct Word {
  Word(uint32_t value, int width = 4) : value(value), width(width) {}
  Word(const char (&tag)[5]) : value(tag[0] | tag[1] << 8 | tag[2] << 16 | (uint32_t)tag[3] << 24), width(4) {}
  uint32_t value;
  int width;
};
inline Word Le16(uint32_t value) { return Word(value, 2); }
// Checks words laid end to end from `at`, or each at its own offset.
void ExpectRun(const Bytes& bytes, size_t at, const std::vector<Word>& words);
inline void ExpectAt(const Bytes& bytes, const std::vector<std::pair<size_t, Word>>& fields) {
  for (const auto& f : fields) ExpectRun(bytes, f.first, {f.second});
}

// While alive, no file of this process may grow beyond `bytes`: writes past
// it fail (EFBIG) as on a full disk, and SIGXFSZ is ignored.
struct FileSizeLimit {
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  rlimit saved;
  void (*savedHandler)(int);
};
