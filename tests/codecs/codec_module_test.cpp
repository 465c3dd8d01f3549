// The codec modules through the descriptors that the program's module cache gives, as the program uses them
// (the end-to-end tests transcode every codec type).
#include <gtest/gtest.h>

extern "C" {
#include <libavutil/log.h>
}

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "export/codec_modules.h"
#include "tools/stream_encoder.h"
#include "tools/synthetic_video.h"

namespace {

typedef std::vector<uint8_t> Picture;
// The module that serves each codec type: 0 ravex, 1 sorvel, 2 tambrix, 3 quonix, -1 none.
const int MODULE_OF_TYPE[16] = {0, 1, 2, -1, 2, 2, 3, -1, 3, 3, 2, 3, 3, 3, 3, 3};

CodecOpenParams Params(int mode, int width, int height, int type, int format = 4, int rate = 0) {
  return CodecOpenParams{mode, width, height, format, rate, 0, type};
}

// A record in its decode view over a tight picture, as the exporter fills it.
CodecFrameParams DecodeRecord(const Bytes& data, int16_t sign, Picture* picture, int w, int h) {
  CodecFrameParams r{};  // all of it zero
  uint8_t* p = picture->data();
  r.decode = {(int32_t)data.size(), data.data(), 0, 0, p, p + w * h, p + w * h * 5 / 4, 0, sign, 0, 0};
  return r;
}

// Rewrites the record in its encode view as the exporter does (the key sign stays behind), and encodes.
int32_t Encode(const CodecDescriptor* d, CodecHandle h, CodecFrameParams* r, int32_t length, uint8_t* output) {
  const CodecDecodeView view = r->decode;
  r->encode.inputLength = length, r->encode.output = output;
  r->encode.luma = view.luma, r->encode.chromaU = view.chromaU, r->encode.chromaV = view.chromaV;
  return d->Encode(h, r);
}

class CodecModuleTest : public ::testing::Test {
 protected:
  std::vector<std::function<void()>> closers;
  void SetUp() override {
    av_log_set_level(AV_LOG_FATAL);  // the damaged-input cases make the decoders complain
    CodecModulesInit();  // the modules beside this program
  }
  void TearDown() override {
    for (auto& close : closers) close();
    CodecModulesRelease();
  }
  // Opens a decoder, or with encoder the encoder, that TearDown closes.
  CodecHandle Open(const CodecDescriptor* d, CodecOpenParams p, bool encoder = false) {
    CodecHandle h = encoder ? d->OpenEncoder(&p) : d->OpenDecoder(&p);
    if (h) closers.push_back([=] { (encoder ? d->CloseEncoder : d->CloseDecoder)(h); });
    return h;
  }
};

// Each module passes the program's checks and opens decoders of exactly its types; only tambrix.dll
// encodes, only type 5. Refused: parameters outside their meaning (format, mode, odd, empty or too large
// sides, a negative rate; 0 is 30), damaged or empty records, encode views without their picture or
// output, handles of the other kind.
TEST_F(CodecModuleTest, DescriptorsOpenExactlyTheirTypesAndRefuseWhatIsOutsideTheirMeaning) {
  for (int served : {0, 1, 2, 6}) {  // a type of each module
    const CodecDescriptor* d = GetVideoCodec(served);
    SCOPED_TRACE("the module of type " + std::to_string(served));
    ASSERT_TRUE(d && d->OpenEncoder && d->CloseEncoder && d->Encode && d->OpenDecoder && d->CloseDecoder && d->Decode);
    for (int type = -1; type <= 16; type++)
      EXPECT_EQ(Open(d, Params(0, 320, 240, type)) != 0,
                type >= 0 && type < 16 && MODULE_OF_TYPE[type] == MODULE_OF_TYPE[served]) << "type " << type;
    EXPECT_EQ(Open(d, Params(2, 320, 240, 5, 4, 30), true) != 0, served == 2);
    EXPECT_EQ(Open(d, Params(2, 320, 240, 2, 4, 30), true), 0u);
  }
  const CodecDescriptor *t = GetVideoCodec(5), *q = GetVideoCodec(6);
  for (const CodecOpenParams& p : {Params(0, 320, 240, 2, 3), Params(4, 320, 240, 2), Params(-1, 320, 240, 2),
                                   Params(0, 321, 240, 2), Params(0, 320, 241, 2), Params(0, 0, 240, 2),
                                   Params(0, 320, -2, 2), Params(0, 8192, 240, 2)})
    EXPECT_EQ(Open(t, p), 0u) << "mode " << p.mode << " " << p.width << "x" << p.height << " format " << p.format;
  EXPECT_EQ(t->OpenDecoder(nullptr) + Open(t, Params(2, 320, 240, 5, 4, -1), true), 0u);
  CodecHandle dec = Open(q, Params(0, 64, 48, 6)), enc = Open(t, Params(2, 64, 48, 5, 4, 0), true);
  ASSERT_TRUE(dec && enc);
  Picture picture(PictureSize(64, 48), 128), output(PictureSize(64, 48));
  for (const Bytes& input : {Bytes(2000, 0x5A), Bytes()}) {
    CodecFrameParams r = DecodeRecord(input, 1, &picture, 64, 48);
    EXPECT_EQ(q->Decode(dec, &r) + t->Decode(enc, &r), 0) << input.size() << " bytes";
  }
  EXPECT_EQ(q->Decode(dec, nullptr), 0);
  CodecFrameParams r = DecodeRecord(Bytes(), 1, &picture, 64, 48), s = r, u = r;
  EXPECT_EQ(Encode(t, enc, &r, 64 * 48 * 3 / 2, nullptr), 0);
  EXPECT_EQ(Encode(t, enc, &s, 64 * 48, output.data()), 0);
  EXPECT_GT(Encode(t, enc, &u, 64 * 48 * 3 / 2, output.data()), 0);
  EXPECT_EQ(t->Encode(0, &u) + q->Encode(dec, &u), 0);
}

// Every decodable type in every mode 0 to 3, on a key frame of the generator: tight planes and nothing
// written past them; a frame of another size refused, the planes left alone.
TEST_F(CodecModuleTest, DecodersFillTightPlanesAndRefuseAnotherSize) {
  const int w = 176, h = 144, size = w * h * 3 / 2;
  for (int type : {0, 1, 2, 4, 5, 10, 6, 8, 9, 11, 12, 13, 14, 15}) {
    SCOPED_TRACE("codec type " + std::to_string(type));
    const CodecDescriptor* d = GetVideoCodec(type);
    ASSERT_NE(d, nullptr);
    StreamEncoder* encoder = StreamEncoderOpen(type, w, h, 10, 1);
    CodecHandle decoder = Open(d, Params(type % 4, w, h, type)), other = Open(d, Params(0, 320, 240, type));
    ASSERT_TRUE(encoder && decoder && other);
    Picture source(size), decoded(size + 1, 0xA5), untouched(PictureSize(320, 240), 0x33), picture = untouched;
    Bytes data;
    int key = 0;
    DrawPattern(source.data(), w, h, 7, type + 1, 0);
    EXPECT_EQ(StreamEncoderEncode(encoder, source.data(), &data, &key), 0);
    StreamEncoderClose(encoder);
    CodecFrameParams r = DecodeRecord(data, 1, &decoded, w, h), o = DecodeRecord(data, 1, &picture, 320, 240);
    EXPECT_EQ(d->Decode(decoder, &r), size);
    EXPECT_EQ(decoded.back(), 0xA5);
    EXPECT_EQ(d->Decode(other, &o), 0);
    EXPECT_EQ(picture, untouched);
  }
}

// Intra frames exactly on key signs: past 600 frames (a GOP of the encoder's own), across abrupt
// changes (a scene change), not for a sign that is neither +1 nor -1. The encoder reads a picture only
// during the call: one spoilt and freed once encoded gives the same frames. Noise does not compress: its
// intra frame is larger than a 16 x 16 picture, so the encoder refuses rather than write past the bound.
TEST_F(CodecModuleTest, EncoderMakesIntraFramesExactlyOnKeySignsAndStaysWithinThePicture) {
  const CodecDescriptor* d = GetVideoCodec(5);
  ASSERT_NE(d, nullptr);
  CodecHandle enc = Open(d, Params(2, 64, 48, 5, 4, 30), true), small = Open(d, Params(2, 16, 16, 5, 4, 30), true),
              lent = Open(d, Params(2, 64, 48, 5, 4, 30), true);
  ASSERT_TRUE(enc && small && lent);
  Picture picture(PictureSize(64, 48)), output(PictureSize(64, 48)), again(output.size());
  for (int i = 0; i <= 700; i++) {
    const int16_t sign = i == 700 ? 0 : i == 0 || i == 3 || i == 650 ? 1 : -1;
    DrawPattern(picture.data(), 64, 48, (uint32_t)(i / 50), 1, i);
    CodecFrameParams r = DecodeRecord(Bytes(), sign, &picture, 64, 48);
    const int32_t n = Encode(d, enc, &r, 64 * 48 * 3 / 2, output.data());
    Picture own = picture;  // freed at the end of the turn
    CodecFrameParams o = DecodeRecord(Bytes(), sign, &own, 64, 48);
    ASSERT_EQ(Encode(d, lent, &o, 64 * 48 * 3 / 2, again.data()), n) << "frame " << i;
    ASSERT_TRUE(std::equal(output.begin(), output.begin() + n, again.begin())) << "frame " << i;
    std::fill(own.begin(), own.end(), 0x55);
    int vop = -1;  // the coding type of the first VOP: 0 I, 1 P
    for (int32_t at = 0; vop < 0 && at + 4 < n; at++)
      if (!output[at] && !output[at + 1] && output[at + 2] == 1 && output[at + 3] == 0xB6) vop = output[at + 4] >> 6;
    ASSERT_EQ(vop, sign == 1 ? 0 : 1) << "frame " << i;
  }
  Picture noise(PictureSize(16, 16)), guarded(PictureSize(16, 16) + 64, 0xEE);
  uint32_t x = 12345;
  for (uint8_t& v : noise) v = (uint8_t)((x = x * 1103515245u + 12345u) >> 16);
  CodecFrameParams r = DecodeRecord(Bytes(), 1, &noise, 16, 16);
  EXPECT_EQ(Encode(d, small, &r, 16 * 16 * 3 / 2, guarded.data()), 0);
  EXPECT_EQ(guarded, Picture(PictureSize(16, 16) + 64, 0xEE));
}

}  // namespace
