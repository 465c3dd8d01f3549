// zentrix-cli as its users run it: a child process whose exit status,
// standard output, standard error and output files are checked.
#include <gtest/gtest.h>

#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/record_writer.h"

namespace fs = std::filesystem;

namespace {

typedef std::vector<std::string> Texts;
typedef std::set<std::string> Names;
typedef nlohmann::json Json;

std::string ReadFile(const std::string& path) {
  Bytes bytes = ReadFileBytes(path.c_str());
  return {bytes.begin(), bytes.end()};
}

Names FolderNames(const std::string& folder) {
  Names names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename());
  return names;
}

Texts Lines(const std::string& text) {
  Texts lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// sha256sum's digest of a file.
std::string Sha256Sum(const std::string& path) {
  std::string command = "sha256sum '" + path + "'", digest(64, '?');
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe || fread(&digest[0], 1, 64, pipe) != 64) digest = "sha256sum failed";
  if (pipe) pclose(pipe);
  return digest;
}

struct Outcome {
  int status = -1;  // exit status, or 1000 + the signal that ended the program
  std::string out, err;
};

// How a child is started besides its arguments.
struct Child {
  std::string stdoutPath;      // default: stdout.txt of the scratch folder
  uint64_t fileSizeLimit = 0;  // > 0: a "full disk", writes past it fail (EFBIG)
  bool asNobody = false;       // an administrator runs it as the user nobody
};

struct CliFixture : ::testing::Test {
  std::string folder = [] {
    char pattern[] = "/tmp/zentrix-cli-XXXXXX";
    return std::string(mkdtemp(pattern));
  }();
  std::string program = CLI_PROGRAM;

  void TearDown() override { fs::remove_all(folder); }

  std::string Path(const std::string& name) const { return folder + "/" + name; }

  std::string MakeFolder(const std::string& name, mode_t mode = 0755) {
    EXPECT_EQ(mkdir(Path(name).c_str(), mode), 0);
    return Path(name);
  }

  pid_t Start(const Texts& arguments, const Child& child = {}) {
    std::vector<char*> argv{program.data()};
    for (const std::string& argument : arguments) argv.push_back((char*)argument.c_str());
    argv.push_back(nullptr);
    std::string out = child.stdoutPath.empty() ? Path("stdout.txt") : child.stdoutPath;
    remove(Path("stdout.txt").c_str());
    const passwd* nobody = child.asNobody && geteuid() == 0 ? getpwnam("nobody") : nullptr;
    pid_t pid = fork();
    if (pid == 0) {
      if (!freopen("/dev/null", "r", stdin) || !freopen(out.c_str(), "w", stdout) ||
          !freopen(Path("stderr.txt").c_str(), "w", stderr))
        _exit(126);
      struct rlimit size;
      getrlimit(RLIMIT_FSIZE, &size);
      size.rlim_cur = child.fileSizeLimit ? (rlim_t)child.fileSizeLimit : size.rlim_cur;
      if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR || setrlimit(RLIMIT_FSIZE, &size) != 0 ||
          (nobody && (setgroups(0, nullptr) || setgid(nobody->pw_gid) || setuid(nobody->pw_uid))))
        _exit(126);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    EXPECT_GT(pid, 0);
    return pid;
  }

  Outcome Wait(pid_t pid) {
    Outcome run;
    int status = 0;
    if (pid > 0 && waitpid(pid, &status, 0) == pid)
      run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    run.out = ReadFile(Path("stdout.txt"));
    run.err = ReadFile(Path("stderr.txt"));
    return run;
  }

  Outcome Cli(const Texts& arguments, const Child& child = {}) {
    return Wait(Start(arguments, child));
  }

