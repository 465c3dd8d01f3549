// Test support for the AVI and SAMI writers: scratch folders, file contents,
// little-endian reads and a file-size limit that makes writes fail.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef std::vector<uint8_t> FileBytes;

// A fresh folder under the system's temporary folder, removed with its
// contents when the object goes.
struct ScratchDir {
  ScratchDir();
  ~ScratchDir();
  std::string Path(const std::string& name) const;
  std::string dir;
};

FileBytes ReadBytes(const std::string& path);
std::string ReadText(const std::string& path);
bool FileExists(const std::string& path);
int64_t FileLength(const std::string& path);  // -1 when missing

uint32_t Le32(const FileBytes& bytes, size_t offset);
uint16_t Le16(const FileBytes& bytes, size_t offset);
std::string Tag(const FileBytes& bytes, size_t offset);  // four characters

// While alive, no file of this process may grow beyond `bytes`: writes past
// it fail (EFBIG) as on a full disk. The signal that would end the process
// is ignored meanwhile.
struct FileSizeLimit {
  explicit FileSizeLimit(uint64_t bytes);
  ~FileSizeLimit();
  FileSizeLimit(const FileSizeLimit&) = delete;
  FileSizeLimit& operator=(const FileSizeLimit&) = delete;
  uint64_t savedSoft;
  void (*savedHandler)(int);
};
