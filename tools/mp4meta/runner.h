// Analyses the inputs of a run on a pool of workers and prints the results
// in input order.
#ifndef MP4META_RUNNER_H
#define MP4META_RUNNER_H

#include <mp4host/archive_limits.h>

#include <string>

namespace Strigi {
class FieldRegister;
}

namespace mp4host {
class PluginSet;
class ValueRecorder;
}  // namespace mp4host

namespace mp4meta {

class PathSource;
struct Input;

// Takes what a run finds instead of printing it (a host that stores
// results). Every call comes on the calling thread; admit() in input order,
// take() in input order (a parallel run admits inputs ahead of the takes of
// earlier ones).
//
// Archives (RunSettings::archives on): a regular file is admitted as any
// file is, before it is opened, so a collector can pass over an archive it
// knows. When the file turns out to be an archive, take() comes once for
// each regular entry, in archive order, and then once for the archive
// itself:
//   - Entry: path "ARCHIVE/NAME", archive the file's path, depth 1 (an
//     entry of an archive inside the file: path "ARCHIVE/INNER/NAME",
//     depth 2, and so on), size and mtimeNs as the archive records them;
//     values, or why the entry was not analysed (damaged, encrypted, a name
//     with "..", a limit).
//   - Archive: after all its entries. For the file: path and archive the
//     file's path, depth 0, its size and time. For an archive inside it:
//     the entry's path, its depth. Values (empty) when every entry was
//     handed over; else null and why the rest could not be read (cannot be
//     opened, damaged, cut short, a limit passed), the entries before
//     having come all the same.
// So the entries a collector holds under "ARCHIVE/" and has not been handed
// again by the time the file's Archive take() comes without an error have
// vanished from it. Entries come in batches with the rest of the output, so
// an archive of any number of entries takes bounded memory. A file that is
// no archive gets its one take() of kind File, as before.
class Collector {
 public:
  virtual ~Collector() = default;
  // Before an input is analysed: false passes it over (it is neither
  // analysed nor handed to take). Failed inputs come here too.
  virtual bool admit(const Input& input) = 0;
  // What an admitted input gave: values when it was analysed, else the
  // reason it could not be. See above for archives.
  virtual void take(const Input& input, const mp4host::ValueRecorder* values,
                    const std::string& error) = 0;
  // Whether a failed input that was taken needs no message: the collector
  // dealt with it (a watcher's file that vanished before it was read).
  virtual bool silent(const Input&) const { return false; }
  // True when the collector can take no more (its store failed): the run
  // reads no further inputs and ends once those under way are done.
  virtual bool stopped() const { return false; }
};

struct RunSettings {
  bool json = false;
  unsigned jobs = 1;                // 1: everything on the calling thread
  bool plainFileReads = false;      // read every byte of regular files, map none
  const char* program = "mp4meta";  // the prefix of messages
  Collector* collector = nullptr;   // null: print the results
  // Each line an analyzer writes on standard error is printed as an error
  // message is, after the program's name and the file's path, with its
  // indentation taken off (mp4meta leaves them as the analyzer wrote them).
  bool nameDiagnostics = false;
  // Regular files that are archives are read for their entries (see
  // Collector); off, they are files like any other.
  bool archives = false;
  mp4host::ArchiveLimits archiveLimits;
};

// Loads the analyzer modules from the plug-in directories and registers
// their fields, reporting each module that fails on standard error with
// the program's name. Returns false, having said why, when none loaded.
bool loadAnalyzers(const char* program, mp4host::PluginSet& plugins, Strigi::FieldRegister& fields);

// One job per online processor, within kMaxJobs.
unsigned defaultJobs();

// Returns false when an input or a list could not be read or the output
// could not be written; every other input has been reported all the same.
bool runAnalysis(const mp4host::PluginSet& plugins, PathSource& source,
                 const RunSettings& settings);

}  // namespace mp4meta

#endif
