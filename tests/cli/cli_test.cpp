// zentrix-cli as its users run it: a shell command in a scratch folder, with
// the lossless test codec modules beside a copy of the program, whose exit
// status, standard output, standard error and files are checked.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "tools/record_writer.h"

namespace fs = std::filesystem;
typedef std::set<std::string> Names;
typedef nlohmann::json Json;

namespace {

std::string Read(std::string p) { Bytes b = ReadFileBytes(p.c_str()); return {b.begin(), b.end()}; }

// Whether text is what wanted says: in wanted "…" stands for the rest of a
// line, and a text that does not end in a newline for the start of text.
bool Says(const std::string& text, const std::string& wanted) {
  size_t at = 0, from = 0;
  for (size_t dots; (dots = wanted.find("…", from)) != std::string::npos; from = dots + 3) {
    if (text.compare(at, dots - from, wanted, from, dots - from) != 0) return false;
    at = std::min(text.find('\n', at + dots - from), text.size());
  }
  return text.compare(at, wanted.size() - from, wanted, from) == 0 &&
         (wanted.back() != '\n' || at + wanted.size() - from == text.size());
}

// A run's exit status and what it says (Says): its output, then its errors without "zentrix-cli: ".
struct Expected {
  int status;
  std::string arguments, says, wrapper = "";  // wrapper: a command that runs the program
};

// A 16 x 16 picture for the lossless modules, with its prefix word; also the skip length.
const uint32_t FRAME = 4 + 16 * 16 * 3 / 2;

void Block(Bytes* file, ChannelMask channels) {
  AppendHeaderBlock(file, {2, FRAME, MakePackedTime(2009, 3, 7, 8, 5, 0), channels, {}, true, {}});
}

// A frame at 08:05:00 + second; those of the first second are key frames.
void Frame(Bytes* file, unsigned channel, uint32_t second, bool key = false, unsigned codec = 0) {
  Bytes payload(FRAME, (uint8_t)second);
  PutLe32(payload.data(), MakeVideoPrefix(codec, 0, 16, 16));
  AppendRecord(file, MakeExtendedHeader(key || second == 0 ? RECORD_KEY_FRAME : RECORD_FRAME,
                                        channel, (8 * 3600 + 5 * 60 + second) * 1000, FRAME),
               payload);
}

// A header block of 7 March 2009 08:05:00 naming the channels of mask, then
// frames of the channels first and second from 08:05:00 to 08:05:02.
Bytes TwoChannels(ChannelMask mask = 0x7, unsigned first = 0, unsigned second = 2) {
  Bytes file;
  Block(&file, mask);
  for (uint32_t at = 0; at < 3; at++) Frame(&file, first, at), Frame(&file, second, at);
  return file;
}

struct CliFixture : ::testing::Test {
  char pattern[32] = "/tmp/zentrix-cli-XXXXXX";
  const std::string dir = mkdtemp(pattern), z = "zentrix-cli: ";
  int status = -1;  // of the last run: its exit status, or 1000 + the signal that ended it
  std::string out, err;

  void SetUp() override {  // the program loads its modules from its own folder
    for (const char* folder : {"bin", "out"}) fs::create_directory(Path(folder));
    fs::copy_file(CLI_PROGRAM, Path("bin/zentrix-cli"));
    for (std::string module : {"ravex.dll", "sorvel.dll", "tambrix.dll", "quonix.dll"})
      fs::copy_file(LOSSLESS_CODECS "/" + module, Path("bin/" + module));
    chmod(dir.c_str(), 0755);
    signal(SIGXFSZ, SIG_IGN);  // writes past a file size limit fail instead
    signal(SIGPIPE, SIG_IGN);
  }
  void TearDown() override { fs::remove_all(dir); }
  std::string Path(const std::string& name) const { return dir + "/" + name; }
  Names FolderNames(const std::string& name) const {
    Names names;
    for (const auto& entry : fs::directory_iterator(Path(name)))
      names.insert(entry.path().filename());
    return names;
  }

