// The export run: one walk over the recording file that hands every video
// record of a selected channel to that channel's exporter.
#pragma once

#include <cstdio>

struct AppContext;

// Worker thread body: opens the context's recordingPath, exports, pauses and
// posts the final command. Returns 0, -1, -2 or -3.
int ExportWorker(AppContext* context);

// Returns 0 when the walk was not cancelled, -1 when it was.
int ExportRecordingFile(FILE* stream, AppContext* context);
