#include "tests/avi/avi_test_files.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  dir = std::string(base && *base ? base : "/tmp") + "/zentrix_avi_XXXXXX";
  if (!mkdtemp(&dir[0])) throw std::runtime_error("mkdtemp failed");
}

ScratchDir::~ScratchDir() {
  std::error_code ignored;
  std::filesystem::remove_all(dir, ignored);
}

FileBytes ReadBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return FileBytes(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

std::string ReadText(const std::string& path) {
  FileBytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

int64_t FileLength(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

// The bytes at offset, or an exception that fails the test when the file is short.
static const uint8_t* At(const FileBytes& bytes, size_t offset, size_t count) {
  if (offset + count > bytes.size()) throw std::out_of_range("read past the end of the file");
  return bytes.data() + offset;
}

uint16_t Le16(const FileBytes& bytes, size_t offset) {
  const uint8_t* p = At(bytes, offset, 2);
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t Le32(const FileBytes& bytes, size_t offset) {
  return Le16(bytes, offset) | static_cast<uint32_t>(Le16(bytes, offset + 2)) << 16;
}

std::string Tag(const FileBytes& bytes, size_t offset) {
  return std::string(reinterpret_cast<const char*>(At(bytes, offset, 4)), 4);
}

static AviStreamSpec Stream(int32_t kind, const char* name) {
  AviStreamSpec stream;
  memset(&stream, 0, sizeof stream);
  stream.kind = kind;
  stream.name = name;
  return stream;
}

AviStreamSpec VideoSpec(int32_t width, int32_t height, int32_t rate, const char* name) {
  AviStreamSpec stream = Stream(AVI_STREAM_VIDEO, name);
  stream.video = {width, height, rate, {'x', 'v', 'i', 'd'}};
  return stream;
}

AviStreamSpec AudioSpec(int32_t tag, int32_t channels, int32_t rate, int32_t bits) {
  AviStreamSpec stream = Stream(AVI_STREAM_AUDIO, nullptr);
  stream.audio = {tag, channels, rate, bits};
  return stream;
}

AviStreamSpec CaptionSpec(const char* language) {
  AviStreamSpec stream = Stream(AVI_STREAM_TEXT, nullptr);
  stream.text.caption = 1;
  strncpy(stream.text.language, language, sizeof stream.text.language - 1);
  return stream;
}

void ExpectFields(const FileBytes& bytes, const std::vector<Field>& fields, size_t base) {
  for (const Field& f : fields) {
    size_t at = base + f.at;
    if (f.width == 0) EXPECT_EQ(Tag(bytes, at), f.tag) << "at " << at;
    else EXPECT_EQ(f.width == 2 ? Le16(bytes, at) : Le32(bytes, at), f.value) << "at " << at;
  }
}

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
  savedHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  savedSoft = limit.rlim_cur;
  limit.rlim_cur = static_cast<rlim_t>(bytes);
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
  rlimit limit;
  getrlimit(RLIMIT_FSIZE, &limit);
  limit.rlim_cur = static_cast<rlim_t>(savedSoft);
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, savedHandler);
}
