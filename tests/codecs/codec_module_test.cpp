// The codec modules through their descriptors, as the program uses them:
// the program's acceptance checks, which module opens which codec type, the
// decoders' tight planes and size refusal, the encoder's intra frames on key
// signs and its output bound, and the quality of a whole transcode.
#include <gtest/gtest.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/log.h>
}

#include <cstring>
#include <string>
#include <vector>

#include "codecs/codec_interface.h"
#include "platform/platform.h"
#include "tools/stream_encoder.h"
#include "tools/synthetic_video.h"

namespace {

const char* const MODULE_FILES[] = {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"};

// Which module file serves each video codec type (null: none).
const char* ModuleOfType(int type) {
  static const char* const table[16] = {
      "ravex.dll",   "sorvel.dll",  "tambrix.dll", nullptr,       "tambrix.dll", "tambrix.dll",
      "quonix.dll",  nullptr,       "quonix.dll",  "quonix.dll",  "tambrix.dll", "quonix.dll",
      "quonix.dll",  "quonix.dll",  "quonix.dll",  "quonix.dll"};
  return table[type];
}

struct Loaded {
  PlatformModule module = nullptr;
  CodecDescriptor* descriptor = nullptr;
};

Loaded Load(const char* file) {
  Loaded loaded;
  std::string path = std::string(ZENTRIX_BIN_DIR) + PATH_SEPARATOR + file;
  loaded.module = PlatformLoadModule(path.c_str());
  if (!loaded.module) return loaded;
  CodecInitializeEntry initialize =
      reinterpret_cast<CodecInitializeEntry>(PlatformModuleSymbol(loaded.module, "Initialize"));
  if (initialize) loaded.descriptor = initialize();
  return loaded;
}

CodecOpenParams Params(int mode, int width, int height, int format, int rate, int type) {
  CodecOpenParams p = {};
  p.mode = mode;
  p.width = width;
  p.height = height;
  p.format = format;
  p.rate = rate;
  p.codecType = type;
  return p;
}

CodecOpenParams DecoderParams(int type, int width, int height) {
  return Params(0, width, height, 4, 0, type);
}

CodecOpenParams EncoderParams(int width, int height) {
  return Params(2, width, height, 4, 30, 5);
}

struct SourceFrame {
  Bytes data;
  int key = 0;
  std::vector<uint8_t> picture;  // what was encoded
};

std::vector<SourceFrame> MakeStream(int type, int width, int height, int count, int keyInterval) {
  std::vector<SourceFrame> frames;
  StreamEncoder* encoder = StreamEncoderOpen(type, width, height, 10, keyInterval);
  EXPECT_NE(encoder, nullptr) << "no encoder for type " << type;
  if (!encoder) return frames;
  for (int i = 0; i < count; i++) {
    SourceFrame f;
    f.picture.resize(PictureSize(width, height));
    DrawPattern(f.picture.data(), width, height, 7, type + 1, i);
    EXPECT_EQ(StreamEncoderEncode(encoder, f.picture.data(), &f.data, &f.key), 0);
    frames.push_back(f);
  }
  StreamEncoderClose(encoder);
  return frames;
}

// Fills the record's decode view as the exporter does and decodes.
int32_t DecodeInto(const CodecDescriptor* d, CodecHandle h, const Bytes& data, int key,
                   std::vector<uint8_t>* picture, int width, int height,
                   CodecFrameParams* record) {
  memset(record, 0, sizeof *record);
  record->decode.inputLength = (int32_t)data.size();
  record->decode.inputData = data.data();
  record->decode.luma = picture->data();
  record->decode.chromaU = record->decode.luma + width * height;
  record->decode.chromaV = record->decode.chromaU + width * height / 4;
  record->decode.keyFrameSign = key ? 1 : -1;
  return d->Decode(h, record);
}

// Rewrites the same record in its encode view, as the exporter does, and
// encodes into output.
int32_t EncodeFrom(const CodecDescriptor* d, CodecHandle h, CodecFrameParams* record, int width,
                   int height, std::vector<uint8_t>* output) {
  uint8_t* luma = record->decode.luma;
  uint8_t* chromaU = record->decode.chromaU;
  uint8_t* chromaV = record->decode.chromaV;
  record->encode.inputLength = width * height * 3 / 2;
  record->encode.luma = luma;
  record->encode.chromaU = chromaU;
  record->encode.chromaV = chromaV;
  record->encode.output = output->data();
  return d->Encode(h, record);
}

// Encodes one picture with the given key-frame sign left in the record.
int32_t EncodePicture(const CodecDescriptor* d, CodecHandle h, std::vector<uint8_t>* picture,
                      int width, int height, int16_t sign, std::vector<uint8_t>* output) {
  CodecFrameParams record;
  memset(&record, 0, sizeof record);
  record.decode.luma = picture->data();
  record.decode.chromaU = record.decode.luma + width * height;
  record.decode.chromaV = record.decode.chromaU + width * height / 4;
  record.decode.keyFrameSign = sign;
  return EncodeFrom(d, h, &record, width, height, output);
}

// The coding type of the first VOP in an MPEG-4 frame: 0 I, 1 P, 2 B, 3 S;
// -1 without a VOP start code.
int VopType(const uint8_t* data, int32_t size) {
  for (int32_t i = 0; i + 4 < size; i++) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] == 0xB6) {
      return data[i + 4] >> 6;
    }
  }
  return -1;
}

