// The codec module cache: where modules are found, which are accepted, and
// how slots are filled, retried and released.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <string>

#include "export/codec_modules.h"
#include "tests/export/export_test_support.h"

namespace {

// Every test starts from a fresh cache whose folders are the program's folder
// (the lossless modules) and ends with everything unloaded.
class CodecModulesTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CodecModulesInit(), 1); }
  void TearDown() override { CodecModulesRelease(); }
  static void UseFolders(const std::string& primary, const std::string& fallback) {
    snprintf(primaryFolder, sizeof primaryFolder, "%s", primary.c_str());
    snprintf(fallbackFolder, sizeof fallbackFolder, "%s", fallback.c_str());
  }
};

// Only the module of a type's table entry is loaded and initialised, once;
// types without a module (3, 7) or out of range load nothing at all.
TEST_F(CodecModulesTest, EveryVideoTypeLoadsTheModuleOfItsTableAndNoOther) {
  EXPECT_EQ(std::string(primaryFolder) + fallbackFolder, ProgramFolder() + ProgramFolder());
  const char* files[] = {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"};
  const std::string table = "RSTxTTQxQQTQQQQQ";  // by type; x: no module
  for (int type : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 19, 20, 1000, -1}) {
    std::deque<ModuleProbe> probes;
    for (const char* file : files)
      ASSERT_NE(probes.emplace_back(ProgramFolder() + file).state, nullptr);
    char expected = type >= 0 && type < 16 ? table[type] : 'x';
    CodecDescriptor* descriptor = GetVideoCodec(type);
    EXPECT_EQ(descriptor != nullptr, expected != 'x') << "type " << type;
    EXPECT_TRUE(!descriptor || videoSlots[type]->descriptor == descriptor);
    for (int f = 0; f < 4; f++)
      EXPECT_EQ(probes[f].state->initializeCalls, expected == "RSTQ"[f] ? 1 : 0)
          << "type " << type << " file " << files[f];
    CodecModulesRelease();
  }
}

// Filled slots answer from the cache; each slot is shut down once. Init
// forgets loaded modules without unloading them.
TEST_F(CodecModulesTest, EachTypeHasItsOwnSlotAndIsShutDownOncePerSlot) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  CodecDescriptor* first = GetVideoCodec(2);
  ASSERT_NE(first, nullptr);
  for (int type : {4, 5, 10, 2, 5}) EXPECT_EQ(GetVideoCodec(type), first);
  EXPECT_EQ(tambrix.state->initializeCalls, 4);
  EXPECT_TRUE(videoSlots[2] != videoSlots[4] && videoSlots[5] != videoSlots[10]);
  CodecModulesRelease();
  CodecModulesRelease();  // empty tables: nothing more happens
  EXPECT_EQ(tambrix.state->shutdownCalls, 4);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_TRUE(!videoSlots[i] && !audioSlots[i]) << i;

  ASSERT_NE(GetVideoCodec(2), nullptr);
  CodecModule* forgotten = videoSlots[2];
  CodecModulesInit();
  EXPECT_EQ(videoSlots[2], nullptr);
  EXPECT_EQ(tambrix.state->shutdownCalls, 4);
  UnloadCodecModule(forgotten);
  EXPECT_EQ(tambrix.state->shutdownCalls, 5);
}

// A missing module is tried again on the next request; a folder without its
// trailing separator gets one; audio types use the audio table.
TEST_F(CodecModulesTest, FoldersAreTriedInOrderAndAMissingModuleAgainOnTheNextRequest) {
  ScratchFolder empty;
  UseFolders(empty.path, ProgramFolder());
  EXPECT_NE(GetVideoCodec(6), nullptr);  // from the fallback folder
  UseFolders(empty.path, empty.path);
  EXPECT_EQ(GetVideoCodec(2), nullptr);
  EXPECT_EQ(videoSlots[2], nullptr);
  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", empty.File("tambrix.dll"));
  EXPECT_NE(GetVideoCodec(2), nullptr);
  EXPECT_EQ(GetAudioCodec(0), nullptr);
  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", empty.File("plovax.dll"));
  EXPECT_TRUE(GetAudioCodec(0) && audioSlots[0] && !videoSlots[0]);
  for (int type : {1, 2, 20}) EXPECT_EQ(GetAudioCodec(type), nullptr);

  std::string folder = ProgramFolder();
  folder.pop_back();
  CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 0);
  ASSERT_NE(module, nullptr);
  UnloadCodecModule(module);
  std::string tooLong = ProgramFolder() + std::string(PATH_SIZE - folder.size() - 6, 'x');
  for (const char* refused : {tooLong.c_str(), "", (const char*)nullptr})
    EXPECT_EQ(LoadCodecModule(refused, CODEC_KIND_VIDEO, 2), nullptr);
  EXPECT_EQ(LoadCodecModule(empty.path.c_str(), 2, 0), nullptr);  // no such kind
}

// Each rule module loads as a file, but its descriptor (or its entry) fails
// one check: it is unloaded and its slot stays empty. A module without
// Shutdown is accepted and unloaded without the call.
TEST_F(CodecModulesTest, ModulesThatFailACheckAreRefused) {
  for (std::string rule : {"bad_signature", "sixth_letter", "null_signature", "check_major",
                           "check_minor", "null_info1", "null_info2", "no_initialize",
                           "initialize_null"}) {
    SCOPED_TRACE(rule);
    std::string folder = RuleFolder(rule);
    ModuleProbe probe(folder + "tambrix.dll");
    ASSERT_NE(probe.state, nullptr) << "rule module missing in " << folder;
    EXPECT_EQ(LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 2), nullptr);
    UseFolders(folder, folder);
    EXPECT_EQ(GetVideoCodec(2), nullptr);
    EXPECT_EQ(videoSlots[2], nullptr);
    EXPECT_EQ(probe.state->initializeCalls, rule == "no_initialize" ? 0 : 3);
    CodecModulesRelease();
    EXPECT_EQ(probe.state->shutdownCalls, 0);
  }
  std::string folder = RuleFolder("null_shutdown");
  ModuleProbe probe(folder + "tambrix.dll");
  CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 5);
  ASSERT_NE(module, nullptr);
  UnloadCodecModule(module);
  UnloadCodecModule(nullptr);
  EXPECT_EQ(probe.state->initializeCalls, 1);
}

}  // namespace
