// Progress reports of the long runs: the bar's range and position and the
// "Progress: ..." text, all through the shell functions.
#include "shell/progress.h"

#include <cstdio>

#include "shell/shell.h"

// Room for the longest report: two 26-character numbers and a 20-digit percent.
enum { PROGRESS_TEXT_SIZE = 128 };

// The bar's range is a signed 32-bit value.
static const uint64_t BAR_LIMIT = 2147483647u;

char* FormatThousands(uint64_t value, char* text) {
  char digits[256];
  int count = snprintf(digits, sizeof(digits), "%llu", (unsigned long long)value);
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

uint32_t ProgressBarValue(uint64_t value, uint64_t total) {
  unsigned shift = 0;
  while ((total >> shift) > BAR_LIMIT) shift++;
  uint64_t scaled = value >> shift;
  return scaled > BAR_LIMIT ? (uint32_t)BAR_LIMIT : (uint32_t)scaled;
}

void ProgressStart(AppContext* context, uint64_t total) {
  ShellPostProgressRange(context, ProgressBarValue(total, total));
}

void ProgressStep(AppContext* context, uint64_t position, uint64_t total) {
  uint64_t percent;
  if (total >= 100)
    percent = position / (total / 100);
  else if (total > 0)
    // Below 100 bytes total / 100 is 0: take the exact ratio instead.
    percent = position * 100 / total;
  else
    percent = 0;

  char done[THOUSANDS_SIZE];
  char whole[THOUSANDS_SIZE];
  char text[PROGRESS_TEXT_SIZE];
  snprintf(text, sizeof(text), "Progress: %s/%s bytes (%llu %%)",
           FormatThousands(position, done), FormatThousands(total, whole),
           (unsigned long long)percent);
  ShellSetProgressText(context, text);
  ShellPostProgressPosition(context, ProgressBarValue(position, total));
}

void ProgressDone(AppContext* context, uint64_t total) {
  char whole[THOUSANDS_SIZE];
  char text[PROGRESS_TEXT_SIZE];
  FormatThousands(total, whole);
  snprintf(text, sizeof(text), "Progress: %s/%s bytes (100 %%)", whole, whole);
  ShellSetProgressText(context, text);
  ShellPostProgressPosition(context, ProgressBarValue(total, total));
}