// Decodes MPEG-4 frames with libavcodec into tight pictures.
std::vector<std::vector<uint8_t>> DecodeMpeg4(const std::vector<Bytes>& frames, int width,
                                             int height) {
  std::vector<std::vector<uint8_t>> pictures;
  const AVCodec* codec = avcodec_find_decoder(AV_CODEC_ID_MPEG4);
  AVCodecContext* c = avcodec_alloc_context3(codec);
  c->thread_count = 1;
  c->flags |= AV_CODEC_FLAG_LOW_DELAY;
  EXPECT_EQ(avcodec_open2(c, codec, nullptr), 0);
  AVPacket* packet = av_packet_alloc();
  AVFrame* frame = av_frame_alloc();
  for (const Bytes& data : frames) {
    packet->data = const_cast<uint8_t*>(data.data());
    packet->size = (int)data.size();
    EXPECT_EQ(avcodec_send_packet(c, packet), 0);
    while (avcodec_receive_frame(c, frame) == 0) {
      std::vector<uint8_t> p(PictureSize(width, height));
      uint8_t* planes[3] = {p.data(), p.data() + width * height,
                            p.data() + width * height + width * height / 4};
      for (int plane = 0; plane < 3; plane++) {
        int w = plane ? width / 2 : width;
        int h = plane ? height / 2 : height;
        for (int y = 0; y < h; y++) {
          memcpy(planes[plane] + y * w, frame->data[plane] + y * frame->linesize[plane], w);
        }
      }
      pictures.push_back(p);
      av_frame_unref(frame);
    }
  }
  av_frame_free(&frame);
  av_packet_free(&packet);
  avcodec_free_context(&c);
  return pictures;
}

class CodecModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_FATAL);  // the damaged-input cases make the decoders complain
    for (const char* file : MODULE_FILES) {
      Loaded l = Load(file);
      ASSERT_NE(l.module, nullptr) << file;
      ASSERT_NE(l.descriptor, nullptr) << file;
      modules.push_back(l);
    }
  }
  void TearDown() override {
    for (Loaded& l : modules) {
      if (l.descriptor && l.descriptor->Shutdown) l.descriptor->Shutdown();
      PlatformFreeModule(l.module);
    }
  }
  const CodecDescriptor* Module(const char* file) {
    for (size_t i = 0; i < modules.size(); i++) {
      if (!strcmp(MODULE_FILES[i], file)) return modules[i].descriptor;
    }
    return nullptr;
  }
  const CodecDescriptor* ForType(int type) { return Module(ModuleOfType(type)); }
  std::vector<Loaded> modules;
};

