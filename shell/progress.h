// Progress reports of the long runs, made on the worker thread.
#pragma once

#include <cstdint>

struct AppContext;

// Longest text of FormatThousands ("2,147,483,647") plus the terminator.
enum { THOUSANDS_SIZE = 16 };

// Writes value in decimal with a "," before every third digit from the right.
char* FormatThousands(uint32_t value, char* text);

void ProgressStart(AppContext* context, uint32_t total);
void ProgressStep(AppContext* context, uint32_t position, uint32_t total);
void ProgressDone(AppContext* context, uint32_t total);
