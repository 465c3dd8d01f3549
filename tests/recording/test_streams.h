// Streams over byte strings and a capture of standard output, for the
// reading tests.
#pragma once

#include <cstdio>
#include <string>

#include "tools/record_writer.h"

// A temporary file holding bytes, open for reading at offset 0. Behaves like
// a recording file on disk: seeks past the end succeed, reads there find EOF.
FILE* OpenBytes(const Bytes& bytes);

// An in-memory stream over non-empty bytes (fmemopen): seeks past the end
// fail. Only one is valid at a time.
FILE* OpenMemoryBytes(const Bytes& bytes);

// Everything written to standard output between Start and Stop.
struct StdoutCapture {
  int savedFd = -1;
  FILE* sink = nullptr;
};
void StartStdoutCapture(StdoutCapture* capture);
std::string StopStdoutCapture(StdoutCapture* capture);
