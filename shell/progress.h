// Progress reports of the long runs, made on the worker thread.
//
// Totals and positions are byte counts of the recording file, which may be
// larger than 2 GiB. The texts show them as they are; the progress bar, whose
// range is a signed 32-bit value, gets them scaled down by a power of two
// when the total does not fit that range, so that it still fills evenly.
#pragma once

#include <cstdint>

struct AppContext;

// Longest text of FormatThousands ("18,446,744,073,709,551,615") plus the
// terminator, rounded up.
enum { THOUSANDS_SIZE = 32 };

// Writes value in decimal with a "," before every third digit from the right.
char* FormatThousands(uint64_t value, char* text);

void ProgressStart(AppContext* context, uint64_t total);
void ProgressStep(AppContext* context, uint64_t position, uint64_t total);
void ProgressDone(AppContext* context, uint64_t total);

// The value that the bar gets for a byte count: value >> n, with n the
// smallest shift that brings total to 2,147,483,647 or less, and never above
// 2,147,483,647.
uint32_t ProgressBarValue(uint64_t value, uint64_t total);
