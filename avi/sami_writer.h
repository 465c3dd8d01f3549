// SAMI caption file that accompanies an AVI file with a caption stream.
#pragma once

#include <cstdint>
#include <cstdio>

struct AviWriter;
struct AviStreamSpec;

// Builds the caption file name from the AVI path (".avi" becomes ".smi",
// anything else gets ".smi" appended) into name (260 bytes).
void SamiFileName(const char* aviPath, char* name);

// Creates the caption file and writes its head. Returns 0 or -1 to -4.
int SamiOpen(const char* language, const char* aviPath, FILE** out);

// Writes one caption timed by the writer's video frame count (its start held
// at INT_MAX milliseconds). A write that fails marks the writer's captions
// lost, so that its finish fails. Returns 0, -1, -2, -4, -5 or -6.
int SamiWriteCaption(AviWriter* writer, const AviStreamSpec* stream, const void* text,
                     int32_t size);

// Writes the closing text "</BODY>\n</SAMI>\n". Returns 0 or -1.
int SamiWriteClosing(FILE* file);
