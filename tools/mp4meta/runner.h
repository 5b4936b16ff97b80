// Analyses the inputs of a run on a pool of workers and prints the results
// in input order.
#ifndef MP4META_RUNNER_H
#define MP4META_RUNNER_H

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
// results). Both calls come on the calling thread, in input order.
class Collector {
 public:
  virtual ~Collector() = default;
  // Before an input is analysed: false passes it over (it is neither
  // analysed nor handed to take). Failed inputs come here too.
  virtual bool admit(const Input& input) = 0;
  // What an admitted input gave: values when it was analysed, else the
  // reason it could not be.
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
