// zentrix-cli as its users run it: a child process whose exit status,
// standard output, standard error and output files are checked.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tools/record_writer.h"

extern char** environ;

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat status;
  return stat(path.c_str(), &status) == 0;
}

std::set<std::string> FolderNames(const std::string& folder) {
  std::set<std::string> names;
  DIR* directory = opendir(folder.c_str());
  if (!directory) return names;
  while (dirent* entry = readdir(directory))
    if (entry->d_name[0] != '.') names.insert(entry->d_name);
  closedir(directory);
  return names;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::stringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

bool CopyFile(const std::string& from, const std::string& to, mode_t mode) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream out(to, std::ios::binary);
  if (!in || !out) return false;
  out << in.rdbuf();
  out.close();
  return chmod(to.c_str(), mode) == 0;
}

// The result of one run of the program.
struct Outcome {
  int status = -1;  // exit status, or 1000 + the signal that ended the program
  std::string out;
  std::string err;
};

struct CliFixture : ::testing::Test {
  std::string folder;   // scratch folder of this test
  std::string program = CLI_PROGRAM;

  void SetUp() override {
    char pattern[] = "/tmp/zentrix-cli-XXXXXX";
    folder = mkdtemp(pattern);
  }
  void TearDown() override {
    chmod(folder.c_str(), 0755);
    std::system(("chmod -R u+w '" + folder + "' 2>/dev/null; rm -rf '" + folder + "'").c_str());
  }

  std::string Path(const std::string& name) const { return folder + "/" + name; }

