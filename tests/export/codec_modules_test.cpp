// The codec module cache: where modules are found, which are accepted, and
// how slots are filled, retried and released.
#include <gtest/gtest.h>

#include <cstring>
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

TEST_F(CodecModulesTest, InitTakesTheProgramFolderAndEmptiesTheSlots) {
  std::string folder = ProgramFolder();
  ASSERT_FALSE(folder.empty());
  EXPECT_EQ(std::string(primaryFolder), folder);
  EXPECT_EQ(std::string(fallbackFolder), folder);
  EXPECT_EQ(folder.back(), PATH_SEPARATOR_CHAR);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) {
    EXPECT_EQ(videoSlots[i], nullptr);
    EXPECT_EQ(audioSlots[i], nullptr);
  }
}

TEST_F(CodecModulesTest, EveryVideoTypeLoadsTheModuleOfItsTable) {
  const char* files[] = {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"};
  for (int type = 0; type < VIDEO_TYPE_COUNT; type++) {
    ModuleProbe probes[4] = {ModuleProbe(ProgramFolder() + files[0]),
                             ModuleProbe(ProgramFolder() + files[1]),
                             ModuleProbe(ProgramFolder() + files[2]),
                             ModuleProbe(ProgramFolder() + files[3])};
    for (auto& probe : probes) ASSERT_NE(probe.state, nullptr);

    CodecDescriptor* descriptor = GetVideoCodec(type);
    const char* expected = VIDEO_MODULE_FILES[type];
    if (!expected) {
      EXPECT_EQ(descriptor, nullptr) << "type " << type;
    } else {
      ASSERT_NE(descriptor, nullptr) << "type " << type;
      EXPECT_STREQ(descriptor->signature, "CODEC");
      ASSERT_NE(videoSlots[type], nullptr);
      EXPECT_EQ(videoSlots[type]->descriptor, descriptor);
    }
    // Exactly the module of the table was initialised, and only once.
    for (int f = 0; f < 4; f++)
      EXPECT_EQ(probes[f].state->initializeCalls, expected && !strcmp(expected, files[f]) ? 1 : 0)
          << "type " << type << " file " << files[f];
    CodecModulesRelease();
  }
}

TEST_F(CodecModulesTest, TypesWithoutAModuleAndTypesOutOfRangeLoadNothing) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  ModuleProbe quonix(ProgramFolder() + "quonix.dll");
  ModuleProbe ravex(ProgramFolder() + "ravex.dll");
  ModuleProbe sorvel(ProgramFolder() + "sorvel.dll");
  for (int type : {3, 7, 16, 19, 20, 21, 1000, -1}) {
    EXPECT_EQ(GetVideoCodec(type), nullptr) << type;
    EXPECT_EQ(LoadCodecModule(primaryFolder, CODEC_KIND_VIDEO, type), nullptr) << type;
  }
  // Types 3 and 7 sit between served types, all four files are present, and
  // still no module was even loaded for them.
  EXPECT_EQ(tambrix.state->initializeCalls + quonix.state->initializeCalls +
                ravex.state->initializeCalls + sorvel.state->initializeCalls,
            0);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_EQ(videoSlots[i], nullptr);
  EXPECT_EQ(GetAudioCodec(20), nullptr);
  EXPECT_EQ(LoadCodecModule(primaryFolder, 2, 0), nullptr);
}

TEST_F(CodecModulesTest, EachTypeHasItsOwnSlotAndIsShutDownOncePerSlot) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  ASSERT_NE(tambrix.state, nullptr);
  CodecDescriptor* first = GetVideoCodec(2);
  ASSERT_NE(first, nullptr);
  for (int type : {4, 5, 10}) EXPECT_EQ(GetVideoCodec(type), first);
  EXPECT_EQ(tambrix.state->initializeCalls, 4);
  // A filled slot is answered from the cache.
  EXPECT_EQ(GetVideoCodec(2), first);
  EXPECT_EQ(GetVideoCodec(5), first);
  EXPECT_EQ(tambrix.state->initializeCalls, 4);
  // Four records, one per slot.
  EXPECT_NE(videoSlots[2], videoSlots[4]);
  EXPECT_NE(videoSlots[5], videoSlots[10]);

  CodecModulesRelease();
  EXPECT_EQ(tambrix.state->shutdownCalls, 4);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_EQ(videoSlots[i], nullptr);
  CodecModulesRelease();  // empty tables: nothing more happens
  EXPECT_EQ(tambrix.state->shutdownCalls, 4);
}

TEST_F(CodecModulesTest, AMissingModuleIsLookedForAgainOnTheNextRequest) {
  ScratchFolder empty;
  UseFolders(empty.path, empty.path);
  EXPECT_EQ(GetVideoCodec(2), nullptr);
  EXPECT_EQ(videoSlots[2], nullptr);

  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", empty.File("tambrix.dll"));
  EXPECT_NE(GetVideoCodec(2), nullptr);
  EXPECT_NE(videoSlots[2], nullptr);
}

TEST_F(CodecModulesTest, TheFallbackFolderIsTriedAfterThePrimary) {
  ScratchFolder empty;
  UseFolders(empty.path, ProgramFolder());
  EXPECT_NE(GetVideoCodec(6), nullptr);
  UseFolders(empty.path, empty.path);
  EXPECT_EQ(GetVideoCodec(8), nullptr);
}

