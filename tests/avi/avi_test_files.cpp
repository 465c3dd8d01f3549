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

int64_t FileLength(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0 ? static_cast<int64_t>(info.st_size) : -1;
}

// A read past the end throws, which fails the test.
static uint32_t LeValue(const FileBytes& bytes, size_t offset, size_t count) {
  if (offset + count > bytes.size()) throw std::out_of_range("read past the end of the file");
  uint32_t value = 0;
  for (size_t i = count; i-- > 0;) value = value << 8 | bytes[offset + i];
  return value;
}

uint32_t Le32(const FileBytes& bytes, size_t offset) { return LeValue(bytes, offset, 4); }

static AviStreamSpec Stream(int32_t kind) {
  AviStreamSpec stream;
  memset(&stream, 0, sizeof stream);
  stream.kind = kind;
  return stream;
}

AviStreamSpec VideoSpec(int32_t width, int32_t height, int32_t rate, const char* name) {
  AviStreamSpec stream = Stream(AVI_STREAM_VIDEO);
  stream.name = name;
  stream.video = {width, height, rate, {'x', 'v', 'i', 'd'}};
  return stream;
}

AviStreamSpec AudioSpec(int32_t tag, int32_t channels, int32_t rate, int32_t bits) {
  AviStreamSpec stream = Stream(AVI_STREAM_AUDIO);
  stream.audio = {tag, channels, rate, bits};
  return stream;
}

AviStreamSpec CaptionSpec(const char* language) {
  AviStreamSpec stream = Stream(AVI_STREAM_TEXT);
  stream.text.caption = 1;
  strncpy(stream.text.language, language, sizeof stream.text.language - 1);
  return stream;
}

void ExpectFields(const FileBytes& bytes, const std::vector<Field>& fields, size_t base) {
  for (const Field& f : fields) {
    const size_t at = base + f.at;
    const uint32_t value = LeValue(bytes, at, f.width ? static_cast<size_t>(f.width) : 4);
    if (f.width) EXPECT_EQ(value, f.value) << "at " << at;
    else EXPECT_EQ(std::string(bytes.begin() + at, bytes.begin() + at + 4), f.tag) << "at " << at;
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
