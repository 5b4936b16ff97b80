// The command line of mp4meta.
#ifndef MP4META_OPTIONS_H
#define MP4META_OPTIONS_H

#include <string>
#include <vector>

namespace mp4meta {

struct Options {
  bool json = false;
  bool nulSeparated = false;  // lists from --files-from are NUL-separated
  bool help = false;
  bool version = false;
  unsigned jobs = 0;            // 0: one per online processor
  bool plainFileReads = false;  // --stream=buffered
  bool archives = true;         // --archives=yes (the default) or no
  std::vector<std::string> paths;
  std::vector<std::string> lists;  // --files-from arguments, in order
};

// Parses argv. On a usage error returns false and sets *error to a one-line
// description.
bool parseOptions(int argc, char** argv, Options* options, std::string* error);

// The full help text, and the two lines shown after a usage error.
const char* usageText();
const char* shortUsageText();

constexpr unsigned kMaxJobs = 1024;

}  // namespace mp4meta

#endif