TEST_F(CodecModuleTest, DescriptorsPassTheProgramsChecks) {
  for (size_t i = 0; i < modules.size(); i++) {
    const CodecDescriptor* d = modules[i].descriptor;
    SCOPED_TRACE(MODULE_FILES[i]);
    ASSERT_NE(d->signature, nullptr);
    EXPECT_EQ(memcmp(d->signature, "CODEC", 6), 0);
    EXPECT_EQ(d->checkMajor, 1);
    EXPECT_EQ(d->checkMinor, 0);
    EXPECT_NE(d->infoText1, nullptr);
    EXPECT_NE(d->infoText2, nullptr);
    EXPECT_TRUE(d->OpenEncoder && d->CloseEncoder && d->Encode && d->OpenDecoder &&
                d->CloseDecoder && d->Decode);
  }
}

TEST_F(CodecModuleTest, EachModuleOpensExactlyTheTypesOfItsTableEntries) {
  for (int type = 0; type < 16; type++) {
    for (size_t i = 0; i < modules.size(); i++) {
      const CodecDescriptor* d = modules[i].descriptor;
      CodecOpenParams p = DecoderParams(type, 320, 240);
      CodecHandle h = d->OpenDecoder(&p);
      const bool served = ModuleOfType(type) && !strcmp(ModuleOfType(type), MODULE_FILES[i]);
      EXPECT_EQ(h != 0, served) << MODULE_FILES[i] << " type " << type;
      if (h) d->CloseDecoder(h);
    }
  }
  // Only tambrix.dll encodes, and only type 5.
  for (size_t i = 0; i < modules.size(); i++) {
    const CodecDescriptor* d = modules[i].descriptor;
    CodecOpenParams p = EncoderParams(320, 240);
    CodecHandle h = d->OpenEncoder(&p);
    EXPECT_EQ(h != 0, !strcmp(MODULE_FILES[i], "tambrix.dll")) << MODULE_FILES[i];
    if (h) d->CloseEncoder(h);
  }
  CodecOpenParams other = Params(2, 320, 240, 4, 30, 2);
  EXPECT_EQ(Module("tambrix.dll")->OpenEncoder(&other), 0u);
}

TEST_F(CodecModuleTest, OpenRefusesParametersOutsideTheirMeaning) {
  const CodecDescriptor* d = Module("tambrix.dll");
  const CodecOpenParams refused[] = {
      Params(0, 320, 240, 3, 0, 2),    // a picture format other than 4
      Params(4, 320, 240, 4, 0, 2),    // a mode above 3
      Params(-1, 320, 240, 4, 0, 2),   // a negative mode
      Params(0, 321, 240, 4, 0, 2),    // odd width
      Params(0, 320, 241, 4, 0, 2),    // odd height
      Params(0, 0, 240, 4, 0, 2),      // no width
      Params(0, 320, -2, 4, 0, 2),     // negative height
      Params(0, 8192, 240, 4, 0, 2),   // beyond the largest side
      Params(0, 320, 240, 4, 0, 16),   // no such codec type
      Params(0, 320, 240, 4, 0, -1),
  };
  for (const CodecOpenParams& p : refused) {
    EXPECT_EQ(d->OpenDecoder(&p), 0u) << p.mode << " " << p.width << "x" << p.height << " "
                                      << p.format << " " << p.codecType;
  }
  EXPECT_EQ(d->OpenDecoder(nullptr), 0u);
  CodecOpenParams badRate = Params(2, 320, 240, 4, -1, 5);
  EXPECT_EQ(d->OpenEncoder(&badRate), 0u);
  CodecOpenParams noRate = Params(2, 320, 240, 4, 0, 5);
  CodecHandle h = d->OpenEncoder(&noRate);
  EXPECT_NE(h, 0u);
  if (h) d->CloseEncoder(h);
}

