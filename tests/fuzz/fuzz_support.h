// What the fuzz targets share: a check that aborts with its reason, a scratch
// folder, and a walk over an AVI file that checks it holds together.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tools/record_writer.h"

inline void Check(bool condition, const char* what, const std::string& name = "") {
  if (!condition) fprintf(stderr, "%s: %s\n", name.c_str(), what), abort();
}

inline uint32_t Le32(const Bytes& f, uint64_t at) {
  Check(at + 4 <= f.size(), "read past the end of the file");
  return f[at] | f[at + 1] << 8 | f[at + 2] << 16 | (uint32_t)f[at + 3] << 24;
}

inline std::string ScratchFolder(const char* stem) {  // under TMPDIR or /tmp
  const char* base = getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + stem + "-XXXXXX";
  Check(mkdtemp(&pattern[0]) != nullptr, "no scratch folder");
  return pattern;
}

// RIFF size, movi behind the header list, the index at its end, the total frame count;
// every index entry points at an even place in movi, at a chunk of its id and size. Returns their ids.
inline std::vector<std::string> CheckAviFile(const Bytes& f, const std::string& name) {
  Check(f.size() >= 32 && !memcmp(f.data(), "RIFF", 4) && !memcmp(&f[8], "AVI ", 4) && Le32(f, 4) == f.size() - 8,
        "RIFF AVI and its size", name);
  const uint64_t movi = 20 + (uint64_t)Le32(f, 16), end = movi + 8 + Le32(f, movi + 4);
  const uint64_t size = end + 8 + Le32(f, end + 4);
  Check(!memcmp(&f[movi], "LIST", 4) && !memcmp(&f[movi + 8], "movi", 4), "no movi list behind the header list", name);
  Check(!memcmp(&f[end], "idx1", 4) && size == f.size() && (size - end) % 16 == 8, "no index at the end", name);
  Check(Le32(f, 48) == (size - end) / 16, "total frames", name);
  std::vector<std::string> ids;
  for (uint64_t at = end + 8; at < size; at += 16) {
    const uint64_t offset = Le32(f, at + 8), length = Le32(f, at + 12);
    Check((Le32(f, at + 4) | 0x10) == 0x10 && offset >= movi + 12 && offset % 2 == 0 && offset + 8 + length <= end &&
          !memcmp(&f[offset], &f[at], 4) && Le32(f, offset + 4) == length, "index entry: flags or chunk", name);
    ids.emplace_back((const char*)&f[at], 4);
  }
  return ids;
}