  // Starts the program with its output going to two files of the folder, or
  // its standard output to stdoutPath.
  pid_t Start(const std::vector<std::string>& arguments, std::string stdoutPath = "") {
    if (stdoutPath.empty()) stdoutPath = Path("stdout.txt");
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, stdoutPath.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, Path("stderr.txt").c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    int failed = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    EXPECT_EQ(failed, 0) << program;
    return failed ? -1 : pid;
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

  Outcome Cli(const std::vector<std::string>& arguments) { return Wait(Start(arguments)); }

  // A copy of the program with the lossless codec modules beside it: the
  // program loads its modules from its own folder.
  void InstallWithCodecs() {
    std::string bin = Path("bin");
    ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
    ASSERT_TRUE(CopyFile(CLI_PROGRAM, bin + "/zentrix-cli", 0755));
    for (const char* module : {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"})
      ASSERT_TRUE(CopyFile(std::string(LOSSLESS_CODECS) + "/" + module, bin + "/" + module, 0755))
          << module;
    program = bin + "/zentrix-cli";
  }

  std::string MakeFolder(const std::string& name) {
    std::string path = Path(name);
    EXPECT_EQ(mkdir(path.c_str(), 0755), 0);
    return path;
  }
};

const PackedTime T1 = MakePackedTime(2009, 3, 5, 7, 4, 9);
const PackedTime T2 = MakePackedTime(2009, 3, 7, 8, 5, 0);

// A 16 x 16 picture in the extended form, codec type 0: prefix word and the
// raw planes that the lossless modules pass through.
enum { PICTURE_SIZE = 16, FRAME_PAYLOAD = 4 + PICTURE_SIZE * PICTURE_SIZE * 3 / 2 };

// After a header block the scan passes over every other record by the
// block's skip length: here, the one payload length of all frames.
void AppendBlock(Bytes* file, PackedTime time, ChannelMask channels) {
  HeaderBlockSpec layout;
  layout.blockTime = time;
  layout.channels = channels;
  layout.skipLength = FRAME_PAYLOAD;
  if (channels >> 32) {
    layout.version = 2;
    layout.extension = true;
  }
  AppendHeaderBlock(file, layout);
}

Bytes FrameRecord(unsigned kind, unsigned channel, uint32_t timeMs, uint8_t shade) {
  Bytes payload(FRAME_PAYLOAD, shade);
  PutLe32(payload.data(), MakeVideoPrefix(0, 0, PICTURE_SIZE, PICTURE_SIZE));
  Bytes record;
  AppendRecord(&record, MakeExtendedHeader(kind, channel, timeMs, (uint32_t)payload.size()),
               payload);
  return record;
}

void AppendFrame(Bytes* file, unsigned kind, unsigned channel, uint32_t timeMs) {
  Bytes record = FrameRecord(kind, channel, timeMs, (uint8_t)(timeMs / 1000));
  file->insert(file->end(), record.begin(), record.end());
}

const uint32_t AT_080500 = (8 * 3600 + 5 * 60) * 1000;

// Channels 1 and 3 (numbers 0 and 2) with three frames each from 08:05:00 to
// 08:05:02 on 7 March 2009, and channel 2 named by the block without frames.
Bytes TwoChannelRecording() {
  Bytes file;
  AppendBlock(&file, T2, 0x7);
  for (uint32_t second = 0; second < 3; second++) {
    AppendFrame(&file, second == 0 ? RECORD_KEY_FRAME : RECORD_FRAME, 0, AT_080500 + 1000 * second);
    AppendFrame(&file, second == 0 ? RECORD_KEY_FRAME : RECORD_FRAME, 2, AT_080500 + 1000 * second);
  }
  return file;
}

bool IsAviFile(const std::string& path) {
  std::string bytes = ReadFile(path);
  return bytes.size() > 12 && bytes.compare(0, 4, "RIFF") == 0 &&
         bytes.compare(8, 4, "AVI ") == 0 && bytes.find("xvid") != std::string::npos;
}

// --- the command line ------------------------------------------------------

TEST_F(CliFixture, HelpAndVersion) {
  Outcome help = Cli({"--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_NE(help.out.find("Usage: zentrix-cli scan RECORDING"), std::string::npos);
  EXPECT_NE(help.out.find("zentrix-cli export RECORDING OUTDIR [--channels LIST]"),
            std::string::npos);
  EXPECT_EQ(help.err, "");

  Outcome version = Cli({"--version"});
  EXPECT_EQ(version.status, 0);
  EXPECT_EQ(version.out, std::string("zentrix-cli ") + CLI_VERSION + "\n");

  EXPECT_EQ(Cli({"export", "a", "b", "--help"}).status, 0);
}

TEST_F(CliFixture, UsageErrorsSayWhatIsWrong) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), Bytes()), 0);
  std::string out = folder;
  const Case cases[] = {
      {{}, "no command given"},
      {{"convert", recording}, "unknown command 'convert'"},
      {{"scan"}, "scan needs exactly one RECORDING"},
      {{"scan", recording, recording}, "scan needs exactly one RECORDING"},
      {{"scan", recording, "--channels", "1"}, "--channels belongs to the export command"},
      {{"export", recording}, "export needs a RECORDING and an OUTDIR"},
      {{"export", recording, out, "extra"}, "export needs a RECORDING and an OUTDIR"},
      {{"export", recording, out, "--channels"}, "--channels needs a list"},
      {{"export", recording, out, "--channels", ""}, "--channels needs channel numbers"},
      {{"export", recording, out, "--channels", "0"}, "channel 0 in --channels is out of range"},
      {{"export", recording, out, "--channels", "65"}, "channel 65 in --channels is out of range"},
      {{"export", recording, out, "--channels", "1,x"}, "bad channel 'x' in --channels"},
      {{"export", recording, out, "--channels", "1,,2"}, "bad channel '' in --channels"},
      {{"export", recording, out, "--channels", "-3"}, "bad channel '-3' in --channels"},
      {{"export", recording, out, "--channels=1,"}, "bad channel '' in --channels"},
      {{"export", recording, out, "--channles", "1"}, "unknown option '--channles'"},
  };
  for (const Case& c : cases) {
    std::string line;
    for (const std::string& argument : c.arguments) line += " [" + argument + "]";
    SCOPED_TRACE(line);
    Outcome run = Cli(c.arguments);
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find(std::string("zentrix-cli: ") + c.message), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("--help"), std::string::npos);
    EXPECT_EQ(run.out, "");
  }
  // Nothing was written by any of them.
  EXPECT_EQ(FolderNames(folder), (std::set<std::string>{"recording.dat", "stderr.txt", "stdout.txt"}));
}

