// Host-side test helpers: temporary directories, generated media files, runs
// of mp4meta, the MP4 module loaded as a host loads it, and what a host
// recorded for one file as comparable lines.
#ifndef MP4HOST_TEST_FILES_H
#define MP4HOST_TEST_FILES_H

#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <string>
#include <thread>
#include <vector>

#include "boxes.h"

namespace hosttest {

// A fresh directory under TMPDIR (or /tmp), removed with its contents at
// the end of the scope.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  // path()/name; writes a file with contents, creating parent directories.
  std::string write(const std::string& name, const std::string& contents) const;
  std::string mkdir(const std::string& name) const;

 private:
  std::string m_path;
};

// A tagged audio file: ftyp, a sound track of the given seconds and a tag
// list with the title and a JPEG cover; media data after the movie box.
std::string taggedSong(const std::string& title, int seconds);
// A movie file: ftyp, media data, then a movie box with a video track.
std::string videoFile(int width, int height);

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit
  std::string out;
  std::string err;
};

struct RunOptions {
  std::string stdinData;     // fed through a pipe
  bool stdinIsPipe = false;  // otherwise /dev/null
  std::string pluginPath;    // STRIGI_PLUGIN_PATH; the built module by default
  bool asNobody = false;     // drop root privileges to user "nobody"
  std::string workingDirectory;
};

// Runs program (a built tool) with args, the built module on its plug-in
// path.
RunResult runTool(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options = {});
// Runs the built mp4meta with args.
RunResult runMp4meta(const std::vector<std::string>& args, const RunOptions& options = {});

// The built MP4 module loaded as a host loads it, its fields registered.
// Pipelines made from it must go before it.
struct LoadedModule {
  LoadedModule();
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
};

// One line per recorded value, in report order: the key, the kind and the
// value (text as its bytes, numbers in decimal).
std::vector<std::string> describe(const mp4host::ValueRecorder& recorder);

// Writes bytes into the write end fd of a pipe from a new thread, then
// closes it; a write that fails (the reader gone) ends it early.
std::thread writeToPipe(int fd, std::string bytes);

// Runs pipeline over bytes written into a pipe by another thread, as
// standard input is read; returns what analyzeDescriptor returned.
bool analyzePipe(mp4host::Pipeline& pipeline, const std::string& bytes);

}  // namespace hosttest

#endif
