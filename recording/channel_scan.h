// The reading run: one walk over the recording file that fills the channel
// list with every channel that a header block names.
#pragma once

#include <cstdio>

#include "recording/header_block.h"

struct AppContext;

// Worker thread body: opens the context's recordingPath, scans it, pauses and
// posts the final command. Returns 0, -1, -2 or -3.
int ScanWorker(AppContext* context);

// Returns 0 when the walk ended normally, -1 when it was cancelled.
int ScanRecordingFile(FILE* stream, AppContext* context);

int MergeChannels(AppContext* context, const HeaderInfo* info);