TEST_F(CliFixture, MissingRecordingGivesTwo) {
  std::string missing = Path("missing.dat");
  Outcome scan = Cli({"scan", missing});
  EXPECT_EQ(scan.status, 2);
  EXPECT_NE(scan.err.find("cannot open recording '" + missing + "'"), std::string::npos) << scan.err;
  EXPECT_EQ(scan.out, "");

  Outcome exported = Cli({"export", missing, folder});
  EXPECT_EQ(exported.status, 2);
  EXPECT_NE(exported.err.find("cannot open recording"), std::string::npos);

  // The recording is looked at before the output folder.
  EXPECT_EQ(Cli({"export", missing, Path("no-folder")}).status, 2);

  Outcome isFolder = Cli({"scan", folder});
  EXPECT_EQ(isFolder.status, 2);
  EXPECT_NE(isFolder.err.find("it is a folder"), std::string::npos) << isFolder.err;

  Outcome tooLong = Cli({"scan", std::string(300, 'a')});
  EXPECT_EQ(tooLong.status, 2);
  EXPECT_NE(tooLong.err.find("path too long"), std::string::npos);
}

TEST_F(CliFixture, UnreadableRecordingGivesTwo) {
  if (geteuid() == 0) GTEST_SKIP() << "an administrator reads every file";
  std::string recording = Path("locked.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), Bytes(10, 0)), 0);
  ASSERT_EQ(chmod(recording.c_str(), 0), 0);
  EXPECT_EQ(Cli({"scan", recording}).status, 2);
}

TEST_F(CliFixture, OutputFolderMissingOrNotWritableGivesThree) {
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), TwoChannelRecording()), 0);

  Outcome missing = Cli({"export", recording, Path("no/such/folder")});
  EXPECT_EQ(missing.status, 3);
  EXPECT_NE(missing.err.find("does not exist"), std::string::npos) << missing.err;

  Outcome notFolder = Cli({"export", recording, recording});
  EXPECT_EQ(notFolder.status, 3);
  EXPECT_NE(notFolder.err.find("is not a folder"), std::string::npos) << notFolder.err;

  // /proc takes no files, not even from an administrator.
  Outcome readOnly = Cli({"export", recording, "/proc"});
  EXPECT_EQ(readOnly.status, 3);
  EXPECT_NE(readOnly.err.find("output folder '/proc' is not writable"), std::string::npos)
      << readOnly.err;

  Outcome tooLong = Cli({"export", recording, "/" + std::string(240, 'a')});
  EXPECT_EQ(tooLong.status, 3);
  EXPECT_NE(tooLong.err.find("path too long"), std::string::npos);

  EXPECT_EQ(missing.out + notFolder.out + readOnly.out, "");
}

TEST_F(CliFixture, FolderWithoutWritePermissionGivesThree) {
  if (geteuid() == 0) GTEST_SKIP() << "an administrator writes into every folder";
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), TwoChannelRecording()), 0);
  std::string out = MakeFolder("out");
  ASSERT_EQ(chmod(out.c_str(), 0555), 0);
  Outcome run = Cli({"export", recording, out});
  EXPECT_EQ(run.status, 3);
  EXPECT_NE(run.err.find("is not writable"), std::string::npos);
}

// --- scan ------------------------------------------------------------------

TEST_F(CliFixture, ScanPrintsOneLinePerChannelInListOrder) {
  Bytes file;
  AppendBlock(&file, T1, (1u << 2) | 1u);
  AppendFrame(&file, RECORD_KEY_FRAME, 0, 1000);
  AppendBlock(&file, T2, (1ull << 32) | (1u << 1) | 1u);
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), file), 0);

  Outcome run = Cli({"scan", recording});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out,
            "Channel 1\t2009/3/5 7:4:9\t2009/3/7 8:5:0\n"
            "Channel 3\t2009/3/5 7:4:9\t2009/3/5 7:4:9\n"
            "Channel 2\t2009/3/7 8:5:0\t2009/3/7 8:5:0\n"
            "Channel 33\t2009/3/7 8:5:0\t2009/3/7 8:5:0\n");
  EXPECT_EQ(run.err, "");  // no progress when standard error is not a terminal
}