  // A copy of the program with the lossless codec modules beside it: the
  // program loads its modules from its own folder.
  void InstallWithCodecs() {
    std::string bin = MakeFolder("bin");
    fs::copy_file(CLI_PROGRAM, bin + "/zentrix-cli");
    for (const char* module : {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"})
      fs::copy_file(std::string(LOSSLESS_CODECS) + "/" + module, bin + "/" + module);
    program = bin + "/zentrix-cli";
  }

  std::string Recording(const Bytes& file, const std::string& name = "recording.dat") {
    EXPECT_EQ(WriteFileBytes(Path(name).c_str(), file), 0);
    return Path(name);
  }
};

const PackedTime T1 = MakePackedTime(2009, 3, 5, 7, 4, 9);
const PackedTime T2 = MakePackedTime(2009, 3, 7, 8, 5, 0);
// A 16 x 16 picture in the extended form: prefix word and the raw planes that
// the lossless modules pass through. All frames have this one length, which
// is also the blocks' skip length.
const uint32_t FRAME_PAYLOAD = 4 + 16 * 16 * 3 / 2;

void AppendBlock(Bytes* file, PackedTime time, ChannelMask channels) {
  AppendHeaderBlock(file, {2, FRAME_PAYLOAD, time, channels, {}, true, {}});
}

// A frame at 08:05:00 + second; the first second's frames are key frames.
void AppendFrame(Bytes* file, unsigned channel, uint32_t second, bool key = false,
                 unsigned codecType = 0) {
  Bytes payload(FRAME_PAYLOAD, (uint8_t)second);
  PutLe32(payload.data(), MakeVideoPrefix(codecType, 0, 16, 16));
  unsigned kind = key || second == 0 ? RECORD_KEY_FRAME : RECORD_FRAME;
  AppendRecord(file, MakeExtendedHeader(kind, channel, (8 * 3600 + 5 * 60 + second) * 1000,
                                        FRAME_PAYLOAD), payload);
}

// Channels 1 and 3 with frames from 08:05:00 to 08:05:02 on 7 March 2009;
// channel 2 is named by the block but has no frames.
Bytes TwoChannelRecording() {
  Bytes file;
  AppendBlock(&file, T2, 0x7);
  for (uint32_t second = 0; second < 3; second++) {
    AppendFrame(&file, 0, second);
    AppendFrame(&file, 2, second);
  }
  return file;
}

bool IsAviFile(const std::string& path, const char* handler = "xvid") {
  std::string bytes = ReadFile(path);
  return bytes.size() > 12 && bytes.compare(0, 4, "RIFF") == 0 &&
         bytes.compare(8, 4, "AVI ") == 0 && bytes.find(handler) != std::string::npos;
}

// --help and --version give 0. Usage errors give 1 and point to --help; a
// recording that cannot be opened gives 2 (and is looked at before the output
// folder); a missing or unwritable output folder gives 3; a list that cannot
// be written gives 4. Errors print nothing to standard output, and no run
// writes a file. The scan prints one line per channel in list order.
TEST_F(CliFixture, EveryRunGivesItsExitStatusAndSaysWhatHappened) {
  ASSERT_EQ(chmod(folder.c_str(), 0755), 0);  // the user nobody passes through
  std::string recording = Recording(TwoChannelRecording());
  Bytes four;
  AppendBlock(&four, T1, 0x5);
  AppendFrame(&four, 0, 1);
  AppendBlock(&four, T2, (1ull << 32) | 0x3);
  std::string scanned = Recording(four, "four.dat");
  std::string locked = Recording(Bytes(10, 0), "locked.dat");
  ASSERT_EQ(chmod(locked.c_str(), 0), 0);
  std::string out = MakeFolder("out"), readOnly = MakeFolder("read-only", 0555);
  std::string missing = Path("missing.dat");
  const Child nobody{"", 0, true}, full{"/dev/full"};
  const struct {
    Texts arguments;
    int status;
    std::string message;  // start of standard output for 0, else in standard error
    Child child = {};
  } cases[] = {
      {{"--help"}, 0, "Usage: zentrix-cli scan RECORDING\n"
                      "       zentrix-cli info RECORDING [--json] [--gap SECONDS]\n"
                      "       zentrix-cli export RECORDING OUTDIR [--channels LIST] [--report FILE]\n"
                      "                          [--copy] [--captions] [--jobs N]\n"},
      {{"export", "a", "b", "--help"}, 0, "Usage: zentrix-cli scan RECORDING\n"},
      {{"--version"}, 0, std::string("zentrix-cli ") + CLI_VERSION + "\n"},
      {{"scan", scanned}, 0, "Channel 1\t2009/3/5 7:4:9\t2009/3/7 8:5:0\n"
                             "Channel 3\t2009/3/5 7:4:9\t2009/3/5 7:4:9\n"
                             "Channel 2\t2009/3/7 8:5:0\t2009/3/7 8:5:0\n"
                             "Channel 33\t2009/3/7 8:5:0\t2009/3/7 8:5:0\n"},
      {{}, 1, "no command given"},
      {{"convert", recording}, 1, "unknown command 'convert'"},
      {{"scan"}, 1, "scan needs exactly one RECORDING"},
      {{"scan", recording, recording}, 1, "scan needs exactly one RECORDING"},
      {{"scan", recording, "--channels", "1"}, 1, "--channels belongs to the export command"},
      {{"info"}, 1, "info needs exactly one RECORDING"},
      {{"info", recording, "--channels", "1"}, 1, "--channels belongs to the export command"},
      {{"info", recording, "--report", "r.json"}, 1, "--report belongs to the export command"},
      {{"scan", recording, "--json"}, 1, "--json belongs to the info command"},
      {{"scan", recording, "--gap", "3"}, 1, "--gap belongs to the info and export commands"},
      {{"info", recording, "--gap", "0"}, 1, "bad --gap '0'"},
      {{"export", recording, out, "--gap", "2s"}, 1, "bad --gap '2s'"},
      {{"export", recording, out, "--report"}, 1, "--report needs a FILE"},
      {{"scan", recording, "--copy"}, 1, "--copy belongs to the export command"},
      {{"scan", recording, "--captions"}, 1, "--captions belongs to the export command"},
      {{"export", recording}, 1, "export needs a RECORDING and an OUTDIR"},
      {{"export", recording, out, "extra"}, 1, "export needs a RECORDING and an OUTDIR"},
      {{"export", recording, out, "--channels"}, 1, "--channels needs a list"},
      {{"export", recording, out, "--channels", ""}, 1, "--channels needs channel numbers"},
      {{"export", recording, out, "--channels", "0"}, 1, "channel 0 in --channels is out of"},
      {{"export", recording, out, "--channels", "65"}, 1, "channel 65 in --channels is out of"},
      {{"export", recording, out, "--channels", "1,x"}, 1, "bad channel 'x' in --channels"},
      {{"export", recording, out, "--channels", "-3"}, 1, "bad channel '-3' in --channels"},
      {{"export", recording, out, "--channels=1,"}, 1, "bad channel '' in --channels"},
      {{"export", recording, out, "--channles", "1"}, 1, "unknown option '--channles'"},
      {{"export", recording, out, "--jobs"}, 1, "--jobs needs a number"},
      {{"export", recording, out, "--jobs", "0"}, 1, "--jobs needs a number from 1 to 64, not '0'"},
      {{"export", recording, out, "--jobs=65"}, 1, "--jobs needs a number from 1 to 64, not '65'"},
      {{"export", recording, out, "--jobs", "+2"}, 1, "--jobs needs a number from 1 to 64"},
      {{"scan", recording, "--jobs", "2"}, 1, "--jobs belongs to the export command"},
      {{"scan", missing}, 2, "cannot open recording '" + missing + "': No such file"},
      {{"info", missing, "--json"}, 2, "cannot open recording '" + missing + "': No such file"},
      {{"export", missing, Path("no-folder")}, 2, "cannot open recording '" + missing + "'"},
      {{"scan", folder}, 2, "cannot open recording '" + folder + "': it is a folder"},
      {{"scan", std::string(300, 'a')}, 2, "a': path too long"},
      {{"scan", locked}, 2, "cannot open recording '" + locked + "': Permission denied", nobody},
      {{"export", recording, Path("no/such")}, 3, "/no/such' does not exist"},
      {{"export", recording, recording}, 3, "output folder '" + recording + "' is not a folder"},
      // /proc takes no files, not even from an administrator.
      {{"export", recording, "/proc"}, 3, "output folder '/proc' is not writable"},
      {{"export", recording, "/" + std::string(240, 'a')}, 3, "a': path too long for the segment"},
      {{"export", recording, readOnly}, 3, "folder '" + readOnly + "' is not writable", nobody},
      // A list that cannot be written is a failure, not a silent loss.
      {{"scan", recording}, 4, "cannot write to standard output", full},
      {{"--version"}, 4, "cannot write to standard output", full},
      {{"info", recording}, 4, "cannot write to standard output", full},
  };
  for (const auto& c : cases) {
    std::string line;
    for (const std::string& argument : c.arguments) line += " [" + argument + "]";
    SCOPED_TRACE(line);
    Outcome run = Cli(c.arguments, c.child);
    EXPECT_EQ(run.status, c.status);
    const std::string& shown = c.status ? run.err : run.out;
    if (c.status == 0 && c.arguments.size() == 2)  // a scan: its whole list
      EXPECT_EQ(shown, c.message);
    else
      EXPECT_NE(shown.find(c.message), std::string::npos) << shown;
    EXPECT_EQ(c.status ? run.out : run.err, "");  // no progress when stderr is no terminal
    EXPECT_EQ(run.err.rfind("zentrix-cli: ", 0) == 0, c.status != 0) << run.err;
    EXPECT_EQ(run.err.find("--help") != std::string::npos, c.status == 1) << run.err;
  }
  EXPECT_EQ(FolderNames(folder), (Names{"four.dat", "locked.dat", "out", "read-only",
                                        "recording.dat", "stderr.txt"}));
  EXPECT_TRUE(FolderNames(out).empty() && FolderNames(readOnly).empty());
}

// Each run lists exactly the files it wrote, by channel; files of earlier
// runs (finished or temporary) are neither listed nor touched; channels
// without frames give no file, and the default exports a channel with frames
// that the scan does not list, saying so. Frames that no codec module takes
// (codec type 3 has none) are missing: the run says so, and a chosen channel
// with video but no file fails it; also for a copy, which lists each file's
// caption file after it.
TEST_F(CliFixture, ExportWritesAndListsTheSegmentsOfTheChosenChannels) {
  InstallWithCodecs();
  Bytes file = TwoChannelRecording();
  AppendBlock(&file, T2, (1u << 4) | (1u << 6));  // channel 5: one frame at 08:05:09
  AppendFrame(&file, 4, 9, true);
  AppendFrame(&file, 5, 0);  // channel 6: never named
  for (uint32_t second = 3; second < 5; second++) AppendFrame(&file, 6, second, true, 3);
  std::string recording = Recording(file), out = MakeFolder("out");
  std::string stale = Recording(Bytes(100, 1), "out/Ch1_20010101_000000_20010101_000001.avi");
  std::string temporary = Recording(Bytes(64, 2), "out/~2.avi");
  const std::string ch1 = out + "/Ch1_20090307_080500_20090307_080502.avi";
  const std::string ch3 = out + "/Ch3_20090307_080500_20090307_080502.avi";
  const std::string ch5 = out + "/Ch5_20090307_080509_20090307_080509.avi";
  const std::string ch6 = out + "/Ch6_20090307_080500_20090307_080500.avi";
  const std::string unlisted = "zentrix-cli: channel 6 has video but is not in the scan's list "
      "(no header block that could be read names it): exported too\n";
  const std::string ch1Captions = out + "/Ch1_20090307_080500_20090307_080502.smi";
  const std::string lost = "zentrix-cli: 2 frames of the chosen channels could not be exported "
      "(no codec module for their codec type next to zentrix-cli, a codec that refused them, or "
      "damaged data)\nzentrix-cli: channel 7 has video, but no file was written for it\n";
  const std::string silent2 =
      "zentrix-cli: channel 2 has no video in the recording (its header blocks name it)\n";
  const struct {
    Texts arguments;
    Texts listed;
    std::string err;
    int status = 0;
  } runs[] = {
      {{"export", recording, out + "/", "--channels", "3,1"}, {ch1, ch3}, ""},
      {{"export", recording, out, "--channels", "1,2"}, {ch1}, silent2},  // replaced, listed again
      {{"export", recording, out, "--channels", "1,7", "--jobs", "1"}, {ch1}, lost, 5},
      {{"export", recording, out, "--jobs=8"}, {ch1, ch3, ch5, ch6}, unlisted + lost, 5},
      {{"export", recording, out, "--channels", "all"}, {ch1, ch3, ch5, ch6}, unlisted + lost, 5},
      {{"export", recording, out, "--channels", "2,9"}, {},
       silent2 + "zentrix-cli: channel 9 has no video in the recording\n"},
      {{"export", recording, out, "--copy", "--channels", "1,7", "--captions"}, {ch1, ch1Captions},
       "zentrix-cli: 2 frames of the chosen channels could not be copied: their codec type (3 "
       "or 7) names no known codec\nzentrix-cli: channel 7 has video, but no file was written "
       "for it\n", 5},
      {{"export", Recording(Bytes(), "empty.dat"), out}, {},
       "zentrix-cli: '" + Path("empty.dat") + "' is empty: it holds no records\n"
       "zentrix-cli: the recording names no channels; nothing to export\n"},
  };
  for (const auto& r : runs) {
    SCOPED_TRACE(r.arguments.back());
    Outcome run = Cli(r.arguments);
    EXPECT_EQ(run.status, r.status);
    EXPECT_EQ(run.err, r.err);
    EXPECT_EQ(Lines(run.out), r.listed);
    const bool copy = run.out.find(".smi") != std::string::npos;
    for (const std::string& path : r.listed)
      EXPECT_TRUE(path == ch1Captions ? ReadFile(path).find("08:05:02.000") != std::string::npos
                                      : IsAviFile(path, copy ? "MJPG" : "xvid")) << path;
  }
  EXPECT_EQ(FolderNames(out).size(), 7u);  // no temporary file of its own left
  EXPECT_EQ(ReadFile(stale), std::string(100, '\1'));
  EXPECT_EQ(ReadFile(temporary), std::string(64, '\2'));
}

TEST_F(CliFixture, AFullDiskIsReportedAndNoBrokenFileGetsAFinalName) {
  InstallWithCodecs();
  std::string recording = Recording(TwoChannelRecording()), out = MakeFolder("out");
  // Room for the segment files' headers, not for their frames and index (nor
  // for long messages: standard error is a file too). The report does not
  // fit either: it is absent, not cut short.
  std::string report = Path("report.json");
  Outcome run = Cli({"export", recording, out, "--channels", "1,3", "--report", report, "--jobs",
                     "2"}, Child{"", 400});
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "zentrix-cli: 2 segment files could not be written completely in '" + out +
                         "' (is the disk full?): video is missing\n"
                         "zentrix-cli: could not be finished, kept as " + out + "/~1.avi\n"
                         "zentrix-cli: could not be finished, kept as " + out + "/~3.avi\n"
                         "zentrix-cli: cannot write the report '" + report +
                         "': File too large\n");
  EXPECT_EQ(FolderNames(out), (Names{"~1.avi", "~3.avi"}));
  EXPECT_FALSE(fs::exists(report) || fs::exists(report + ".part"));
  // Kept files are never written over: the next run takes other names.
  run = Cli({"export", recording, out, "--channels", "1,3"}, Child{"", 400});
  EXPECT_EQ(run.status, 5);
  EXPECT_NE(run.err.find("kept as " + out + "/~1-2.avi\nzentrix-cli: could not be finished, "
                         "kept as " + out + "/~3-2.avi\n"), std::string::npos) << run.err;
  // With room again the same export is clean; the report proves what it
  // wrote from what.
  EXPECT_EQ(Cli({"export", recording, out, "--channels", "1,3", "--report", report}).status, 0);
  const Names names{"Ch1_20090307_080500_20090307_080502.avi",
                    "Ch3_20090307_080500_20090307_080502.avi"};
  Names kept = names;
  kept.insert({"~1.avi", "~1-2.avi", "~3.avi", "~3-2.avi"});
  EXPECT_EQ(FolderNames(out), kept);
  Json json = Json::parse(ReadFile(report));
  EXPECT_EQ(json["result"], "completed");
  EXPECT_EQ(json["exitStatus"], 0);
  EXPECT_EQ(json["recording"]["sha256"], Sha256Sum(recording));
  EXPECT_EQ(json["lostFrames"], 0);
  Names reported;
  for (const Json& segment : json["segments"]) {
    reported.insert(segment["file"].get<std::string>());
    EXPECT_EQ(segment["sha256"], Sha256Sum(segment["path"]));
    EXPECT_EQ(segment["size"], fs::file_size(segment["path"].get<std::string>()));
    EXPECT_EQ(segment["frames"], 3);
    EXPECT_EQ(segment["keyFrames"], 1);
    EXPECT_EQ(segment["firstRecorded"], "2009-03-07 08:05:00.000");
    EXPECT_EQ(segment["lastRecorded"], "2009-03-07 08:05:02.000");
  }
  EXPECT_EQ(reported, names);
}

// Names are tested when a segment gets them: in a folder of 219 characters
// channel 1's file is named, while channel 12's final name does not fit, so
// its file keeps its temporary name and the run fails.
TEST_F(CliFixture, ALongOutputFolderKeepsTheFilesWhoseNamesDoNotFit) {
  InstallWithCodecs();
  Bytes file;
  AppendBlock(&file, T2, 1 | 1 << 11);
  for (unsigned channel : {0, 11}) AppendFrame(&file, channel, 0);
  std::string recording = Recording(file);
  std::string out = MakeFolder(std::string(219 - folder.size() - 1, 'd'));
  Outcome run = Cli({"export", recording, out});
  EXPECT_EQ(run.status, 5);
  EXPECT_EQ(run.out, out + "/Ch1_20090307_080500_20090307_080500.avi\n");
  EXPECT_NE(run.err.find("kept as " + out + "/~12.avi\n"), std::string::npos) << run.err;
  EXPECT_EQ(FolderNames(out).size(), 2u);
}

// info shows what a recording holds, to a person and to a program. Runs
// that find nothing to show say why on standard error, with status 0.
TEST_F(CliFixture, InfoShowsWhatIsThereAndRunsThatFindNothingSaySo) {
  Bytes file = TwoChannelRecording();
  AppendFrame(&file, 0, 7, true);      // after a gap of 5 s
  AppendFrame(&file, 63, 7, true, 6);  // channel 64, H.264
  std::string recording = Recording(file);
  Outcome run = Cli({"info", recording});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "Recording       " + recording + "\n"
            "Size            3,526 bytes, read to the end of the file\n"
            "Header blocks   1\n"
            "Video frames    8\n"
            "Other records   0, 0 empty\n"
            "Damaged places  none\n"
            "\n"
            "Channel  Frames  Key  First frame              Last frame               Frames/s  "
            "Codec types  Picture sizes\n"
            "      1       4    2  2009-03-07 08:05:00.000  2009-03-07 08:05:07.000      1.00  "
            "0 (4)        16x16 (4)\n"
            "      3       3    1  2009-03-07 08:05:00.000  2009-03-07 08:05:02.000      1.00  "
            "0 (3)        16x16 (3)\n"
            "     64       1    1  2009-03-07 08:05:07.000  2009-03-07 08:05:07.000      0.00  "
            "6 (1)        16x16 (1)\n"
            "Named by header blocks but without video records: channel 2\n"
            "\n"
            "Gaps (more than 2 s without a frame of the channel):\n"
            "Channel  From                     To                       Seconds\n"
            "      1  2009-03-07 08:05:02.000  2009-03-07 08:05:07.000    5.000\n");
  run = Cli({"info", recording, "--json", "--gap", "0.5"});
  Json json = Json::parse(run.out), channels = json["channels"];
  ASSERT_EQ(channels.size(), 4u);
  EXPECT_EQ(channels[1], Json({{"channel", 2}, {"namedByHeaderBlocks", true}, {"frames", 0}}));
  EXPECT_EQ(channels[0]["gaps"].size(), 3u);  // between each second and before 08:05:07
  EXPECT_EQ(channels[0]["gaps"][2], Json({{"from", "2009-03-07 08:05:02.000"},
                                          {"to", "2009-03-07 08:05:07.000"},
                                          {"seconds", 5.0}}));
  EXPECT_EQ(channels[3]["codecTypes"], Json::parse(R"([{"codecType": 6, "frames": 1}])"));
  EXPECT_EQ(channels[3]["namedByHeaderBlocks"], false);

