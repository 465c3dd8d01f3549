// What zentrix-cli shows on the terminal while it works, and how Ctrl+C
// reaches a run.
#include <chrono>
#include <csignal>
#include <cstdio>
#include <string>

#ifdef _WIN32
#include <io.h>
#define isatty _isatty
#define fileno _fileno
#else
#include <unistd.h>
#endif

#include "cli/cli.h"

// The line last written, so that bar-only changes do not rewrite it, and
// when: a recording has a header block every few hundred bytes, and the
// terminal needs a new line only a few times a second.
static std::string shownLine;
static bool lineOpen = false;
static std::chrono::steady_clock::time_point shownAt;
static const std::chrono::milliseconds REFRESH_INTERVAL(100);

// Runs on the thread that makes the report; the CLI's runs make them on the
// main thread.
static void ShowProgress(HeadlessShell* shell, void*) {
  std::string line;
  {
    std::lock_guard<std::mutex> hold(shell->lock);
    if (shell->progressText == "Static") return;  // no report made yet
    line = (shell->dialogTitle.empty() ? std::string("Reading data...") : shell->dialogTitle) +
           " " + shell->progressText;
  }
  if (line == shownLine) return;
  auto now = std::chrono::steady_clock::now();
  bool final = line.find("(100 %)") != std::string::npos;
  if (lineOpen && !final && now - shownAt < REFRESH_INTERVAL) return;
  shownAt = now;
  shownLine = line;
  lineOpen = true;
  fprintf(stderr, "\r%s\033[K", line.c_str());
  fflush(stderr);
}

void TerminalProgressAttach(HeadlessShell* shell) {
  if (!isatty(fileno(stderr))) return;
  shell->onProgress = ShowProgress;
  shell->user = nullptr;
}

void TerminalProgressEnd(HeadlessShell* shell) {
  shell->onProgress = nullptr;
  if (lineOpen) fputc('\n', stderr);
  lineOpen = false;
  shownLine.clear();
}

// The handler only stores 0 into the run flag and notes the signal; the walk
// notices the flag before its next record and closes what it has written.
static std::atomic<int32_t>* volatile interruptedFlag = nullptr;
static volatile std::sig_atomic_t caughtSignal = 0;
static_assert(std::atomic<int32_t>::is_always_lock_free,
              "the run flag must be safe to store from a signal handler");

static const int STOP_SIGNALS[] = {SIGINT, SIGTERM};

extern "C" void OnInterrupt(int signalNumber) {
  std::atomic<int32_t>* flag = interruptedFlag;
  if (!flag) return;
  caughtSignal = signalNumber;
  flag->store(0);
}

void InstallInterruptHandler(std::atomic<int32_t>* runFlag) {
  interruptedFlag = runFlag;
  for (int signalNumber : STOP_SIGNALS) {
#ifdef _WIN32
    // The C runtime resets the handler when it runs, so a second Ctrl+C ends
    // the program.
    signal(signalNumber, OnInterrupt);
#else
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // Reads and writes in progress go on (no short read taken for the end of
    // the file); a second signal ends the program.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    sigaction(signalNumber, &action, nullptr);
#endif
  }
}

int InterruptSignal(void) { return (int)caughtSignal; }
