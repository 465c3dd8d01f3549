#include "tests/avi/avi_test_files.h"

#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

static void RemoveTree(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return;
  if (S_ISDIR(info.st_mode)) {
    if (DIR* dir = opendir(path.c_str())) {
      while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..") RemoveTree(path + "/" + name);
      }
      closedir(dir);
    }
    rmdir(path.c_str());
  } else {
    unlink(path.c_str());
  }
}

ScratchDir::ScratchDir() {
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/zentrix_avi_XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!mkdtemp(buffer.data())) throw std::runtime_error("mkdtemp failed");
  dir = buffer.data();
}

ScratchDir::~ScratchDir() { RemoveTree(dir); }

std::string ScratchDir::Path(const std::string& name) const { return dir + "/" + name; }

FileBytes ReadBytes(const std::string& path) {
  FileBytes bytes;
  FILE* file = fopen(path.c_str(), "rb");
  if (!file) return bytes;
  uint8_t buffer[65536];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, file)) > 0) bytes.insert(bytes.end(), buffer, buffer + got);
  fclose(file);
  return bytes;
}

std::string ReadText(const std::string& path) {
  FileBytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

bool FileExists(const std::string& path) {
  struct stat info;
  return stat(path.c_str(), &info) == 0;
}

int64_t FileLength(const std::string& path) {
  struct stat info;
  if (stat(path.c_str(), &info) != 0) return -1;
  return static_cast<int64_t>(info.st_size);
}

uint32_t Le32(const FileBytes& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("Le32 past the end");
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 | static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

uint16_t Le16(const FileBytes& bytes, size_t offset) {
  if (offset + 2 > bytes.size()) throw std::out_of_range("Le16 past the end");
  return static_cast<uint16_t>(bytes[offset] | bytes[offset + 1] << 8);
}

std::string Tag(const FileBytes& bytes, size_t offset) {
  if (offset + 4 > bytes.size()) throw std::out_of_range("Tag past the end");
  return std::string(bytes.begin() + static_cast<long>(offset), bytes.begin() + static_cast<long>(offset) + 4);
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