TEST_F(CodecModuleTest, DecodersFillTightPlanesAndIgnoreTrailingZeros) {
  const int w = 176, h = 144;
  for (int type : {0, 1, 2, 4, 5, 10, 6, 8, 9, 11, 12, 13, 14, 15}) {
    SCOPED_TRACE("codec type " + std::to_string(type));
    std::vector<SourceFrame> frames = MakeStream(type, w, h, 6, 3);
    ASSERT_EQ(frames.size(), 6u);
    ASSERT_TRUE(frames[0].key);
    const CodecDescriptor* d = ForType(type);
    CodecOpenParams p = Params(type % 4, w, h, 4, 0, type);
    CodecHandle plain = d->OpenDecoder(&p);
    CodecHandle padded = d->OpenDecoder(&p);
    ASSERT_NE(plain, 0u);
    ASSERT_NE(padded, 0u);
    for (size_t i = 0; i < frames.size(); i++) {
      // One byte past the picture shows that nothing is written beyond it.
      std::vector<uint8_t> a(PictureSize(w, h) + 1, 0xA5);
      std::vector<uint8_t> b(PictureSize(w, h) + 1, 0x5A);
      CodecFrameParams record;
      ASSERT_EQ(DecodeInto(d, plain, frames[i].data, frames[i].key, &a, w, h, &record),
                w * h * 3 / 2);
      Bytes withZeros = frames[i].data;
      withZeros.resize(withZeros.size() + 3000, 0);
      ASSERT_GT(DecodeInto(d, padded, withZeros, frames[i].key, &b, w, h, &record), 0);
      EXPECT_EQ(a.back(), 0xA5);
      a.pop_back();
      b.pop_back();
      EXPECT_EQ(a, b) << "frame " << i;
      double psnr = PicturePsnr(a.data(), frames[i].picture.data(), a.size());
      EXPECT_GT(psnr, 30.0) << "frame " << i;
    }
    d->CloseDecoder(plain);
    d->CloseDecoder(padded);
  }
}

TEST_F(CodecModuleTest, DecoderRefusesAPictureOfAnotherSizeAndLeavesThePlanes) {
  for (int type : {0, 1, 2, 6}) {
    SCOPED_TRACE("codec type " + std::to_string(type));
    std::vector<SourceFrame> frames = MakeStream(type, 176, 144, 1, 1);
    ASSERT_EQ(frames.size(), 1u);
    const CodecDescriptor* d = ForType(type);
    CodecOpenParams p = DecoderParams(type, 320, 240);
    CodecHandle h = d->OpenDecoder(&p);
    ASSERT_NE(h, 0u);
    std::vector<uint8_t> picture(PictureSize(320, 240), 0x33);
    CodecFrameParams record;
    EXPECT_EQ(DecodeInto(d, h, frames[0].data, 1, &picture, 320, 240, &record), 0);
    EXPECT_EQ(picture, std::vector<uint8_t>(PictureSize(320, 240), 0x33));
    d->CloseDecoder(h);
  }
}

TEST_F(CodecModuleTest, DecodeRefusesEmptyDamagedAndForeignInput) {
  const CodecDescriptor* d = ForType(6);
  CodecOpenParams p = DecoderParams(6, 176, 144);
  CodecHandle h = d->OpenDecoder(&p);
  ASSERT_NE(h, 0u);
  std::vector<uint8_t> picture(PictureSize(176, 144));
  CodecFrameParams record;
  EXPECT_EQ(DecodeInto(d, h, Bytes(), 1, &picture, 176, 144, &record), 0);
  Bytes noise(2000);
  for (size_t i = 0; i < noise.size(); i++) noise[i] = (uint8_t)(i * 37 + 11);
  EXPECT_EQ(DecodeInto(d, h, noise, 1, &picture, 176, 144, &record), 0);
  record.decode.inputData = nullptr;
  record.decode.inputLength = 10;
  EXPECT_EQ(d->Decode(h, &record), 0);
  EXPECT_EQ(d->Decode(h, nullptr), 0);
  // A handle of the other kind is not mistaken for a decoder.
  const CodecDescriptor* t = Module("tambrix.dll");
  CodecOpenParams e = EncoderParams(176, 144);
  CodecHandle encoder = t->OpenEncoder(&e);
  ASSERT_NE(encoder, 0u);
  EXPECT_EQ(t->Decode(encoder, &record), 0);
  EXPECT_EQ(t->CloseDecoder(encoder), 0);
  t->CloseEncoder(encoder);
  d->CloseDecoder(h);
  EXPECT_EQ(d->CloseDecoder(0), 0);
}

