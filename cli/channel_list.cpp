// The --channels list of the export command.
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"

int ParseChannelList(const char* text, ChannelMask* mask, std::string* error) {
  *mask = 0;
  if (strcmp(text, "all") == 0) return 1;
  if (*text == '\0') {
    *error = "--channels needs channel numbers 1-64 separated by commas, or all";
    return -1;
  }

  const char* at = text;
  for (;;) {
    const char* end = strchr(at, ',');
    std::string item = end ? std::string(at, (size_t)(end - at)) : std::string(at);
    bool digits = !item.empty() && item.size() <= 3 &&
                  item.find_first_not_of("0123456789") == std::string::npos;
    if (!digits) {
      *error = "bad channel '" + item + "' in --channels: use numbers 1-64 separated by "
               "commas, or all";
      return -1;
    }
    int channel = atoi(item.c_str());
    if (channel < 1 || channel > CHANNEL_COUNT) {
      *error = "channel " + item + " in --channels is out of range 1-64";
      return -1;
    }
    *mask |= (ChannelMask)1 << (channel - 1);
    if (!end) break;
    at = end + 1;
  }
  return 0;
}
