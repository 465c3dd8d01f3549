// Finding the segment files that an export run finished, and the ones it
// could not finish: the Ch*.avi (and ~N.avi) files of the output folder
// before and after the run are compared by name and by an identity that
// changes when a file is replaced (the final rename puts a new file under an
// old name).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dirent.h>
#include <sys/stat.h>
#endif

#include "cli/cli.h"
#include "platform/platform.h"

// Reads "Ch<channel>_....avi" and an optional "(N)" before the extension.
// Returns 0, or -1 when name is not a segment file's name.
static int ParseSegmentName(const char* name, int* channel, int* segment) {
  size_t length = strlen(name);
  if (length < 8 || strncmp(name, "Ch", 2) != 0 || strcmp(name + length - 4, ".avi") != 0)
    return -1;
  char* end = nullptr;
  long number = strtol(name + 2, &end, 10);
  if (end == name + 2 || *end != '_' || number < 1 || number > CHANNEL_COUNT) return -1;
  *channel = (int)number;
  *segment = 1;
  const char* open = strrchr(name, '(');
  if (open && name[length - 5] == ')') *segment = atoi(open + 1);
  return 0;
}

// Reads "~<channel>.avi" or "~<channel>-<n>.avi", the names of a segment
// file while it is written; segment is 1 or n.
static int ParseTemporaryName(const char* name, int* channel, int* segment) {
  size_t length = strlen(name);
  if (length < 6 || name[0] != '~' || strcmp(name + length - 4, ".avi") != 0) return -1;
  char* end = nullptr;
  long number = strtol(name + 1, &end, 10);
  if (end == name + 1 || name[1] < '0' || name[1] > '9' || number < 1 || number > CHANNEL_COUNT)
    return -1;
  long later = 1;
  if (*end == '-') {
    const char* digits = end + 1;
    later = strtol(digits, &end, 10);
    if (end == digits || *digits < '0' || *digits > '9' || later < 2 || later > 1000000)
      return -1;
  }
  if (end != name + length - 4) return -1;
  *channel = (int)number;
  *segment = (int)later;
  return 0;
}

typedef int (*NameParser)(const char* name, int* channel, int* segment);

#ifdef _WIN32

static std::vector<SegmentFile> ListFiles(const char* folder, const char* wildcard,
                                          NameParser parse) {
  std::vector<SegmentFile> files;
  std::string pattern = std::string(folder) + PATH_SEPARATOR + wildcard;
  WIN32_FIND_DATAA found;
  HANDLE search = FindFirstFileA(pattern.c_str(), &found);
  if (search == INVALID_HANDLE_VALUE) return files;
  do {
    SegmentFile file;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
    if (parse(found.cFileName, &file.channel, &file.segment) != 0) continue;
    file.name = found.cFileName;
    file.identity[0] = ((uint64_t)found.ftCreationTime.dwHighDateTime << 32) |
                       found.ftCreationTime.dwLowDateTime;
    file.identity[1] = ((uint64_t)found.ftLastWriteTime.dwHighDateTime << 32) |
                       found.ftLastWriteTime.dwLowDateTime;
    file.identity[2] = ((uint64_t)found.nFileSizeHigh << 32) | found.nFileSizeLow;
    files.push_back(file);
  } while (FindNextFileA(search, &found));
  FindClose(search);
  return files;
}

#else

static std::vector<SegmentFile> ListFiles(const char* folder, const char*, NameParser parse) {
  std::vector<SegmentFile> files;
  DIR* directory = opendir(*folder ? folder : PATH_SEPARATOR);
  if (!directory) return files;
  while (struct dirent* entry = readdir(directory)) {
    SegmentFile file;
    if (parse(entry->d_name, &file.channel, &file.segment) != 0) continue;
    std::string path = std::string(folder) + PATH_SEPARATOR + entry->d_name;
    struct stat status;
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) continue;
    file.name = entry->d_name;
    file.identity[0] = (uint64_t)status.st_ino;
    file.identity[1] = (uint64_t)status.st_mtim.tv_sec * 1000000000u +
                       (uint64_t)status.st_mtim.tv_nsec;
    file.identity[2] = (uint64_t)status.st_size;
    files.push_back(file);
  }
  closedir(directory);
  return files;
}

#endif

std::vector<SegmentFile> ListSegmentFiles(const char* folder) {
  return ListFiles(folder, "Ch*.avi", ParseSegmentName);
}

std::string BaseName(const std::string& path) {
  size_t slash = path.find_last_of(PATH_SEPARATOR_CHAR);
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::vector<SegmentFile> ListTemporaryFiles(const char* folder) {
  return ListFiles(folder, "~*.avi", ParseTemporaryName);
}

std::vector<SegmentFile> NewSegmentFiles(const std::vector<SegmentFile>& before,
                                         const std::vector<SegmentFile>& after,
                                         ChannelMask mask) {
  std::vector<SegmentFile> made;
  for (const SegmentFile& file : after) {
    if (!((mask >> (file.channel - 1)) & 1)) continue;
    bool old = false;
    for (const SegmentFile& earlier : before)
      if (earlier.name == file.name &&
          memcmp(earlier.identity, file.identity, sizeof(file.identity)) == 0)
        old = true;
    if (!old) made.push_back(file);
  }
  std::sort(made.begin(), made.end(), [](const SegmentFile& a, const SegmentFile& b) {
    if (a.channel != b.channel) return a.channel < b.channel;
    if (a.segment != b.segment) return a.segment < b.segment;
    return a.name < b.name;
  });
  return made;
}
