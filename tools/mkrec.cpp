// zentrix-mkrec: writes a recording file from reproducible synthetic video.
//
// The file is a run of stretches. Each stretch (one block interval of time)
// begins with a header block that dates it and names its channels; then come
// the stretch's frame records, in time order, channel after channel. Every
// record of a stretch except the block itself has the same payload length,
// the block's skip length, so a reader that skips records by the skip length
// stays in step: frame data is followed by zero bytes up to that length
// (harmless after a JPEG picture, an H.263 picture, an MPEG-4 VOP and an
// H.264 access unit alike).
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>

extern "C" {
#include <libavutil/log.h>
}

#include "tools/record_writer.h"
#include "tools/stream_encoder.h"
#include "tools/synthetic_video.h"

namespace {

const char USAGE[] =
    "usage: zentrix-mkrec [options] OUTPUT\n"
    "Writes a recording file of synthetic video.\n"
    "  --channels LIST      channel numbers as shown to the user, 1-64 (default 1,2);\n"
    "                       LIST is like 1,3,5-8\n"
    "  --codecs LIST        codec types, given to the channels in turn (default 6):\n"
    "                       0 Motion JPEG, 1 H.263+, 2 4 5 10 MPEG-4, 6 8 9 11-15 H.264\n"
    "  --sizes LIST         picture sizes WxH; with several, each channel's time is\n"
    "                       split evenly between them (default 320x240)\n"
    "  --duration SECONDS   length of the recording (default 4)\n"
    "  --fps N              pictures per second of every channel (default 10)\n"
    "  --key-interval N     a key frame every N pictures (default: one a second)\n"
    "  --form plain|extended  record form (default extended); the plain form has\n"
    "                       codec types 0-2, channels 1-32 and the sizes 320x240,\n"
    "                       640x240 and 640x480 only\n"
    "  --layout mixed|short|long|ext  header blocks: short (168 bytes or fewer),\n"
    "                       long (version 1 with entries), ext (version 2 with\n"
    "                       extension, which alone names channels 33-64), or all\n"
    "                       of them in turn (default mixed)\n"
    "  --block-interval S   seconds between header blocks (default 1)\n"
    "  --start 'YYYY-MM-DD HH:MM:SS'  time of the first picture (default\n"
    "                       2009-03-07 08:05:00)\n"
    "  --gap START,LENGTH   no records from START for LENGTH seconds\n"
    "  --extras             add records of the other kinds to every stretch\n"
    "  --seed N             seed of the pictures (default 1)\n"
    "  --manifest FILE      list every header block and frame record written\n"
    "  --elementary PREFIX  also write each channel's frame data, unpadded, to\n"
    "                       PREFIX-chN.h264 (or .m4v, .mjpeg, .h263)\n"
    "  --quiet              print only the summary line\n";

struct Size {
  int width;
  int height;
};

struct Options {
  std::vector<int> channels{1, 2};  // 1-based
  std::vector<int> codecs{6};
  std::vector<Size> sizes{{320, 240}};
  int64_t durationMs = 4000;
  int fps = 10;
  int keyInterval = 0;
  bool extended = true;
  std::string layout = "mixed";
  int blockInterval = 1;
  int year = 2009, month = 3, day = 7, hour = 8, minute = 5, second = 0;
  int64_t gapStartMs = -1;
  int64_t gapLengthMs = 0;
  bool extras = false;
  uint32_t seed = 1;
  std::string manifest;
  std::string elementary;
  std::string output;
  bool quiet = false;
};

int Fail(const char* format, const char* detail) {
  fprintf(stderr, "zentrix-mkrec: ");
  fprintf(stderr, format, detail);
  fprintf(stderr, "\n");
  return 2;
}

bool ParseInt(const char* text, long low, long high, int* value) {
  char* end = nullptr;
  errno = 0;
  long v = strtol(text, &end, 10);
  if (errno || end == text || *end || v < low || v > high) return false;
  *value = (int)v;
  return true;
}

bool ParseSeconds(const char* text, int64_t* ms) {
  char* end = nullptr;
  errno = 0;
  double v = strtod(text, &end);
  if (errno || end == text || *end || v < 0 || v > 1e7) return false;
  *ms = (int64_t)(v * 1000.0 + 0.5);
  return true;
}

// "1,3,5-8"
bool ParseList(const char* text, long low, long high, std::vector<int>* out) {
  out->clear();
  std::string s(text);
  size_t at = 0;
  while (at <= s.size()) {
    size_t comma = s.find(',', at);
    std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t dash = item.find('-', 1);
    int first, last;
    if (dash == std::string::npos) {
      if (!ParseInt(item.c_str(), low, high, &first)) return false;
      last = first;
    } else if (!ParseInt(item.substr(0, dash).c_str(), low, high, &first) ||
               !ParseInt(item.substr(dash + 1).c_str(), low, high, &last) || last < first) {
      return false;
    }
    for (int v = first; v <= last; v++) out->push_back(v);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return !out->empty();
}

bool ParseSizes(const char* text, std::vector<Size>* out) {
  out->clear();
  std::string s(text);
  size_t at = 0;
  while (true) {
    size_t comma = s.find(',', at);
    std::string item = s.substr(at, comma == std::string::npos ? std::string::npos : comma - at);
    size_t x = item.find('x');
    Size size;
    if (x == std::string::npos || !ParseInt(item.substr(0, x).c_str(), 2, 2046, &size.width) ||
        !ParseInt(item.substr(x + 1).c_str(), 2, 2046, &size.height) || (size.width & 1) ||
        (size.height & 1)) {
      return false;
    }
    out->push_back(size);
    if (comma == std::string::npos) break;
    at = comma + 1;
  }
  return true;
}

bool ParseStart(const char* text, Options* o) {
  int n = sscanf(text, "%d-%d-%d%*[ T]%d:%d:%d", &o->year, &o->month, &o->day, &o->hour,
                 &o->minute, &o->second);
  return n == 6 && o->year > 1000 && o->year < 3000 && o->month >= 1 && o->month <= 12 &&
         o->day >= 1 && o->day <= 31 && o->hour >= 0 && o->hour < 24 && o->minute >= 0 &&
         o->minute < 60 && o->second >= 0 && o->second < 60;
}

// Returns 0, 1 when usage was printed, or 2 on a bad option.
int ParseOptions(int argc, char** argv, Options* o) {
  for (int i = 1; i < argc; i++) {
    std::string a = argv[i];
    auto value = [&](const char** v) {
      if (i + 1 >= argc) return false;
      *v = argv[++i];
      return true;
    };
    const char* v = nullptr;
    if (a == "-h" || a == "--help") {
      fputs(USAGE, stdout);
      return 1;
    } else if (a == "--extras") {
      o->extras = true;
    } else if (a == "--quiet") {
      o->quiet = true;
    } else if (a.rfind("--", 0) == 0) {
      if (!value(&v)) return Fail("%s needs a value", a.c_str());
      bool ok = true;
      if (a == "--channels") ok = ParseList(v, 1, 64, &o->channels);
      else if (a == "--codecs") ok = ParseList(v, 0, 15, &o->codecs);
      else if (a == "--sizes") ok = ParseSizes(v, &o->sizes);
      else if (a == "--duration") ok = ParseSeconds(v, &o->durationMs) && o->durationMs > 0;
      else if (a == "--fps") ok = ParseInt(v, 1, 120, &o->fps);
      else if (a == "--key-interval") ok = ParseInt(v, 1, 100000, &o->keyInterval);
      else if (a == "--form") {
        ok = !strcmp(v, "plain") || !strcmp(v, "extended");
        o->extended = !strcmp(v, "extended");
      } else if (a == "--layout") {
        o->layout = v;
        ok = o->layout == "mixed" || o->layout == "short" || o->layout == "long" ||
             o->layout == "ext";
      } else if (a == "--block-interval") ok = ParseInt(v, 1, 3600, &o->blockInterval);
      else if (a == "--start") ok = ParseStart(v, o);
      else if (a == "--gap") {
        std::string s(v);
        size_t comma = s.find(',');
        ok = comma != std::string::npos &&
             ParseSeconds(s.substr(0, comma).c_str(), &o->gapStartMs) &&
             ParseSeconds(s.substr(comma + 1).c_str(), &o->gapLengthMs);
      } else if (a == "--seed") {
        char* end = nullptr;
        unsigned long long s = strtoull(v, &end, 10);
        ok = end != v && !*end && s <= 0xFFFFFFFFull;
        o->seed = (uint32_t)s;
      } else if (a == "--manifest") o->manifest = v;
      else if (a == "--elementary") o->elementary = v;
      else return Fail("unknown option %s (see --help)", a.c_str());
      if (!ok) return Fail("bad value for %s (see --help)", a.c_str());
    } else if (o->output.empty()) {
      o->output = a;
    } else {
      return Fail("more than one output file: %s", a.c_str());
    }
  }
  if (o->output.empty()) return Fail("%s", "no output file given (see --help)");
  for (int c : o->codecs) {
    if (!StreamFormatName(c)) return Fail("codec type %s has no format", std::to_string(c).c_str());
  }
  if (!o->extended) {
    for (int c : o->codecs) {
      if (c > 2) return Fail("%s", "the plain form has codec types 0-2 only");
    }
    for (int ch : o->channels) {
      if (ch > 32) return Fail("%s", "the plain form has channels 1-32 only");
    }
    for (const Size& s : o->sizes) {
      bool known = (s.width == 320 && s.height == 240) || (s.width == 640 && s.height == 240) ||
                   (s.width == 640 && s.height == 480);
      if (!known) return Fail("%s", "the plain form has the sizes 320x240, 640x240, 640x480 only");
    }
  }
  return 0;
}

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = (unsigned)(y - era * 400);
  const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (int64_t)doe - 719468;
}

void CivilFromDays(int64_t z, int* y, int* m, int* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = (unsigned)(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = (int)(doy - (153 * mp + 2) / 5 + 1);
  *m = (int)(mp < 10 ? mp + 3 : mp - 9);
  *y = (int)(era * 400 + yoe + (*m <= 2));
}

struct DateTime {
  int year, month, day, hour, minute, second;
};

DateTime At(int64_t absoluteMs) {
  DateTime t;
  int64_t days = absoluteMs / 86400000;
  int64_t rest = absoluteMs % 86400000;
  CivilFromDays(days, &t.year, &t.month, &t.day);
  t.hour = (int)(rest / 3600000);
  t.minute = (int)(rest / 60000 % 60);
  t.second = (int)(rest / 1000 % 60);
  return t;
}

struct ChannelState {
  int number;  // 1-based
  int codecType;
  int codecMode;
  StreamEncoder* encoder = nullptr;
  Size size{0, 0};
  int frames = 0;
  int keys = 0;
  std::vector<Size> sizesUsed;
  FILE* elementary = nullptr;
};

struct PendingRecord {
  RecordHeader header;
  Bytes payload;  // without the padding
  bool pad;       // padded to the stretch's payload length
};

struct Writer {
  FILE* file = nullptr;
  FILE* manifest = nullptr;
  int64_t offset = 0;
  bool failed = false;
};

void Write(Writer* w, const void* data, size_t size) {
  if (size && fwrite(data, 1, size, w->file) != size) w->failed = true;
  w->offset += (int64_t)size;
}

uint32_t NextRandom(uint32_t* state) {
  *state ^= *state << 13;
  *state ^= *state >> 17;
  *state ^= *state << 5;
  return *state;
}

Bytes RandomBytes(uint32_t* state, size_t size) {
  Bytes b(size);
  for (size_t i = 0; i < size; i++) b[i] = (uint8_t)NextRandom(state);
  return b;
}

const char* ElementaryExtension(int codecType) {
  const char* format = StreamFormatName(codecType);
  if (!strcmp(format, "mpeg4")) return "m4v";
  if (!strcmp(format, "h263p")) return "h263";
  return format;
}

int SizeCode(const Size& s) {
  if (s.width == 320 && s.height == 240) return 1;
  if (s.width == 640 && s.height == 240) return 2;
  return 3;
}

int Run(const Options& o) {
  const int64_t startAbs =
      (DaysFromCivil(o.year, (unsigned)o.month, (unsigned)o.day) * 86400 + o.hour * 3600 +
       o.minute * 60 + o.second) * 1000;
  const int keyInterval = o.keyInterval ? o.keyInterval : o.fps;
  std::vector<ChannelState> channels;
  for (size_t i = 0; i < o.channels.size(); i++) {
    ChannelState c;
    c.number = o.channels[i];
    c.codecType = o.codecs[i % o.codecs.size()];
    // Extended records carry a 2-bit mode for the decoder; plain ones imply it.
    c.codecMode = o.extended ? (int)(i % 4) : 0;
    channels.push_back(c);
  }
  for (ChannelState& c : channels) {
    if (o.elementary.empty()) break;
    std::string path = o.elementary + "-ch" + std::to_string(c.number) + "." +
                       ElementaryExtension(c.codecType);
    c.elementary = fopen(path.c_str(), "wb");
    if (!c.elementary) {
      for (ChannelState& opened : channels) {
        if (opened.elementary) fclose(opened.elementary);
      }
      return Fail("cannot create %s", path.c_str());
    }
  }

  Writer w;
  auto closeElementary = [&channels]() {
    for (ChannelState& c : channels) {
      if (c.elementary) fclose(c.elementary);
      c.elementary = nullptr;
    }
  };
  w.file = fopen(o.output.c_str(), "wb");
  if (!w.file) {
    closeElementary();
    return Fail("cannot create %s", o.output.c_str());
  }
  if (!o.manifest.empty()) {
    w.manifest = fopen(o.manifest.c_str(), "w");
    if (!w.manifest) {
      closeElementary();
      fclose(w.file);
      return Fail("cannot create %s", o.manifest.c_str());
    }
  }

  const int64_t frameCount = (o.durationMs * o.fps + 999) / 1000;
  const int64_t intervalMs = (int64_t)o.blockInterval * 1000;
  const char* layouts[] = {"short", "long", "ext", "cut"};
  uint32_t random = o.seed * 2654435761u + 1;
  int blocks = 0;
  int64_t records = 0;
  int64_t totalFrames = 0;
  std::vector<uint8_t> picture;
  int64_t k = 0;
  int error = 0;

  for (int64_t stretch = 0; k < frameCount && !error; stretch++) {
    const int64_t stretchStart = stretch * intervalMs;
    const int64_t stretchEnd = stretchStart + intervalMs;
    std::vector<PendingRecord> pending;
    std::vector<std::string> frameLines;
    ChannelMask present = 0;
    uint16_t counts[128] = {};

    const DateTime blockTime = At(startAbs + stretchStart);
    const int64_t midnight = DaysFromCivil(blockTime.year, (unsigned)blockTime.month,
                                           (unsigned)blockTime.day) * 86400000;
    for (; k < frameCount; k++) {
      const int64_t t = k * 1000 / o.fps;
      if (t >= stretchEnd) break;
      if (o.gapStartMs >= 0 && t >= o.gapStartMs && t < o.gapStartMs + o.gapLengthMs) continue;
      const uint32_t timeOfDay = (uint32_t)(startAbs + t - midnight);
      const size_t part = (size_t)(t * (int64_t)o.sizes.size() / o.durationMs);
      const Size size = o.sizes[part < o.sizes.size() ? part : o.sizes.size() - 1];
      for (ChannelState& c : channels) {
        if (c.size.width != size.width || c.size.height != size.height) {
          StreamEncoderClose(c.encoder);
          c.encoder = StreamEncoderOpen(c.codecType, size.width, size.height, o.fps, keyInterval);
          if (!c.encoder) {
            fprintf(stderr, "zentrix-mkrec: cannot open a %s encoder for %dx%d\n",
                    StreamFormatName(c.codecType), size.width, size.height);
            error = 1;
            break;
          }
          c.size = size;
          c.sizesUsed.push_back(size);
        }
        picture.resize(PictureSize(size.width, size.height));
        DrawPattern(picture.data(), size.width, size.height, o.seed, c.number, (int)k);
        PendingRecord r;
        if (o.extended) {
          r.payload.resize(4);
          PutLe32(r.payload.data(),
                  MakeVideoPrefix((unsigned)c.codecType, (unsigned)c.codecMode,
                                  (unsigned)size.width, (unsigned)size.height));
        }
        int key = 0;
        if (StreamEncoderEncode(c.encoder, picture.data(), &r.payload, &key) < 0) {
          fprintf(stderr, "zentrix-mkrec: encoding failed\n");
          error = 1;
          break;
        }
        const unsigned kind = key ? RECORD_KEY_FRAME : RECORD_FRAME;
        if (c.elementary) {
          const size_t skip = o.extended ? 4 : 0;
          const size_t size = r.payload.size() - skip;
          if (fwrite(r.payload.data() + skip, 1, size, c.elementary) != size) w.failed = true;
        }
        r.pad = true;
        const unsigned ch0 = (unsigned)c.number - 1;
        r.header = o.extended
                       ? MakeExtendedHeader(kind, ch0, timeOfDay, 0)
                       : MakePlainHeader(kind, ch0, (unsigned)c.codecType,
                                         (unsigned)SizeCode(size), timeOfDay, 0);
        pending.push_back(r);
        present |= (ChannelMask)1 << ch0;
        counts[2 * ch0] = (uint16_t)(counts[2 * ch0] + 1);
        counts[2 * ch0 + 1] = 1;
        c.frames++;
        c.keys += key;
        char line[160];
        snprintf(line, sizeof line, "frame %d %" PRId64 " %u %d %d %d %u %d %d %d", c.number, k,
                 kind, c.codecType, size.width, size.height, timeOfDay, blockTime.year,
                 blockTime.month, blockTime.day);
        frameLines.push_back(line);
        if (o.extras && pending.size() == 1) {
          // Records of the other kinds, after the stretch's first frame.
          const unsigned first = (unsigned)channels[0].number - 1;
          const unsigned kinds[] = {2, 3, 5, 6, 7, 8};
          for (unsigned other : kinds) {
            PendingRecord x;
            x.pad = true;
            x.header = o.extended ? MakeExtendedHeader(other, first, timeOfDay, 0)
                                  : MakePlainHeader(other, first, 0, 1, timeOfDay, 0);
            x.payload = RandomBytes(&random, 16);
            if (o.extended && (other == 2 || other == 6 || other == 7)) {
              PutLe32(x.payload.data(), other == 2 ? (1u << 4) | (8000u << 10)
                                                   : MakeVideoPrefix(6, 0, 320, 240));
            }
            pending.push_back(x);
          }
          PendingRecord empty;
          empty.pad = false;
          empty.header = MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0, timeOfDay, 0);
          pending.push_back(empty);
          empty.header = o.extended ? MakeExtendedHeader(RECORD_FRAME, first, timeOfDay, 0)
                                    : MakePlainHeader(RECORD_FRAME, first, 0, 1, timeOfDay, 0);
          pending.push_back(empty);
        }
      }
      if (error) break;
    }
    if (error || pending.empty()) continue;

    uint32_t payloadLength = 0;
    for (const PendingRecord& r : pending) {
      if (r.pad && r.payload.size() > payloadLength) payloadLength = (uint32_t)r.payload.size();
    }
    if (payloadLength > 0x7FFFF) {
      fprintf(stderr, "zentrix-mkrec: a frame of %u bytes does not fit in a record\n",
              payloadLength);
      error = 1;
      break;
    }

    // The header block of the stretch.
    const char* layout = o.layout == "mixed" ? layouts[blocks % 4] : o.layout.c_str();
    HeaderBlockLayout fields;
    fields.skipLength = payloadLength;
    fields.blockTime = MakePackedTime((unsigned)blockTime.year, (unsigned)blockTime.month,
                                    (unsigned)blockTime.day, (unsigned)blockTime.hour,
                                    (unsigned)blockTime.minute, (unsigned)blockTime.second);
    fields.version = 1;
    fields.channels = present & 0xFFFFFFFFull;
    if (!strcmp(layout, "long") || !strcmp(layout, "ext")) {
      for (int i = 0; i < 64; i++) fields.baseCounts[i] = counts[i];
    }
    if (!strcmp(layout, "ext")) {
      fields.version = 2;
      fields.extension = true;
      fields.channels = present;
      for (int i = 0; i < 64; i++) fields.extensionCounts[i] = counts[64 + i];
    }
    Bytes block = MakeHeaderBlockPayload(fields);
    if (!strcmp(layout, "cut")) block.resize(48);  // the rest counts as zero
    RecordHeader blockHeader = MakePlainHeader(RECORD_HEADER_BLOCK, 0, 0, 0,
                                               (uint32_t)(startAbs + stretchStart - midnight),
                                               (uint32_t)block.size());
    if (w.manifest) {
      fprintf(w.manifest, "block %" PRId64 " %u %u %d %d %d %d %d %d %016" PRIx64 "\n", w.offset,
              (unsigned)block.size(), (unsigned)fields.version, blockTime.year, blockTime.month,
              blockTime.day, blockTime.hour, blockTime.minute, blockTime.second, fields.channels);
    }
    Write(&w, blockHeader.bytes, RECORD_HEADER_SIZE);
    Write(&w, block.data(), block.size());
    blocks++;
    records++;

    size_t frameLine = 0;
    for (PendingRecord& r : pending) {
      const uint32_t length = r.pad ? payloadLength : 0;
      // Patch the payload length into bits 0-18 of the header.
      uint32_t word = (uint32_t)r.header.bytes[0] | ((uint32_t)r.header.bytes[1] << 8) |
                      ((uint32_t)r.header.bytes[2] << 16) | ((uint32_t)r.header.bytes[3] << 24);
      PutLe32(r.header.bytes, (word & ~0x7FFFFu) | length);
      const unsigned kind = (r.header.bytes[8] >> 2) & 15;
      if (w.manifest && r.pad && kind <= RECORD_FRAME) {
        fprintf(w.manifest, "%s %u\n", frameLines[frameLine++].c_str(), length);
        totalFrames++;
      }
      Write(&w, r.header.bytes, RECORD_HEADER_SIZE);
      if (length) {
        r.payload.resize(length, 0);
        Write(&w, r.payload.data(), length);
      }
      records++;
    }
    if (!w.manifest) totalFrames += (int64_t)frameLines.size();
    if (w.failed) break;
  }

  for (ChannelState& c : channels) {
    StreamEncoderClose(c.encoder);
    if (c.elementary && fclose(c.elementary) != 0) w.failed = true;
  }
  if (fclose(w.file) != 0) w.failed = true;
  if (w.manifest && fclose(w.manifest) != 0) w.failed = true;
  if (w.failed) fprintf(stderr, "zentrix-mkrec: writing %s failed\n", o.output.c_str());
  if (!w.failed && !error && totalFrames == 0) {
    fprintf(stderr, "zentrix-mkrec: no frames were written (is the gap the whole recording?)\n");
  }
  if (w.failed || error || totalFrames == 0) {
    // No half-written recording is left behind (a device stays as it is).
    struct stat status;
    if (stat(o.output.c_str(), &status) == 0 && S_ISREG(status.st_mode)) remove(o.output.c_str());
    return 1;
  }

  const DateTime first = At(startAbs);
  const DateTime last = At(startAbs + (frameCount - 1) * 1000 / o.fps);
  printf("zentrix-mkrec: wrote %s: %" PRId64 " bytes, %d header blocks, %" PRId64
         " records, %" PRId64 " frames, %04d-%02d-%02d %02d:%02d:%02d to "
         "%04d-%02d-%02d %02d:%02d:%02d\n",
         o.output.c_str(), w.offset, blocks, records, totalFrames, first.year, first.month,
         first.day, first.hour, first.minute, first.second, last.year, last.month, last.day,
         last.hour, last.minute, last.second);
  if (!o.quiet) {
    for (const ChannelState& c : channels) {
      std::string sizes;
      for (const Size& s : c.sizesUsed) {
        if (!sizes.empty()) sizes += " then ";
        sizes += std::to_string(s.width) + "x" + std::to_string(s.height);
      }
      printf("  Channel %d: codec type %d (%s), %s, %d frames, %d key frames\n", c.number,
             c.codecType, StreamFormatName(c.codecType), sizes.c_str(), c.frames, c.keys);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);  // the encoders' statistics are not ours to print
  Options options;
  int parsed = ParseOptions(argc, argv, &options);
  if (parsed == 1) return 0;
  if (parsed != 0) return parsed;
  return Run(options);
}
