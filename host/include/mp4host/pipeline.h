// Runs the through analyzers over one file after another, as an indexer
// does, and keeps what they report for the current file.
#ifndef MP4HOST_PIPELINE_H
#define MP4HOST_PIPELINE_H

#include <mp4host/buffered_stream.h>
#include <mp4host/file_stream.h>
#include <mp4host/value_recorder.h>

#include <memory>
#include <string>
#include <vector>

namespace Strigi {
class StreamThroughAnalyzer;
}

namespace mp4host {

class PluginSet;

// One per worker thread: its own analyzers, streams and recorder, reused
// for every file. The plug-ins' fields must have been registered before
// the first pipeline is made, and the PluginSet must outlive it.
class Pipeline {
 public:
  explicit Pipeline(const PluginSet& plugins);
  ~Pipeline();
  Pipeline(const Pipeline&) = delete;
  Pipeline& operator=(const Pipeline&) = delete;

  // Analyses the file at path. A regular file is read through a
  // FileInputStream, anything else (a pipe, a device) through a
  // BufferedInputStream. Returns false, with error() set, when the file
  // cannot be opened or read.
  bool analyzeFile(const std::string& path);
  // The same for an open descriptor (standard input); the results name the
  // input path. The descriptor is not closed.
  bool analyzeDescriptor(int fd, const std::string& path);
  // The same for a regular file open on fd whose size is known (from fstat
  // of that descriptor). The descriptor is not closed.
  bool analyzeRegularFile(int fd, const std::string& path, int64_t size);
  // The same for the length bytes at offset of a regular file open on fd
  // (an archive entry stored as it is), read as a file of their own.
  bool analyzeSlice(int fd, int64_t offset, int64_t length, const std::string& path);
  // Drives the analyzers over stream: for each analyzer, while the stream
  // is usable, setIndexable, connectInputStream, setIndexable(nullptr),
  // then a check that the stream is back at position 0.
  bool analyzeStream(Strigi::InputStream& stream, const std::string& path);

  // Reads regular files without mapping them: every byte an analyzer asks
  // for is read into the stream's buffer. For checking the fast path.
  void setPlainFileReads(bool plain) { m_file.setMapping(!plain); }

  // What the last file gave.
  const ValueRecorder& values() const { return m_values; }
  const std::string& error() const { return m_error; }
  // Complaints about analyzers that did not hand the stream back at its
  // start, one line each.
  const std::vector<std::string>& warnings() const { return m_warnings; }

 private:
  bool analyzeOpen(int fd, const std::string& path, bool seekable);

  std::vector<std::unique_ptr<Strigi::StreamThroughAnalyzer>> m_analyzers;
  FileInputStream m_file;
  BufferedInputStream m_pipe;
  ValueRecorder m_values;
  std::string m_error;
  std::vector<std::string> m_warnings;
};

}  // namespace mp4host

#endif
