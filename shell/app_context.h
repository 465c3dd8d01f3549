// The main window's state record, shared by the shell, the scan and the export.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform/platform.h"
#include "recording/header_block.h"

// Window, image-list and thread handles are opaque to the core: the Windows
// program stores HWND / HIMAGELIST / HANDLE values here, the headless shell
// its own records.
typedef void* WindowHandle;
typedef void* ImageListHandle;
typedef void* ThreadHandle;

enum { CHANNEL_COUNT = 64 };

struct ChannelExporter;
struct ExportRunLog;

// Options of an export run beyond what the Windows program does; all zero
// (the Windows program never sets them) is its plain transcode. zentrix-cli
// sets them from its command line.
struct ExportOptions {
  // Non-zero: every frame is stored in the AVI file as the recording holds
  // it, under its own codec's FourCC; no codec module is loaded.
  int32_t copy;
  // Non-zero: each finished segment gets a SAMI caption file beside it with
  // every frame's recorded date and time.
  int32_t captions;
};

// Allocated zero-filled (`new AppContext()`), one per main window.
struct AppContext {
  WindowHandle listView;
  WindowHandle openButton;
  WindowHandle exportButton;
  ImageListHandle imageList;
  char recordingPath[PATH_SIZE];
  WindowHandle progressDialog;
  ThreadHandle workerThread;
  std::atomic<int32_t> runFlag;  // 1 while the worker may go on
  ChannelMask channelMask;
  char outputFolder[PATH_SIZE];
  ChannelExporter* exporters[CHANNEL_COUNT];
  // Segment files of the last export run that hold video but could not be
  // written completely, finished or given their final name; 0 after a clean
  // run. The export run counts them for its caller: zentrix-cli reports them.
  // Counted from the threads that export the channels, as the next one.
  std::atomic<int32_t> failedSegments;
  // Segments of the last export run whose file could not be created (a
  // channel's key frames that try again in vain count once), and the
  // selected channels whose video records reached their exporter: a chosen
  // channel with video but no file is reported by zentrix-cli.
  std::atomic<int32_t> uncreatedSegments;
  ChannelMask videoChannels;
  // Video frames of the selected channels that the last export run could not
  // write (no codec module, a codec that refused them, damaged data); frames
  // before a segment's first key frame are not counted. zentrix-cli reports them.
  std::atomic<int32_t> lostFrames;
  // Places where the last export run found no records where it expected
  // them (damaged data) and searched the file for them again; what lay
  // between was passed over. zentrix-cli reports them.
  int32_t damagedPlaces;
  // When set (zentrix-cli sets it; the Windows program never does), the
  // export run logs there every segment it closes, every frame it loses and
  // every record its walk takes.
  ExportRunLog* runLog;
  ExportOptions options;
  // Of lostFrames: frames that a copy could not store because their codec
  // type names no known codec. zentrix-cli gives them their own reason.
  std::atomic<int32_t> uncopiedFrames;
  // Caption files of the last export run that could not be written (and were
  // removed); their segments' AVI files are whole. zentrix-cli reports them.
  std::atomic<int32_t> failedCaptions;
  // Threads that decode and encode the frames of an export run besides the
  // thread that walks the file; 0 or 1: the run does everything on its own
  // thread (the Windows program never sets it). zentrix-cli's --jobs.
  int32_t exportJobs;
};
