// Test support for the AVI and SAMI writers (the export tests use it too):
// scratch folders, file contents, little-endian fields, stream specs and a
// file-size limit.
#pragma once

#include <gtest/gtest.h>

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
inline std::string ReadText(const std::string& path) {
  FileBytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}
int64_t FileLength(const std::string& path);  // -1 when missing
uint32_t Le32(const FileBytes& bytes, size_t offset);

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
  uint64_t savedSoft;
  void (*savedHandler)(int);
};

// A test that writes clip.avi in its own scratch folder.
class AviFileTest : public ::testing::Test {
 protected:
  ScratchDir scratch;
  std::string path = scratch.Path("clip.avi");
  AviWriter* writer = nullptr;
  AviStreamSpec video = VideoSpec(64, 48, 30);

  void Open() { ASSERT_EQ(AviWriterOpen(path.c_str(), 1, &video, &writer), 0); }
  // Opens the streams, lets `write` add chunks, finishes and returns the file.
  template <typename Write>
  FileBytes Written(std::vector<AviStreamSpec> streams, Write write) {
    writer = nullptr;
    EXPECT_EQ(AviWriterOpen(path.c_str(), static_cast<int32_t>(streams.size()), streams.data(), &writer), 0);
    if (!writer) return FileBytes();
    write(writer);
    EXPECT_EQ(AviWriterFinish(writer), 0);
    return ReadBytes(path);
  }
};
