// The codec modules through their descriptors, as the program uses them: the
// program's acceptance checks, which module opens which codec type, tight
// planes and size refusal in the decoders, intra frames on key signs and the
// output bound in the encoder, and the quality of a whole transcode.
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "codecs/codec_interface.h"
#include "platform/platform.h"
#include "tools/stream_encoder.h"
#include "tools/synthetic_video.h"

namespace {

typedef std::vector<uint8_t> Picture;
const char* const FILES[] = {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"};
const int TAMBRIX = 2;
// The module (index into FILES) that serves each video codec type; -1: none.
const int MODULE_OF_TYPE[16] = {0, 1, 2, -1, 2, 2, 3, -1, 3, 3, 2, 3, 3, 3, 3, 3};

CodecOpenParams Params(int mode, int width, int height, int type, int format = 4, int rate = 0) {
  return CodecOpenParams{mode, width, height, format, rate, 0, type};
}

CodecOpenParams EncoderParams(int width, int height) { return Params(2, width, height, 5, 4, 30); }

struct SourceFrame {
  Bytes data;
  int key = 0;
  Picture picture;  // what was encoded
};

std::vector<SourceFrame> MakeStream(int type, int width, int height, int count, int keyInterval) {
  std::vector<SourceFrame> frames;
  StreamEncoder* encoder = StreamEncoderOpen(type, width, height, 10, keyInterval);
  EXPECT_NE(encoder, nullptr) << "no encoder for type " << type;
  for (int i = 0; encoder && i < count; i++) {
    SourceFrame& f = frames.emplace_back();
    f.picture.resize(PictureSize(width, height));
    DrawPattern(f.picture.data(), width, height, 7, type + 1, i);
    EXPECT_EQ(StreamEncoderEncode(encoder, f.picture.data(), &f.data, &f.key), 0);
  }
  if (encoder) StreamEncoderClose(encoder);
  return frames;
}

// A record in its decode view over a tight picture, as the exporter fills it.
CodecFrameParams DecodeRecord(const Bytes& data, int16_t sign, Picture* picture, int w, int h) {
  CodecFrameParams r;
  memset(&r, 0, sizeof r);
  uint8_t* p = picture->data();
  r.decode = {(int32_t)data.size(), data.data(), 0, 0, p, p + w * h, p + w * h * 5 / 4, 0, sign,
              0, 0};
  return r;
}

// Rewrites the record in its encode view, as the exporter does after a
// decode (the key-frame sign stays behind in the record), and encodes.
int32_t Encode(const CodecDescriptor* d, CodecHandle h, CodecFrameParams* r, int width, int height,
               uint8_t* output) {
  uint8_t* planes[3] = {r->decode.luma, r->decode.chromaU, r->decode.chromaV};
  r->encode.inputLength = width * height * 3 / 2;
  r->encode.luma = planes[0], r->encode.chromaU = planes[1], r->encode.chromaV = planes[2];
  r->encode.output = output;
  return d->Encode(h, r);
}

// The coding type of the first VOP of an MPEG-4 frame: 0 I, 1 P; -1 none.
int VopType(const uint8_t* data, int32_t size) {
  for (int32_t i = 0; i + 4 < size; i++)
    if (!data[i] && !data[i + 1] && data[i + 2] == 1 && data[i + 3] == 0xB6) return data[i + 4] >> 6;
  return -1;
}

class CodecModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    av_log_set_level(AV_LOG_FATAL);  // the damaged-input cases make the decoders complain
    for (const char* file : FILES) {
      const std::string path = std::string(ZENTRIX_BIN_DIR PATH_SEPARATOR) + file;
      modules.push_back(PlatformLoadModule(path.c_str()));
      ASSERT_NE(modules.back(), nullptr) << file;
      void* entry = PlatformModuleSymbol(modules.back(), "Initialize");
      ASSERT_NE(entry, nullptr) << file;
      descriptors.push_back(reinterpret_cast<CodecInitializeEntry>(entry)());
      ASSERT_NE(descriptors.back(), nullptr) << file;
    }
  }
  void TearDown() override {
    for (auto& close : closers) close();
    for (size_t i = 0; i < modules.size(); i++) {
      if (i < descriptors.size() && descriptors[i]->Shutdown) descriptors[i]->Shutdown();
      PlatformFreeModule(modules[i]);
    }
  }
  // Opens a decoder, or with encoder the encoder, that TearDown closes.
  CodecHandle Open(const CodecDescriptor* d, CodecOpenParams p, bool encoder = false) {
    CodecHandle h = encoder ? d->OpenEncoder(&p) : d->OpenDecoder(&p);
    if (h) closers.push_back([=] { (encoder ? d->CloseEncoder : d->CloseDecoder)(h); });
    return h;
  }
  const CodecDescriptor* ForType(int type) { return descriptors[MODULE_OF_TYPE[type]]; }
  std::vector<PlatformModule> modules;
  std::vector<const CodecDescriptor*> descriptors;
  std::vector<std::function<void()>> closers;
};