TEST_F(CliFixture, OutputThatCannotBeWrittenIsAFailure) {
  Bytes file;
  AppendBlock(&file, T1, 1u);
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), file), 0);
  Outcome full = Wait(Start({"scan", recording}, "/dev/full"));
  EXPECT_EQ(full.status, 4);
  EXPECT_NE(full.err.find("cannot write to standard output"), std::string::npos) << full.err;
  EXPECT_EQ(Wait(Start({"--version"}, "/dev/full")).status, 4);
}

TEST_F(CliFixture, ScanOfARecordingWithoutChannelsPrintsNothing) {
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), Bytes()), 0);
  Outcome empty = Cli({"scan", recording});
  EXPECT_EQ(empty.status, 0);
  EXPECT_EQ(empty.out, "");

  Bytes file;
  AppendFrame(&file, RECORD_KEY_FRAME, 0, 1000);
  ASSERT_EQ(WriteFileBytes(recording.c_str(), file), 0);
  Outcome frames = Cli({"scan", recording});
  EXPECT_EQ(frames.status, 0);
  EXPECT_EQ(frames.out, "");
}

TEST_F(CliFixture, ScanKeepsTheRowsBeforeABadHeaderBlock) {
  Bytes file;
  AppendBlock(&file, T1, 1u);
  AppendBlock(&file, MakePackedTime(1000, 1, 1, 0, 0, 0), 2u);
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), file), 0);
  Outcome run = Cli({"scan", recording});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "Channel 1\t2009/3/5 7:4:9\t2009/3/5 7:4:9\n");
}

// --- export ----------------------------------------------------------------

TEST_F(CliFixture, ExportWritesAndListsTheSegmentsOfTheChosenChannels) {
  InstallWithCodecs();
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), TwoChannelRecording()), 0);
  std::string out = MakeFolder("out");

  Outcome run = Cli({"export", recording, out + "/", "--channels", "3,1"});
  EXPECT_EQ(run.status, 0) << run.err;
  std::string first = out + "/Ch1_20090307_080500_20090307_080502.avi";
  std::string third = out + "/Ch3_20090307_080500_20090307_080502.avi";
  EXPECT_EQ(Lines(run.out), (std::vector<std::string>{first, third}));
  EXPECT_EQ(run.err, "");
  EXPECT_TRUE(IsAviFile(first));
  EXPECT_TRUE(IsAviFile(third));
  EXPECT_EQ(FolderNames(out).size(), 2u);  // no temporary file left
}

TEST_F(CliFixture, ExportOfAllChannelsTakesWhatTheScanLists) {
  InstallWithCodecs();
  Bytes file = TwoChannelRecording();
  AppendBlock(&file, T2, 1u << 4);                // channel 5, one frame
  AppendFrame(&file, RECORD_KEY_FRAME, 4, AT_080500 + 9000);
  AppendFrame(&file, RECORD_KEY_FRAME, 5, AT_080500);  // channel 6: never named
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), file), 0);
  std::string out = MakeFolder("out");

  Outcome run = Cli({"export", recording, out});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(Lines(run.out), (std::vector<std::string>{
                                out + "/Ch1_20090307_080500_20090307_080502.avi",
                                out + "/Ch3_20090307_080500_20090307_080502.avi",
                                out + "/Ch5_20090307_080509_20090307_080509.avi",
                            }));
  EXPECT_EQ(Cli({"export", recording, out, "--channels", "all"}).status, 0);
  EXPECT_EQ(FolderNames(out).size(), 3u);
}

