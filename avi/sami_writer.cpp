// SAMI caption file: the captions of an AVI file's caption stream, each timed
// by the number of video frames the AVI file had received when it arrived.
#include "avi/sami_writer.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "avi/avi_writer.h"

enum { SAMI_NAME_SIZE = 260 };

static const char SAMI_HEAD[] =
    "<SAMI>\n"
    "<HEAD>\n"
    "<SAMIParam>\n"
    "Copyright {Made with zentrix, (C) the zentrix developers}\n"
    "Metrics {time:ms;}\n"
    "Spec {MSFT:1.0;}\n"
    "</SAMIParam>\n";
static const char SAMI_STYLE[] =
    "<STYLE TYPE=\"text/css\">\n"
    "<!--\n"
    ".LANGCC {lang: %s;}\n"
    "-->\n"
    "</STYLE>\n";
static const char SAMI_BODY[] = "</HEAD>\n<BODY>\n";
static const char SAMI_SYNC[] = " <SYNC Start=%d>\n";
static const char SAMI_CLASS[] = " <P Class=LANGCC> ";
static const char SAMI_CLOSING[] = "</BODY>\n</SAMI>\n";

// A name that would not fit the buffer becomes empty, and SamiOpen refuses it.
void SamiFileName(const char* aviPath, char* name) {
  size_t length = strlen(aviPath);
  name[0] = '\0';
  if (length >= SAMI_NAME_SIZE) return;
  memcpy(name, aviPath, length + 1);
  char* dot = strrchr(name, '.');
  if (dot && strcmp(dot, ".avi") == 0) {
    memcpy(dot, ".smi", 4);
    return;
  }
  if (length + 4 >= SAMI_NAME_SIZE) {
    name[0] = '\0';
    return;
  }
  memcpy(name + length, ".smi", 5);
}

// Each fixed part is flushed so that a disk that cannot take it fails here,
// at the step that wrote it, and not silently at close.
static int WriteFlushed(FILE* file, const char* text) {
  return fputs(text, file) >= 0 && fflush(file) == 0 ? 0 : -1;
}

int SamiOpen(const char* language, const char* aviPath, FILE** out) {
  if (!aviPath || !out) return -1;
  char name[SAMI_NAME_SIZE];
  SamiFileName(aviPath, name);
  if (!name[0]) return -1;
  FILE* file = fopen(name, "w");
  if (!file) return -1;

  int result = 0;
  if (WriteFlushed(file, SAMI_HEAD) != 0) {
    result = -2;
  } else if (language && language[0] &&
             (fprintf(file, SAMI_STYLE, language) < 0 || fflush(file) != 0)) {
    result = -3;
  } else if (WriteFlushed(file, SAMI_BODY) != 0) {
    result = -4;
  }
  if (result != 0) {
    fclose(file);
    remove(name);
    return result;
  }
  *out = file;
  return 0;
}

// A caption write that failed: the stream may have dropped this caption's
// bytes and those of earlier captions that it still held, so the caption
// file is no longer whole and the writer's finish fails. Passes code on.
static int CaptionWriteFailed(AviWriter* writer, int code) {
  writer->lostCaptions = 1;
  return code;
}

int SamiWriteCaption(AviWriter* writer, const AviStreamSpec* stream, const void* text,
                     int32_t size) {
  FILE* file = writer->captionFile;
  // A caption needs at least one byte: its last byte tells how to write it.
  if (!file || !text || size < 1) return -5;

  // Milliseconds beyond the largest int are held at it: a time that wrapped
  // would be negative.
  int start = 0;
  if (writer->rate > 0) {
    double milliseconds = static_cast<double>(writer->videoFrames) * 1000.0 / writer->rate;
    start = milliseconds >= static_cast<double>(INT_MAX) ? INT_MAX : static_cast<int>(milliseconds);
  }
  if (fprintf(file, SAMI_SYNC, start) < 0) return CaptionWriteFailed(writer, -1);

  if (stream->text.language[0] && fputs(SAMI_CLASS, file) < 0)
    return CaptionWriteFailed(writer, -2);

  const char* bytes = static_cast<const char*>(text);
  if (bytes[size - 1] != '\0') {
    if (fwrite(bytes, 1, static_cast<size_t>(size), file) != static_cast<size_t>(size))
      return CaptionWriteFailed(writer, -5);
  } else {
    size_t length = strlen(bytes);
    if (length > 0 && fwrite(bytes, 1, length, file) != length)
      return CaptionWriteFailed(writer, -4);
  }

  if (fputc('\n', file) == EOF) return CaptionWriteFailed(writer, -6);
  return 0;
}

int SamiWriteClosing(FILE* file) {
  if (!file) return -1;
  return WriteFlushed(file, SAMI_CLOSING);
}