TEST_F(CodecModulesTest, AFolderWithoutTrailingSeparatorGetsOne) {
  std::string folder = ProgramFolder();
  folder.pop_back();
  CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 0);
  ASSERT_NE(module, nullptr);
  EXPECT_NE(module->module, nullptr);
  UnloadCodecModule(module);
}

TEST_F(CodecModulesTest, PathsThatDoNotFitAndEmptyFoldersAreRefused) {
  std::string longFolder = ProgramFolder();
  longFolder += std::string(PATH_SIZE - longFolder.size() - 5, 'x');
  EXPECT_EQ(LoadCodecModule(longFolder.c_str(), CODEC_KIND_VIDEO, 2), nullptr);
  EXPECT_EQ(LoadCodecModule("", CODEC_KIND_VIDEO, 2), nullptr);
  EXPECT_EQ(LoadCodecModule(nullptr, CODEC_KIND_VIDEO, 2), nullptr);
}

TEST_F(CodecModulesTest, AudioTypesUseTheAudioTable) {
  ScratchFolder folder;
  UseFolders(folder.path, folder.path);
  EXPECT_EQ(GetAudioCodec(0), nullptr);
  // Any accepted module under the audio name serves.
  std::filesystem::copy_file(ProgramFolder() + "tambrix.dll", folder.File("plovax.dll"));
  EXPECT_NE(GetAudioCodec(0), nullptr);
  EXPECT_NE(audioSlots[0], nullptr);
  EXPECT_EQ(GetAudioCodec(1), nullptr);
  EXPECT_EQ(GetAudioCodec(2), nullptr);
  EXPECT_EQ(LoadCodecModule(folder.path.c_str(), CODEC_KIND_AUDIO, 2), nullptr);
  for (int i = 0; i < CODEC_SLOT_COUNT; i++) EXPECT_EQ(videoSlots[i], nullptr);
}

// Each rule module loads as a file, but its descriptor (or its entry) fails
// one check.
struct RefusedRule {
  const char* rule;
  int initializeCalls;  // 0 when the module has no Initialize export
};

class RefusedModuleTest : public ::testing::TestWithParam<RefusedRule> {};

TEST_P(RefusedModuleTest, IsRefusedAndLeavesTheSlotEmpty) {
  std::string folder = RuleFolder(GetParam().rule);
  ModuleProbe probe(folder + "tambrix.dll");
  ASSERT_NE(probe.module, nullptr) << "rule module missing in " << folder;
  ASSERT_NE(probe.state, nullptr);

  EXPECT_EQ(LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 2), nullptr);
  EXPECT_EQ(probe.state->initializeCalls, GetParam().initializeCalls);

  CodecModulesInit();
  snprintf(primaryFolder, sizeof primaryFolder, "%s", folder.c_str());
  snprintf(fallbackFolder, sizeof fallbackFolder, "%s", folder.c_str());
  EXPECT_EQ(GetVideoCodec(2), nullptr);
  EXPECT_EQ(videoSlots[2], nullptr);
  CodecModulesRelease();
  EXPECT_EQ(probe.state->shutdownCalls, 0);
}

INSTANTIATE_TEST_SUITE_P(Rules, RefusedModuleTest,
                         ::testing::Values(RefusedRule{"bad_signature", 1},
                                           RefusedRule{"sixth_letter", 1},
                                           RefusedRule{"null_signature", 1},
                                           RefusedRule{"check_major", 1},
                                           RefusedRule{"check_minor", 1},
                                           RefusedRule{"null_info1", 1},
                                           RefusedRule{"null_info2", 1},
                                           RefusedRule{"no_initialize", 0},
                                           RefusedRule{"initialize_null", 1}),
                         [](const ::testing::TestParamInfo<RefusedRule>& info) {
                           return std::string(info.param.rule);
                         });

TEST_F(CodecModulesTest, AModuleWithoutShutdownIsUnloadedWithoutTheCall) {
  std::string folder = RuleFolder("null_shutdown");
  ModuleProbe probe(folder + "tambrix.dll");
  ASSERT_NE(probe.state, nullptr);
  CodecModule* module = LoadCodecModule(folder.c_str(), CODEC_KIND_VIDEO, 5);
  ASSERT_NE(module, nullptr);
  EXPECT_EQ(module->descriptor->Shutdown, nullptr);
  UnloadCodecModule(module);
  UnloadCodecModule(nullptr);
  EXPECT_EQ(probe.state->initializeCalls, 1);
}

TEST_F(CodecModulesTest, InitForgetsLoadedModulesWithoutUnloadingThem) {
  ModuleProbe tambrix(ProgramFolder() + "tambrix.dll");
  ASSERT_NE(GetVideoCodec(2), nullptr);
  CodecModule* forgotten = videoSlots[2];
  CodecModulesInit();
  EXPECT_EQ(videoSlots[2], nullptr);
  EXPECT_EQ(tambrix.state->shutdownCalls, 0);
  UnloadCodecModule(forgotten);
  EXPECT_EQ(tambrix.state->shutdownCalls, 1);
}

TEST(SafeHeapFreeTest, FreesHeapBlocksAndIgnoresNull) {
  SafeHeapFree(nullptr);
  void* block = PlatformHeapAlloc(64);
  ASSERT_NE(block, nullptr);
  EXPECT_TRUE(PlatformHeapValidate(block));
  SafeHeapFree(block);  // leak checkers see whether it was released
}

}  // namespace
