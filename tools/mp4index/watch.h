// mp4index watch: an index kept current with the folders it follows.
#ifndef MP4INDEX_WATCH_H
#define MP4INDEX_WATCH_H

#include <string>
#include <vector>

#include "update.h"

namespace mp4index {

class Store;

struct WatchSettings {
  UpdateSettings update;          // its roots are the folders followed, absolute
  unsigned rescanInterval = 300;  // seconds between rescans of folders left unwatched
  // A file written through a descriptor that stays open (a download) is
  // analysed once it has been quiet this many seconds; one closed after
  // writing is analysed at once.
  unsigned quietPeriod = 2;
};

// Takes watch's own options (--rescan-interval, --quiet-period) out of args, which are
// otherwise update's; false, with *error, for a bad one.
bool takeWatchOptions(std::vector<std::string>* args, WatchSettings* settings, std::string* error);

// Checks that every root is a folder, and drops the roots inside others;
// false, with *error naming the root, otherwise.
bool checkWatchRoots(WatchSettings* settings, std::string* error);

// Brings the index up to date with the roots as update does, then follows
// every change under them with inotify until SIGINT or SIGTERM, when what
// has been gathered is written. A folder the watch limit leaves unwatched
// is rescanned every rescanInterval seconds. Returns the exit status;
// throws DatabaseError when the index fails.
int watch(Store& store, const mp4host::PluginSet& plugins, const WatchSettings& settings);

}  // namespace mp4index

#endif