TEST_F(CodecModuleTest, EncoderMakesIntraFramesExactlyWhereTheKeySignIsPlusOne) {
  const int w = 64, h = 48;
  const CodecDescriptor* d = Module("tambrix.dll");
  CodecOpenParams p = EncoderParams(w, h);
  CodecHandle enc = d->OpenEncoder(&p);
  ASSERT_NE(enc, 0u);
  std::vector<uint8_t> picture(PictureSize(w, h));
  std::vector<uint8_t> output(PictureSize(w, h));
  // Past 600 frames (where the encoder would start a GOP of its own) and
  // across abrupt picture changes (where it would see a scene change).
  for (int i = 0; i < 700; i++) {
    const bool key = i == 0 || i == 3 || i == 650;
    DrawPattern(picture.data(), w, h, (uint32_t)(i / 50), 1, i);
    int32_t n = EncodePicture(d, enc, &picture, w, h, key ? 1 : -1, &output);
    ASSERT_GT(n, 0) << "frame " << i;
    ASSERT_EQ(VopType(output.data(), n), key ? 0 : 1) << "frame " << i;
  }
  // A sign that is neither +1 nor -1 makes no intra frame either.
  int32_t n = EncodePicture(d, enc, &picture, w, h, 0, &output);
  ASSERT_GT(n, 0);
  EXPECT_EQ(VopType(output.data(), n), 1);
  d->CloseEncoder(enc);
}

TEST_F(CodecModuleTest, EncoderNeverWritesBeyondThePictureSize) {
  // Noise does not compress: its intra frame would be larger than the
  // 16 x 16 picture itself.
  const int w = 16, h = 16;
  const CodecDescriptor* d = Module("tambrix.dll");
  CodecOpenParams p = EncoderParams(w, h);
  CodecHandle enc = d->OpenEncoder(&p);
  ASSERT_NE(enc, 0u);
  std::vector<uint8_t> picture(PictureSize(w, h));
  uint32_t x = 12345;
  for (uint8_t& v : picture) {
    x = x * 1103515245u + 12345u;
    v = (uint8_t)(x >> 16);
  }
  const size_t bound = PictureSize(w, h);
  std::vector<uint8_t> output(bound + 64, 0xEE);
  EXPECT_EQ(EncodePicture(d, enc, &picture, w, h, 1, &output), 0);
  EXPECT_EQ(std::vector<uint8_t>(output.begin(), output.end()),
            std::vector<uint8_t>(bound + 64, 0xEE));
  d->CloseEncoder(enc);
}

