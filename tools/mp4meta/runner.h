// Analyses the inputs of a run on a pool of workers and prints the results
// in input order.
#ifndef MP4META_RUNNER_H
#define MP4META_RUNNER_H

namespace mp4host {
class PluginSet;
}

namespace mp4meta {

class PathSource;

struct RunSettings {
  bool json = false;
  unsigned jobs = 1;            // 1: everything on the calling thread
  bool plainFileReads = false;  // read every byte of regular files, map none
};

// Returns false when an input or a list could not be read or the output
// could not be written; every other input has been reported all the same.
bool runAnalysis(const mp4host::PluginSet& plugins, PathSource& source,
                 const RunSettings& settings);

}  // namespace mp4meta

#endif
