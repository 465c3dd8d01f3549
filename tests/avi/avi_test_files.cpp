#include "tests/avi/avi_test_files.h"

#include <signal.h>

#include <cstring>
#include <filesystem>
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

int64_t FileLength(const std::string& path) {
  std::error_code missing;
  const uintmax_t length = std::filesystem::file_size(path, missing);
  return missing ? -1 : (int64_t)length;
}

AviStreamSpec VideoSpec(int32_t width, int32_t height, int32_t rate) {
  AviStreamSpec stream;
  memset(&stream, 0, sizeof stream);
  stream.kind = AVI_STREAM_VIDEO;
  stream.video = {width, height, rate, {'x', 'v', 'i', 'd'}};
  return stream;
}

AviStreamSpec CaptionSpec(const char* language) {
  AviStreamSpec stream;
  memset(&stream, 0, sizeof stream);
  stream.kind = AVI_STREAM_TEXT;
  stream.text.caption = 1;
  strncpy(stream.text.language, language, sizeof stream.text.language - 1);
  return stream;
}

void ExpectRun(const Bytes& bytes, size_t at, const std::vector<Word>& words) {
  for (const Word& w : words) {
    if (at + w.width > bytes.size()) throw std::out_of_range("read past the end of the file");
    uint32_t value = 0;
    for (int i = w.width; i-- > 0;) value = value << 8 | bytes[at + i];
    EXPECT_EQ(value, w.value) << "at " << at;
    at += w.width;
  }
}

FileSizeLimit::FileSizeLimit(uint64_t bytes) {
  savedHandler = signal(SIGXFSZ, SIG_IGN);
  getrlimit(RLIMIT_FSIZE, &saved);
  rlimit limit = saved;
  limit.rlim_cur = (rlim_t)bytes;
  if (setrlimit(RLIMIT_FSIZE, &limit) != 0) throw std::runtime_error("setrlimit failed");
}

FileSizeLimit::~FileSizeLimit() {
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, savedHandler);
}
