// Brings an index up to date with the files under some paths.
#ifndef MP4INDEX_UPDATE_H
#define MP4INDEX_UPDATE_H

#include <functional>
#include <string>
#include <unordered_set>
#include <vector>

namespace mp4host {
class PluginSet;
}

namespace mp4index {

class Store;

struct UpdateCounts {
  unsigned long long added = 0;
  unsigned long long changed = 0;
  unsigned long long removed = 0;
  unsigned long long unchanged = 0;
  unsigned long long failed = 0;
};

struct UpdateSettings {
  std::vector<std::string> roots;  // files and folders, absolute
  std::vector<std::string> lists;  // --files-from lists
  char listSeparator = '\n';
  unsigned jobs = 1;
  bool plainFileReads = false;
  // Archives are read for their entries, stored as files named
  // "ARCHIVE/NAME"; off, an archive is a file like any other.
  bool archives = true;
  // Files analysed even when their size and modification time are what
  // the index holds: a watcher saw them written, and a write that began
  // during an earlier analysis may have kept both.
  std::unordered_set<std::string> rewritten;
  // A path that is gone by the time it is read is removed without a
  // message (the paths a watcher saw change, which may vanish at once).
  bool quietWhenGone = false;
  // Asked between files (optional): true ends the run early, what was
  // analysed by then stored and nothing swept (a watcher told to stop).
  std::function<bool()> interrupted;
};

// Analyses every file under the roots and in the lists whose size or
// modification time differs from what the index holds (or that failed
// before), stores each whole, and removes the files under the roots that
// are gone. Files are written in batches, a transaction each, so an update
// that is stopped at any point leaves every file stored whole or not at
// all. Each batch decides inside its transaction, from the index as it is
// then and the files as they are then, so that updates and other writers
// of the same index at the same time never undo each other's work.
// Returns false when a file or list could not be read; the rest is stored
// all the same. An archive that changed is read whole: its entries are
// stored, and those it no longer holds removed; one that did not is not
// opened.
bool update(Store& store, const mp4host::PluginSet& plugins, const UpdateSettings& settings,
            UpdateCounts* counts);

// path made absolute (against the working folder) without "." components,
// repeated or trailing slashes; ".." stays, as it may pass a symbolic link.
std::string absolutePath(const std::string& path);

// Whether path is root or lies under it.
bool isUnder(const std::string& path, const std::string& root);

// Whether a walk of root would reach path now: every folder between them a
// real folder (the walk follows no symbolic link to a folder) and path a
// regular file or a symbolic link to one, or (folders) a real folder. The
// root itself is followed, as a named path is.
bool walkReaches(const std::string& root, const std::string& path, bool folders = false);

}  // namespace mp4index

#endif
