// Temporary directories, generated media files and runs of mp4meta for the
// host tests.
#ifndef MP4HOST_TEST_FILES_H
#define MP4HOST_TEST_FILES_H

#include <string>
#include <vector>

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

std::string readFile(const std::string& path);

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

// Runs the built mp4meta with args.
RunResult runMp4meta(const std::vector<std::string>& args, const RunOptions& options = {});

}  // namespace hosttest

#endif