TEST_F(CodecModuleTest, DescriptorsPassTheProgramsChecksAndOpenExactlyTheirTypes) {
  for (size_t i = 0; i < descriptors.size(); i++) {
    const CodecDescriptor* d = descriptors[i];
    SCOPED_TRACE(FILES[i]);
    ASSERT_NE(d->signature, nullptr);
    EXPECT_TRUE(!memcmp(d->signature, "CODEC", 6) && d->checkMajor == 1 && d->checkMinor == 0 && d->infoText1 &&
                d->infoText2);
    ASSERT_TRUE(d->OpenEncoder && d->CloseEncoder && d->Encode && d->OpenDecoder &&
                d->CloseDecoder && d->Decode);
    for (int type = -1; type <= 16; type++) {
      const bool served = type >= 0 && type < 16 && MODULE_OF_TYPE[type] == (int)i;
      EXPECT_EQ(Open(d, Params(0, 320, 240, type)) != 0, served) << "type " << type;
    }
    // Only tambrix.dll encodes, and only type 5.
    EXPECT_EQ(Open(d, EncoderParams(320, 240), true) != 0, i == TAMBRIX);
    EXPECT_EQ(Open(d, Params(2, 320, 240, 2, 4, 30), true), 0u);
  }
  // Parameters outside their meaning: format, mode, odd, empty or too large
  // sides, a negative rate. A rate of 0 is taken as 30.
  const CodecDescriptor* t = descriptors[TAMBRIX];
  for (const CodecOpenParams& p : {Params(0, 320, 240, 2, 3), Params(4, 320, 240, 2), Params(-1, 320, 240, 2),
                                   Params(0, 321, 240, 2), Params(0, 320, 241, 2), Params(0, 0, 240, 2),
                                   Params(0, 320, -2, 2), Params(0, 8192, 240, 2)})
    EXPECT_EQ(Open(t, p), 0u) << "mode " << p.mode << " " << p.width << "x" << p.height << " format " << p.format;
  EXPECT_EQ(t->OpenDecoder(nullptr) + Open(t, Params(2, 320, 240, 5, 4, -1), true), 0u);
  EXPECT_NE(Open(t, Params(2, 320, 240, 5, 4, 0), true), 0u);
}

// Every decodable type: tight planes and nothing written past them, the same
// picture with the zeros that pad a record, and a frame of another size
// refused with the planes left as they were.
TEST_F(CodecModuleTest, DecodersFillTightPlanesAndRefuseAnotherSize) {
  const int w = 176, h = 144;
  for (int type : {0, 1, 2, 4, 5, 10, 6, 8, 9, 11, 12, 13, 14, 15}) {
    SCOPED_TRACE("codec type " + std::to_string(type));
    std::vector<SourceFrame> frames = MakeStream(type, w, h, 6, 3);
    ASSERT_EQ(frames.size(), 6u);
    ASSERT_TRUE(frames[0].key);
    const CodecDescriptor* d = ForType(type);
    const CodecOpenParams p = Params(type % 4, w, h, type);  // every mode 0 to 3 serves
    CodecHandle plain = Open(d, p), padded = Open(d, p), other = Open(d, Params(0, 320, 240, type));
    ASSERT_TRUE(plain && padded && other);
    for (size_t i = 0; i < frames.size(); i++) {
      Picture a(PictureSize(w, h) + 1, 0xA5), b(PictureSize(w, h) + 1, 0x5A);
      CodecFrameParams r = DecodeRecord(frames[i].data, frames[i].key ? 1 : -1, &a, w, h);
      ASSERT_EQ(d->Decode(plain, &r), w * h * 3 / 2);
      Bytes withZeros = frames[i].data;
      withZeros.resize(withZeros.size() + 3000, 0);
      r = DecodeRecord(withZeros, frames[i].key ? 1 : -1, &b, w, h);
      ASSERT_GT(d->Decode(padded, &r), 0);
      EXPECT_EQ(a.back(), 0xA5);
      a.pop_back(), b.pop_back();
      EXPECT_EQ(a, b) << "frame " << i;
      EXPECT_GT(PicturePsnr(a.data(), frames[i].picture.data(), a.size()), 30.0) << "frame " << i;
    }
    Picture untouched(PictureSize(320, 240), 0x33), picture = untouched;
    CodecFrameParams r = DecodeRecord(frames[0].data, 1, &picture, 320, 240);
    EXPECT_EQ(d->Decode(other, &r), 0);
    EXPECT_EQ(picture, untouched);
  }
}

