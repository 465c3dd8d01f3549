// Streams over byte strings, for the reading tests.
#pragma once

#include <cstdio>

#include "tools/record_writer.h"

// A temporary file holding bytes, open for reading at offset 0. Like a
// recording on disk: seeks past the end succeed, reads there find the end.
inline FILE* OpenBytes(const Bytes& bytes) {
  FILE* stream = tmpfile();
  if (stream && fwrite(bytes.data(), 1, bytes.size(), stream) == bytes.size()) rewind(stream);
  return stream;
}

// An in-memory stream over non-empty bytes: seeks past the end fail. Only one
// is valid at a time, as it reads a copy kept until the next call.
inline FILE* OpenMemoryBytes(const Bytes& bytes) {
  static Bytes keep;
  keep = bytes;
  return fmemopen(keep.data(), keep.size(), "rb");
}