TEST_F(CodecModuleTest, EncodeRefusesARecordThatDoesNotDescribeItsPicture) {
  const int w = 64, h = 48;
  const CodecDescriptor* d = Module("tambrix.dll");
  CodecOpenParams p = EncoderParams(w, h);
  CodecHandle enc = d->OpenEncoder(&p);
  ASSERT_NE(enc, 0u);
  std::vector<uint8_t> picture(PictureSize(w, h), 128);
  std::vector<uint8_t> output(PictureSize(w, h));
  CodecFrameParams record;
  memset(&record, 0, sizeof record);
  record.encode.luma = picture.data();
  record.encode.chromaU = picture.data() + w * h;
  record.encode.chromaV = picture.data() + w * h * 5 / 4;
  record.encode.output = output.data();
  record.encode.inputLength = w * h;  // not width x height x 3 / 2
  EXPECT_EQ(d->Encode(enc, &record), 0);
  record.encode.inputLength = w * h * 3 / 2;
  record.encode.output = nullptr;
  EXPECT_EQ(d->Encode(enc, &record), 0);
  record.encode.output = output.data();
  EXPECT_GT(d->Encode(enc, &record), 0);
  EXPECT_EQ(d->Encode(0, &record), 0);
  // A decoder handle is not taken for an encoder.
  CodecOpenParams dp = DecoderParams(2, w, h);
  CodecHandle dec = d->OpenDecoder(&dp);
  ASSERT_NE(dec, 0u);
  EXPECT_EQ(d->Encode(dec, &record), 0);
  EXPECT_EQ(d->CloseEncoder(dec), 0);
  d->CloseDecoder(dec);
  d->CloseEncoder(enc);
}

// Decode with the recording's module, encode with type 5 in the same
// record, decode the result: the output keeps the source's key frames and at
// least 35 dB against the decoded source at 640 x 480.
TEST_F(CodecModuleTest, TranscodeAt640x480KeepsKeyFramesAndQuality) {
  const int w = 640, h = 480, count = 12;
  for (int type : {6, 0, 2}) {
    SCOPED_TRACE("codec type " + std::to_string(type));
    std::vector<SourceFrame> frames = MakeStream(type, w, h, count, 5);
    ASSERT_EQ(frames.size(), (size_t)count);
    const CodecDescriptor* dd = ForType(type);
    const CodecDescriptor* ed = Module("tambrix.dll");
    CodecOpenParams dp = DecoderParams(type, w, h);
    CodecOpenParams ep = EncoderParams(w, h);
    CodecHandle dec = dd->OpenDecoder(&dp);
    CodecHandle enc = ed->OpenEncoder(&ep);
    ASSERT_NE(dec, 0u);
    ASSERT_NE(enc, 0u);
    std::vector<std::vector<uint8_t>> decoded;
    std::vector<Bytes> encoded;
    size_t bytes = 0;
    for (const SourceFrame& f : frames) {
      std::vector<uint8_t> picture(PictureSize(w, h));
      std::vector<uint8_t> output(PictureSize(w, h));
      CodecFrameParams record;
      ASSERT_GT(DecodeInto(dd, dec, f.data, f.key, &picture, w, h, &record), 0);
      int32_t n = EncodeFrom(ed, enc, &record, w, h, &output);
      ASSERT_GT(n, 0);
      EXPECT_EQ(VopType(output.data(), n), f.key ? 0 : 1);
      decoded.push_back(picture);
      encoded.push_back(Bytes(output.begin(), output.begin() + n));
      bytes += (size_t)n;
    }
    dd->CloseDecoder(dec);
    ed->CloseEncoder(enc);
    std::vector<std::vector<uint8_t>> result = DecodeMpeg4(encoded, w, h);
    ASSERT_EQ(result.size(), decoded.size());
    double sum = 0, worst = 99;
    for (size_t i = 0; i < result.size(); i++) {
      double psnr = PicturePsnr(result[i].data(), decoded[i].data(), result[i].size());
      sum += psnr;
      worst = psnr < worst ? psnr : worst;
    }
    const double kbits = (double)bytes * 8 * 30 / count / 1000;
    printf("[ quality  ] type %d source, 640x480: mean PSNR %.2f dB, lowest %.2f dB, "
           "%.0f kbit/s at 30 frames/s\n",
           type, sum / count, worst, kbits);
    RecordProperty("psnr_type_" + std::to_string(type), std::to_string(sum / count));
    EXPECT_GE(worst, 35.0);
  }
}

}  // namespace