TEST_F(CliFixture, ExportListsOnlyFilesOfThisRun) {
  InstallWithCodecs();
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), TwoChannelRecording()), 0);
  std::string out = MakeFolder("out");
  std::string stale = out + "/Ch1_20010101_000000_20010101_000001.avi";
  ASSERT_EQ(WriteFileBytes(stale.c_str(), Bytes(100, 1)), 0);

  Outcome first = Cli({"export", recording, out, "--channels", "1"});
  EXPECT_EQ(first.status, 0);
  std::string made = out + "/Ch1_20090307_080500_20090307_080502.avi";
  EXPECT_EQ(Lines(first.out), (std::vector<std::string>{made}));

  // The same export again replaces its file, which is listed again.
  Outcome again = Cli({"export", recording, out, "--channels", "1"});
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(Lines(again.out), (std::vector<std::string>{made}));
  EXPECT_EQ(ReadFile(stale), std::string(100, '\1'));

  // A channel without frames makes no file and lists nothing.
  Outcome none = Cli({"export", recording, out, "--channels", "2"});
  EXPECT_EQ(none.status, 0);
  EXPECT_EQ(none.out, "");
  EXPECT_EQ(FolderNames(out).size(), 2u);
}

TEST_F(CliFixture, ExportOfARecordingWithoutChannels) {
  InstallWithCodecs();
  std::string recording = Path("recording.dat");
  ASSERT_EQ(WriteFileBytes(recording.c_str(), Bytes()), 0);
  std::string out = MakeFolder("out");
  Outcome run = Cli({"export", recording, out});
  EXPECT_EQ(run.status, 0);
  EXPECT_EQ(run.out, "");
  EXPECT_NE(run.err.find("nothing to export"), std::string::npos);
  EXPECT_TRUE(FolderNames(out).empty());
}

// Writes all of data to fd; false when the reader has gone.
bool WriteAll(int fd, const Bytes& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t wrote = write(fd, data.data() + done, data.size() - done);
    if (wrote <= 0) return false;
    done += (size_t)wrote;
  }
  return true;
}

TEST_F(CliFixture, InterruptClosesAndNamesTheSegmentsAndGives130) {
  // The recording arrives through a pipe that stays open, so that the run can
  // only end through the interrupt, never at the end of the file.
  InstallWithCodecs();
  signal(SIGPIPE, SIG_IGN);
  std::string pipePath = Path("recording.fifo");
  ASSERT_EQ(mkfifo(pipePath.c_str(), 0644), 0);
  std::string out = MakeFolder("out");

  pid_t pid = Start({"export", pipePath, out, "--channels", "1"});
  ASSERT_GT(pid, 0);
  int fd = open(pipePath.c_str(), O_WRONLY);  // waits for the program to open it
  ASSERT_GE(fd, 0);
  Bytes head;
  AppendBlock(&head, T2, 1u);
  for (uint32_t second = 0; second < 3; second++)
    AppendFrame(&head, second == 0 ? RECORD_KEY_FRAME : RECORD_FRAME, 0, AT_080500 + 1000 * second);
  ASSERT_TRUE(WriteAll(fd, head));

  // The temporary segment file shows that the run has begun writing.
  std::string temporary = out + "/~1.avi";
  for (int i = 0; i < 1000 && !Exists(temporary); i++)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(Exists(temporary));
  ASSERT_EQ(kill(pid, SIGINT), 0);
  // One more frame: if the program was waiting for data, it finishes this
  // record and then sees the cleared run flag.
  WriteAll(fd, FrameRecord(RECORD_FRAME, 0, AT_080500 + 3000, 3));

  Outcome run = Wait(pid);
  close(fd);
  EXPECT_EQ(run.status, 130) << run.err;
  EXPECT_NE(run.err.find("interrupted"), std::string::npos);
  std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 1u) << run.out;
  std::string prefix = out + "/Ch1_20090307_080500_20090307_0805";
  EXPECT_EQ(lines[0].compare(0, prefix.size(), prefix), 0) << lines[0];
  EXPECT_TRUE(IsAviFile(lines[0]));
  EXPECT_FALSE(Exists(temporary));
  EXPECT_EQ(FolderNames(out).size(), 1u);
}

}  // namespace
