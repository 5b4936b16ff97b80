// Test support: the analyzer run over a test stream as a host runs it,
// temporary files, runs of the built tools, the built module loaded.
#ifndef MP4TEST_TEST_FILES_H
#define MP4TEST_TEST_FILES_H

#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <strigi/fieldtypes.h>

#include <functional>
#include <memory>
#include <thread>

#include "boxes.h"
#include "mp4throughanalyzer.h"

namespace mp4test {

// One line per recorded value in report order: key, kind and value
// ("audio.title text Song", "media.duration int 10"; reals and pairs,
// which no module under test reports, by their kind alone).
using Log = std::vector<std::string>;
Log describe(const mp4host::ValueRecorder& recorder);
inline std::string mime(const std::string& type) { return "content.mime_type text " + type; }

// Bytes in memory as a buffered stream serves them. Each read hands out a
// fresh heap buffer of exactly the bytes delivered and frees the previous
// one, so AddressSanitizer catches a read past them or through a pointer
// kept from an earlier read. Reset goes up to the furthest position read.
// The size is known, or -1 until a read reaches the end (as over archive
// members), or -1 for good; from failAt on, reads fail.
class TestStream : public Strigi::InputStream {
 public:
  enum Size { Known, LearntAtEnd, NeverKnown };
  explicit TestStream(std::string bytes, Size size = Known, int64_t failAt = -1);
  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t reset(int64_t pos) override;
  int64_t furthest() const { return m_furthest; }

 private:
  std::string m_bytes;
  std::unique_ptr<char[]> m_buffer;
  Size m_sizeKind;
  int64_t m_failAt;
  int64_t m_furthest = 0;
};

// A field register, the factory registered into it and one analyzer; the
// latest harness decides the module-wide field handles.
struct Harness {
  Harness();
  // Fails the test unless the stream comes back, at position 0.
  Log run(Strigi::InputStream* in);
  Log run(const Bytes& bytes, TestStream::Size size = TestStream::Known);
  Log call(const std::function<void(Mp4ThroughAnalyzer&)>& operation);

  Strigi::FieldRegister reg;
  Mp4ThroughAnalyzerFactory factory;
  std::unique_ptr<Mp4ThroughAnalyzer> analyzer;
  mp4host::ValueRecorder values;  // of the last run
};

}  // namespace mp4test

namespace hosttest {

// A fresh directory under TMPDIR (or /tmp), removed with its contents.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return m_path; }
  // Writes path()/name, creating parent directories; returns its path.
  std::string write(const std::string& name, const std::string& contents) const;

 private:
  std::string m_path;
};

// A song of the given seconds tagged with a title and a JPEG cover, media
// data last; a movie with a video track, media data first.
std::string taggedSong(const std::string& title, int seconds, size_t coverSize = 64);
std::string videoFile(int width, int height);

struct RunResult {
  int status = -1;  // exit status, or -1 when the process did not exit
  std::string out, err;
};

struct RunOptions {
  std::string stdinData;         // fed through a pipe, which is standard input
  std::string pluginPath{};      // STRIGI_PLUGIN_PATH; the built module by default
  bool permissionsHold = false;  // file permissions bind the tool even when run as root
  std::string preload{};         // LD_PRELOAD
  std::vector<std::pair<std::string, std::string>> environment{};  // set; an empty value unsets
};

// Runs program (a built tool) with args and the built module to load.
RunResult runTool(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options = {});
// Runs the built mp4meta with args.
RunResult runMp4meta(const std::vector<std::string>& args, const RunOptions& options = {});

// The built MP4 module loaded, its fields registered; pipelines made from
// it must go before it.
struct LoadedModule {
  LoadedModule();
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
};

// The read end of a pipe that a thread fills with bytes, then closes; once
// the read end is closed, a write still blocked fails and the thread ends.
class FedPipe {
 public:
  explicit FedPipe(std::string bytes);
  ~FedPipe();
  int fd() const { return m_fd; }

 private:
  int m_fd = -1;
  std::thread m_writer;
};

// An archive made in memory with libarchive's writer (archive_files.cpp),
// so that no archiving tool is needed. format: "zip" (deflated),
// "zip-stored", "zip-encrypted" (passphrase "secret"), "7z", "tar" (pax) or
// "raw" (one file's bytes, for the filter to compress); filter: "", "gzip",
// "bzip2", "xz" or "zstd". Names are bytes as given (7z: UTF-8).
struct Member {
  enum Kind { File, Folder, Symlink };
  std::string name;
  std::string data;  // a file's bytes, a link's target
  Kind kind = File;
  // A tar's sparse file: the (offset, length) of the data kept, the rest a hole.
  std::vector<std::pair<int64_t, int64_t>> regions{};
};
std::string packArchive(const std::string& format, const std::vector<Member>& members,
                        const std::string& filter = "");

}  // namespace hosttest

#endif
