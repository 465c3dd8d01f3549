#include "tests/recording/test_streams.h"

#include <unistd.h>

FILE* OpenBytes(const Bytes& bytes) {
  FILE* stream = tmpfile();
  if (!stream) return nullptr;
  if (!bytes.empty() && fwrite(bytes.data(), 1, bytes.size(), stream) != bytes.size()) {
    fclose(stream);
    return nullptr;
  }
  rewind(stream);
  return stream;
}

FILE* OpenMemoryBytes(const Bytes& bytes) {
  // One memory stream at a time: the bytes are kept until the next call.
  static Bytes keep;
  if (bytes.empty()) return nullptr;
  keep = bytes;
  return fmemopen(keep.data(), keep.size(), "rb");
}

void StartStdoutCapture(StdoutCapture* capture) {
  fflush(stdout);
  capture->sink = tmpfile();
  capture->savedFd = dup(fileno(stdout));
  dup2(fileno(capture->sink), fileno(stdout));
}

std::string StopStdoutCapture(StdoutCapture* capture) {
  fflush(stdout);
  dup2(capture->savedFd, fileno(stdout));
  close(capture->savedFd);
  std::string text;
  rewind(capture->sink);
  int c;
  while ((c = fgetc(capture->sink)) != EOF) text += (char)c;
  fclose(capture->sink);
  *capture = StdoutCapture();
  return text;
}