TEST_F(CodecModuleTest, DamagedRecordsAndHandlesOfTheOtherKindAreRefused) {
  const CodecDescriptor *t = descriptors[TAMBRIX], *q = ForType(6);
  CodecHandle dec = Open(q, Params(0, 64, 48, 6)), enc = Open(t, EncoderParams(64, 48), true);
  ASSERT_TRUE(dec && enc);
  Picture picture(PictureSize(64, 48), 128), output(PictureSize(64, 48));
  const Bytes noise(2000, 0x5A), none;
  for (const Bytes* input : {&noise, &none}) {
    CodecFrameParams r = DecodeRecord(*input, 1, &picture, 64, 48);
    EXPECT_EQ(q->Decode(dec, &r), 0) << input->size() << " bytes";
    EXPECT_EQ(t->Decode(enc, &r), 0);
  }
  EXPECT_EQ(q->Decode(dec, nullptr), 0);
  // An encode view must describe its picture and have an output.
  CodecFrameParams r = DecodeRecord(none, 1, &picture, 64, 48);
  EXPECT_EQ(Encode(t, enc, &r, 64, 48, nullptr), 0);
  r.encode.output = output.data(), r.encode.inputLength = 64 * 48;
  EXPECT_EQ(t->Encode(enc, &r), 0);
  r.encode.inputLength = 64 * 48 * 3 / 2;
  EXPECT_GT(t->Encode(enc, &r), 0);
  EXPECT_EQ(t->Encode(0, &r), 0);
  EXPECT_EQ(q->Encode(dec, &r), 0);
}

TEST_F(CodecModuleTest, EncoderMakesIntraFramesExactlyOnKeySignsAndStaysWithinThePicture) {
  const CodecDescriptor* d = descriptors[TAMBRIX];
  CodecHandle enc = Open(d, EncoderParams(64, 48), true);
  CodecHandle small = Open(d, EncoderParams(16, 16), true);
  ASSERT_TRUE(enc && small);
  Picture picture(PictureSize(64, 48)), output(PictureSize(64, 48));
  // Past 600 frames (where the encoder would start a GOP of its own), across
  // abrupt picture changes (where it would see a scene change), and a last
  // sign that is neither +1 nor -1.
  for (int i = 0; i <= 700; i++) {
    const int16_t sign = i == 700 ? 0 : i == 0 || i == 3 || i == 650 ? 1 : -1;
    DrawPattern(picture.data(), 64, 48, (uint32_t)(i / 50), 1, i);
    CodecFrameParams r = DecodeRecord(Bytes(), sign, &picture, 64, 48);
    int32_t n = Encode(d, enc, &r, 64, 48, output.data());
    ASSERT_GT(n, 0) << "frame " << i;
    ASSERT_EQ(VopType(output.data(), n), sign == 1 ? 0 : 1) << "frame " << i;
  }
  // Noise does not compress: its intra frame is larger than a 16 x 16
  // picture, so the encoder refuses rather than write past the bound.
  Picture noise(PictureSize(16, 16)), guarded(PictureSize(16, 16) + 64, 0xEE);
  uint32_t x = 12345;
  for (uint8_t& v : noise) v = (uint8_t)((x = x * 1103515245u + 12345u) >> 16);
  CodecFrameParams r = DecodeRecord(Bytes(), 1, &noise, 16, 16);
  EXPECT_EQ(Encode(d, small, &r, 16, 16, guarded.data()), 0);
  EXPECT_EQ(guarded, Picture(PictureSize(16, 16) + 64, 0xEE));
}

// Decode with the recording's module, encode with type 5 in the same record,
// decode the result with the MPEG-4 decoder: the source's key frames, and at
// least 35 dB against the decoded source at 640 x 480.
TEST_F(CodecModuleTest, TranscodeAt640x480KeepsKeyFramesAndQuality) {
  const int w = 640, h = 480, count = 12;
  const CodecDescriptor* mpeg4 = descriptors[TAMBRIX];
  for (int type : {6, 0, 2}) {
    SCOPED_TRACE("codec type " + std::to_string(type));
    std::vector<SourceFrame> frames = MakeStream(type, w, h, count, 5);
    ASSERT_EQ(frames.size(), (size_t)count);
    const CodecDescriptor* source = ForType(type);
    CodecHandle dec = Open(source, Params(0, w, h, type)), check = Open(mpeg4, Params(0, w, h, 2));
    CodecHandle enc = Open(mpeg4, EncoderParams(w, h), true);
    ASSERT_TRUE(dec && enc && check);
    double sum = 0, worst = 99;
    size_t bytes = 0;
    for (const SourceFrame& f : frames) {
      Picture decoded(PictureSize(w, h)), output(PictureSize(w, h)), result(PictureSize(w, h));
      CodecFrameParams r = DecodeRecord(f.data, f.key ? 1 : -1, &decoded, w, h);
      ASSERT_GT(source->Decode(dec, &r), 0);
      int32_t n = Encode(mpeg4, enc, &r, w, h, output.data());
      ASSERT_GT(n, 0);
      EXPECT_EQ(VopType(output.data(), n), f.key ? 0 : 1);
      bytes += (size_t)n;
      const Bytes coded(output.begin(), output.begin() + n);
      r = DecodeRecord(coded, 1, &result, w, h);
      ASSERT_GT(mpeg4->Decode(check, &r), 0);
      const double psnr = PicturePsnr(result.data(), decoded.data(), result.size());
      sum += psnr;
      worst = std::min(worst, psnr);
    }
    printf("[ quality  ] type %d source, 640x480: mean PSNR %.2f dB, lowest %.2f dB, "
           "%.0f kbit/s at 30 frames/s\n",
           type, sum / count, worst, bytes * 8.0 * 30 / count / 1000);
    EXPECT_GE(worst, 35.0);
  }
}

}  // namespace
