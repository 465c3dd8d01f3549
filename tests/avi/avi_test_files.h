// Test support for the AVI and SAMI writers: scratch folders, file contents,
// little-endian reads, stream specs, field tables and a file-size limit.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "avi/avi_writer.h"

typedef std::vector<uint8_t> FileBytes;

// A fresh folder under the temporary folder, removed with its contents at the end.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  std::string dir;
};

FileBytes ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
int64_t FileLength(const std::string& path);  // -1 when missing
inline bool FileExists(const std::string& path) { return FileLength(path) >= 0; }
uint32_t Le32(const FileBytes& bytes, size_t offset);
uint16_t Le16(const FileBytes& bytes, size_t offset);
std::string Tag(const FileBytes& bytes, size_t offset);  // four characters

AviStreamSpec VideoSpec(int32_t width, int32_t height, int32_t rate, const char* name = nullptr);
AviStreamSpec AudioSpec(int32_t tag, int32_t channels, int32_t rate, int32_t bits);
AviStreamSpec CaptionSpec(const char* language);

// An expected field: a little-endian value of `width` bytes, or a four-character tag.
struct Field {
  Field(size_t at, uint32_t value, int width = 4) : at(at), value(value), width(width) {}
  Field(size_t at, std::string tag) : at(at), value(0), width(0), tag(tag) {}
  size_t at;
  uint32_t value;
  int width;
  std::string tag;
};
// Checks every field at base + its offset.
void ExpectFields(const FileBytes& bytes, const std::vector<Field>& fields, size_t base = 0);

// While alive, no file of this process may grow beyond `bytes`: writes past
// it fail (EFBIG) as on a full disk, and SIGXFSZ is ignored.
struct FileSizeLimit {
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  uint64_t savedSoft;
  void (*savedHandler)(int);
};