  uint32_t state = 7;
  Bytes noise(100 * 1024), unnamed;
  for (uint8_t& byte : noise) {
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    byte = (uint8_t)state;
  }
  AppendFrame(&unnamed, 0, 0);
  std::string random = Recording(noise, "random.dat"), frames = Recording(unnamed, "frames.dat");
  std::string empty = Recording(Bytes(), "empty.dat"), out = MakeFolder("out");
  const std::string notOne = "zentrix-cli: '" + random + "' does not look like a recording file: ";
  const struct {
    Texts arguments;
    std::string err;  // its start
  } cases[] = {
      {{"scan", random}, notOne},
      {{"export", random, out}, notOne},
      {{"scan", empty}, "zentrix-cli: '" + empty + "' is empty: it holds no records\n"},
      {{"scan", frames}, "zentrix-cli: '" + frames + "' has 1 video record but no header block "
                         "to name its channels\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.arguments[1]);
    run = Cli(c.arguments);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err.rfind(c.err, 0), 0u) << run.err;
  }
  EXPECT_TRUE(FolderNames(out).empty());
}

// A signal, and the threads of the run (--jobs).
class CliStopFixture : public CliFixture,
                       public ::testing::WithParamInterface<std::pair<int, int>> {};

// The recording arrives through a pipe that stays open, so that the run can
// only end through the signal, never at the end of the file.
TEST_P(CliStopFixture, ClosesAndNamesTheSegmentsAndGives128PlusTheSignal) {
  InstallWithCodecs();
  signal(SIGPIPE, SIG_IGN);
  std::string pipePath = Path("recording.fifo"), out = MakeFolder("out");
  ASSERT_EQ(mkfifo(pipePath.c_str(), 0644), 0);
  std::string report = Path("report.json");
  const int signalNumber = GetParam().first;
  pid_t pid = Start({"export", pipePath, out, "--channels", "1", "--report", report, "--jobs",
                     std::to_string(GetParam().second)});
  ASSERT_GT(pid, 0);
  std::ofstream pipe(pipePath, std::ios::binary);  // waits for the program to open it
  Bytes head, more;
  AppendBlock(&head, T2, 1u);
  for (uint32_t second = 0; second < 3; second++) AppendFrame(&head, 0, second);
  pipe.write((const char*)head.data(), (std::streamsize)head.size()).flush();
  // The temporary segment file shows that the run has begun writing.
  for (int i = 0; i < 1000 && !fs::exists(out + "/~1.avi"); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(fs::exists(out + "/~1.avi"));
  ASSERT_EQ(kill(pid, signalNumber), 0);
  // One more frame: a program waiting for data finishes this record and
  // then sees the cleared run flag.
  AppendFrame(&more, 0, 3);
  pipe.write((const char*)more.data(), (std::streamsize)more.size()).flush();

  Outcome run = Wait(pid);
  EXPECT_EQ(run.status, 128 + signalNumber) << run.err;
  EXPECT_NE(run.err.find("interrupted"), std::string::npos);
  Texts lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 1u) << run.out;
  EXPECT_EQ(lines[0].rfind(out + "/Ch1_20090307_080500_20090307_0805", 0), 0u) << lines[0];
  EXPECT_TRUE(IsAviFile(lines[0]));
  EXPECT_EQ(FolderNames(out).size(), 1u);  // the temporary file was named
  // The report lists exactly the file left; a pipe is not hashed.
  Json json = Json::parse(ReadFile(report));
  EXPECT_EQ(json["result"], "cancelled");
  EXPECT_EQ(json["exitStatus"], 128 + signalNumber);
  EXPECT_TRUE(json["recording"]["sha256"].is_null());
  ASSERT_EQ(json["segments"].size(), 1u);
  EXPECT_EQ(json["segments"][0]["path"], lines[0]);
  EXPECT_EQ(json["segments"][0]["sha256"], Sha256Sum(lines[0]));
}

INSTANTIATE_TEST_SUITE_P(Signals, CliStopFixture,
                         ::testing::Values(std::make_pair(SIGINT, 1), std::make_pair(SIGTERM, 1),
                                           std::make_pair(SIGINT, 8)));

}  // namespace
