// Progress reports of the long runs: the bar's range and position and the
// "Progress: ..." text, all through the shell functions.
#include "shell/progress.h"

#include <cstdio>

#include "shell/shell.h"

// Room for the longest report: two 13-character numbers and a 20-digit percent.
enum { PROGRESS_TEXT_SIZE = 96 };

char* FormatThousands(uint32_t value, char* text) {
  char digits[256];
  int count = snprintf(digits, sizeof(digits), "%u", value);
  int commas = (count - 1) / 3;
  int at = count + commas;
  text[at] = '\0';
  // Copy from the last digit backwards, a comma before every third digit
  // counted from the right when another digit precedes it.
  for (int i = count - 1, fromRight = 0; i >= 0; i--, fromRight++) {
    if (fromRight > 0 && fromRight % 3 == 0) text[--at] = ',';
    text[--at] = digits[i];
  }
  return text;
}

void ProgressStart(AppContext* context, uint32_t total) {
  ShellPostProgressRange(context, total);
}

void ProgressStep(AppContext* context, uint32_t position, uint32_t total) {
  uint64_t percent;
  if (total >= 100)
    percent = position / (total / 100);
  else if (total > 0)
    // Below 100 bytes total / 100 is 0: take the exact ratio instead.
    percent = (uint64_t)position * 100 / total;
  else
    percent = 0;

  char done[THOUSANDS_SIZE];
  char whole[THOUSANDS_SIZE];
  char text[PROGRESS_TEXT_SIZE];
  snprintf(text, sizeof(text), "Progress: %s/%s bytes (%llu %%)",
           FormatThousands(position, done), FormatThousands(total, whole),
           (unsigned long long)percent);
  ShellSetProgressText(context, text);
  ShellPostProgressPosition(context, position);
}

void ProgressDone(AppContext* context, uint32_t total) {
  char whole[THOUSANDS_SIZE];
  char text[PROGRESS_TEXT_SIZE];
  FormatThousands(total, whole);
  snprintf(text, sizeof(text), "Progress: %s/%s bytes (100 %%)", whole, whole);
  ShellSetProgressText(context, text);
  ShellPostProgressPosition(context, total);
}