  // `zentrix-cli arguments` in the scratch folder through the shell (which may redirect).
  pid_t Start(const std::string& arguments, const std::string& wrapper = "") {
    std::string command = "cd '" + dir + "' && exec </dev/null >stdout.txt 2>stderr.txt " +
                          wrapper + "bin/zentrix-cli " + arguments;
    pid_t pid = fork();
    if (pid == 0) execl("/bin/sh", "sh", "-c", command.c_str(), (char*)nullptr), _exit(127);
    return pid;
  }
  void Wait(pid_t pid) {
    int wait = 0;
    status = pid > 0 && waitpid(pid, &wait, 0) == pid && WIFEXITED(wait) ? WEXITSTATUS(wait)
                                                                         : 1000 + WTERMSIG(wait);
    out = Read(Path("stdout.txt")), err = Read(Path("stderr.txt"));
    remove(Path("stdout.txt").c_str());
  }

  // Besides what each run says: no message goes to standard output, and a
  // usage error, and nothing else, points to --help.
  void ExpectRuns(const std::vector<Expected>& runs) {
    for (const Expected& r : runs) {
      SCOPED_TRACE(r.arguments);
      Wait(Start(r.arguments, r.wrapper));
      std::string said = out, line;
      for (std::istringstream lines(err); std::getline(lines, line);)
        said += line.substr(line.rfind(z, 0) == 0 ? z.size() : 0) + "\n";
      EXPECT_TRUE(status == r.status && Says(said, r.says)) << status << "\n" << said;
      EXPECT_EQ(out.find(z), std::string::npos);
      EXPECT_EQ(err.find("--help") != std::string::npos, r.status == 1);
    }
  }
};

// Exit status 0 done; 1 a usage error; 2 a recording that cannot be opened
// (looked at before the output folder); 3 a missing or unwritable output
// folder; 4 a list that cannot be written. No run writes a file.
TEST_F(CliFixture, EveryRunGivesItsExitStatusAndSaysWhatHappened) {
  ASSERT_EQ(WriteFileBytes(Path("r").c_str(), TwoChannels()), 0);
  const std::string a300(300, 'a'), a240 = "/" + std::string(239, 'a'), e = "export r out ",
                    open = "cannot open recording ", folder = "output folder ",
                    write = "cannot write to standard output", jobs = "--jobs needs a number";
  ExpectRuns({
      {0, "--help", "Usage: zentrix-cli scan RECORDING\n"
                    "       zentrix-cli info RECORDING [--json] [--gap SECONDS]\n"
                    "       zentrix-cli export RECORDING OUTDIR [--channels LIST] [--report FILE]\n"
                    "                          [--copy] [--captions] [--jobs N]"},
      {0, "--version", std::string("zentrix-cli ") + CLI_VERSION + "\n"},
      {0, "export a b --help", "Usage: zentrix-cli scan"},
      {1, "", "no command given"}, {1, "convert r", "unknown command 'convert'"},
      {1, "scan", "scan needs exactly one RECORDING"}, {1, "scan r r", "scan needs exac"},
      {1, "info", "info needs exactly one"}, {1, "export r", "export needs a RECORDING and an"},
      {1, e + "extra", "export needs a"}, {1, "scan r --jobs 2", "--jobs belongs to the expo"},
      {1, "scan r --copy", "--copy belongs"}, {1, "scan r --captions", "--captions belongs"},
      {1, "info r --channels 1", "--channels belongs"}, {1, "info r --report r", "--report b"},
      {1, "scan r --json", "--json belongs to the info"}, {1, "scan r --gap 3", "--gap belongs"},
      {1, e + "--report", "--report needs a FILE"}, {1, e + "--channels", "--channels needs a"},
      {1, "info r --gap 0", "bad --gap '0'"}, {1, e + "--gap 2s", "bad --gap '2s'"},
      {1, e + "--channels ''", "--channels needs channel numbers"},
      {1, e + "--channels 0", "channel 0 in --channels is out of"},
      {1, e + "--channels 65", "channel 65 in --channels is out of"},
      {1, e + "--channels 1,x", "bad channel 'x' in"}, {1, e + "--channels=1,", "bad channel ''"},
      {1, e + "--channels -3", "bad channel '-3'"}, {1, e + "--jobs +2", jobs + " from 1 to 64"},
      {1, e + "--channles 1", "unknown option '--channles'"}, {1, e + "--jobs", jobs + "\nTry"},
      {1, e + "--jobs 0", jobs + " from 1 to 64, not '0'"}, {1, e + "--jobs=65", jobs + " from 1"},
      {2, "scan missing.dat", open + "'missing.dat': No such file or directory\n"},
      {2, "export missing.dat no-folder", open + "'missing.dat'"},
      {2, "scan out", open + "'out': it is a folder\n"},
      {2, "scan " + a300, open + "'" + a300 + "': path too long\n"},
      {3, "export r no/such", folder + "'no/such' does not exist\n"},
      {3, "export r r", folder + "'r' is not a folder\n"},
      {3, "export r " + a240, folder + "'" + a240 + "': path too long for the segment files\n"},
      {3, "export r /proc", folder + "'/proc' is not writable"},  // not even for root
      // A list that cannot be written is a failure, not a silent loss.
      {4, "scan r >/dev/full", write}, {4, "--version >/dev/full", write},
  });
  EXPECT_EQ(FolderNames(""), (Names{"bin", "out", "r", "stderr.txt"}));
  EXPECT_TRUE(FolderNames("out").empty());
}

// An export lists the files it wrote, by channel, and leaves earlier ones be;
// it says which chosen channels have no video, which frames it lost and which
// channel with video got no file (then failing). Segments that a full disk or
// a long folder name (room for Ch1's name, not Ch12's) leave unfinished keep
// temporary names that later runs never write over; a report that does not
// fit is absent. Files without channels say why; info shows what is there.
TEST_F(CliFixture, ExportWritesAndListsTheSegmentsOfTheChosenChannels) {
  Bytes file = TwoChannels(), unnamed, noise(100 * 1024), info = TwoChannels();
  Block(&file, (1u << 4) | (1u << 6));  // channel 5: one frame at 08:05:09
  Frame(&file, 4, 9, true);
  Frame(&file, 5, 0);  // channel 6: never named
  for (uint32_t second = 3; second < 5; second++) Frame(&file, 6, second, true, 3);
  Frame(&info, 0, 7, true);      // after a gap of 5 s
  Frame(&info, 63, 7, true, 6);  // channel 64, H.264
  Frame(&unnamed, 0, 0);
  uint32_t x = 7;  // xorshift
  for (uint8_t& byte : noise) x ^= x << 13, x ^= x >> 17, byte = x ^= x << 5;
  const std::string longName(219, 'd'), stale = "out/Ch1_20010101_000000_20010101_000001.avi";
  for (const auto& [name, bytes] : std::vector<std::pair<std::string, Bytes>>{
           {"r.dat", file}, {"two.dat", TwoChannels(1 | 1 << 11, 0, 11)}, {"info.dat", info},
           {"frames.dat", unnamed}, {"random.dat", noise}, {"empty.dat", {}}, {stale, Bytes(9, 1)},
           {"out/~2.avi", Bytes(64, 2)}})
    ASSERT_EQ(WriteFileBytes(Path(name).c_str(), bytes), 0);
  for (std::string folder : {"full", longName.c_str()}) fs::create_directory(Path(folder));
  const std::string named = "_20090307_080500_20090307_080502.avi";
  const std::string ch1 = "out/Ch1" + named + "\n", ch3 = "out/Ch3" + named + "\n",
                    all = ch1 + ch3 + "out/Ch5_20090307_080509_20090307_080509.avi\n"
                          "out/Ch6_20090307_080500_20090307_080500.avi\n";
  const std::string unlisted = "channel 6 has video but is not in the scan's list…\n",
                    no7 = "channel 7 has video, but no file was written for it\n",
                    lost = "2 frames of the chosen channels could not be exported (no…\n" + no7,
                    silent2 = "channel 2 has no video in the recording (its header blocks…\n",
                    none = "the recording names no channels; nothing to export\n",
                    random = "'random.dat' does not look like a recording file: no header block…\n",
                    kept = "could not be finished, kept as ";
  // Room for the segment files' headers, not for their frames and index (nor
  // for long messages: standard error is a file too).
  const std::string full = "prlimit --fsize=400 ";
  ExpectRuns({
      {0, "export r.dat out/ --channels 3,1", ch1 + ch3},
      {0, "export r.dat out --channels 1,2", ch1 + silent2},  // replaced, listed again
      {5, "export r.dat out --channels 1,7 --jobs 1", ch1 + lost},
      {5, "export r.dat out --jobs=8", all + unlisted + lost},
      {5, "export r.dat out --channels all", all + unlisted + lost},
      {0, "export r.dat out --channels 2,9", silent2 + "channel 9 has no video in the recording\n"},
      {5, "export r.dat out --copy --channels 1,7 --captions", ch1 + "out/Ch1" +
       named.substr(0, 32) + ".smi\n2 frames of the chosen channels could not be copied…\n" + no7},
      {5, "export two.dat full --report full.json --jobs 2", "2 segment files could not be written "
       "completely in 'full' (is the disk full?)…\n" + kept + "full/~1.avi\n" + kept +
       "full/~12.avi\ncannot write the report 'full.json': File too large\n", full},
      {5, "export two.dat full --channels 1,12", "2 segment files…\n" + kept + "full/~1-2.avi\n" +
       kept + "full/~12-2.avi\n", full},
      {5, "export two.dat " + longName, longName + "/Ch1" + named + "\n1 segment file could not "
       "be given its final name…\nfinished but not named, kept as " + longName + "/~12.avi\n"},
      {0, "export two.dat full --channels 1,12 --report report.json", "full/Ch1" + named +
       "\nfull/Ch12" + named + "\n"},
      {0, "export empty.dat out", "'empty.dat' is empty: it holds no records\n" + none},
      {0, "scan frames.dat", "'frames.dat' has 1 video record but no header block to name its…\n"},
      {0, "scan random.dat", random},
      {0, "info info.dat", "Recording       info.dat\n"
       "Size            3,526 bytes, read to the end of the file\nHeader blocks   1\n"
       "Video frames    8\nOther records   0, 0 empty\nDamaged places  none\n\n"
       "Channel  Frames  Key  First frame              Last frame               Frames/s  Codec "
       "types  Picture sizes\n"
       "      1       4    2  2009-03-07 08:05:00.000  2009-03-07 08:05:07.000      1.00  0 (4)"
       "        16x16 (4)\n"
       "      3       3    1  2009-03-07 08:05:00.000  2009-03-07 08:05:02.000      1.00  0 (3)"
       "        16x16 (3)\n"
       "     64       1    1  2009-03-07 08:05:07.000  2009-03-07 08:05:07.000      0.00  6 (1)"
       "        16x16 (1)\n"
       "Named by header blocks but without video records: channel 2\n\n"
       "Gaps (more than 2 s without a frame of the channel):\n"
       "Channel  From                     To                       Seconds\n"
       "      1  2009-03-07 08:05:02.000  2009-03-07 08:05:07.000    5.000\n"},
  });
  EXPECT_EQ(FolderNames("out").size(), 7u);  // no temporary file of its own left
  EXPECT_EQ(Read(Path(stale)) + Read(Path("out/~2.avi")), std::string(9, 1) + std::string(64, 2));
  EXPECT_EQ(FolderNames("full"), (Names{"Ch1" + named, "Ch12" + named, "~1.avi", "~1-2.avi",
                                        "~12.avi", "~12-2.avi"}));
  EXPECT_FALSE(fs::exists(Path("full.json")) || fs::exists(Path("full.json.part")));
  // The report proves what the export wrote from what.
  Json json = Json::parse(Read(Path("report.json")));
  std::string reported =
      json["result"].dump() + json["exitStatus"].dump() + json["lostFrames"].dump();
  for (const Json& s : json["segments"])
    reported += "\n" + s["file"].get<std::string>() + s["frames"].dump() + s["keyFrames"].dump() +
                s["firstRecorded"].dump() + s["lastRecorded"].dump() +
                (s["size"] == fs::file_size(Path(s["path"])) ? "" : " (not its size)");
  const std::string times = R"(31"2009-03-07 08:05:00.000""2009-03-07 08:05:02.000")";
  EXPECT_EQ(reported, "\"completed\"00\nCh1" + named + times + "\nCh12" + named + times);
  Wait(Start("info info.dat --json --gap 0.5"));  // gaps between the seconds, before 08:05:07
  EXPECT_EQ(Json::parse(out)["channels"][0]["gaps"].size(), 3u);
}

// A signal, and the threads of the run (--jobs).
class CliStopFixture : public CliFixture,
                       public ::testing::WithParamInterface<std::pair<int, int>> {};

// A signal stops the run, which names what it wrote, says so in its report
// and gives 128 + the signal. The recording comes through a pipe that stays
// open: only the signal can end the run.
TEST_P(CliStopFixture, ClosesAndNamesTheSegmentsAndGives128PlusTheSignal) {
  ASSERT_EQ(mkfifo(Path("r.fifo").c_str(), 0644), 0);
  const int signalNumber = GetParam().first;
  pid_t pid = Start("export r.fifo out --channels 1 --report report.json --jobs " +
                    std::to_string(GetParam().second));
  std::ofstream pipe(Path("r.fifo"), std::ios::binary);  // waits for the program to open it
  Bytes head = TwoChannels(1, 0, 0), more;
  pipe.write((const char*)head.data(), (std::streamsize)head.size()).flush();
  // The temporary segment file shows that the run has begun writing. One more
  // frame then: a program waiting for data ends the record, then sees the flag.
  for (int i = 0; i < 1000 && !fs::exists(Path("out/~1.avi")); i++) usleep(10000);
  ASSERT_EQ(kill(pid, signalNumber), 0);
  Frame(&more, 0, 3);
  pipe.write((const char*)more.data(), (std::streamsize)more.size()).flush();
  Wait(pid);
  EXPECT_EQ(status, 128 + signalNumber) << err;
  EXPECT_EQ(err, z + "interrupted; the files listed were finished\n");
  const std::string path = out.substr(0, out.size() - 1);
  EXPECT_EQ(out.rfind("out/Ch1_20090307_080500_20090307_0805", 0), 0u) << out;
  EXPECT_EQ(FolderNames("out"), Names{path.substr(4)});  // the temporary file was named
  Json json = Json::parse(Read(Path("report.json")));  // a pipe is not hashed
  EXPECT_EQ(json["result"].dump() + json["exitStatus"].dump() + json["recording"]["sha256"].dump() +
                std::to_string(json["segments"].size()) + json["segments"][0]["path"].dump(),
            "\"cancelled\"" + std::to_string(128 + signalNumber) + "null1\"" + path + "\"");
}

INSTANTIATE_TEST_SUITE_P(Signals, CliStopFixture,
                         ::testing::Values(std::make_pair(SIGINT, 1), std::make_pair(SIGTERM, 1),
                                           std::make_pair(SIGINT, 8)));

}  // namespace
