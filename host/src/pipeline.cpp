#include <errno.h>
#include <fcntl.h>
#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <strigi/analysisresult.h>
#include <strigi/streamthroughanalyzer.h>
#include <sys/stat.h>
#include <unistd.h>

#include <exception>

#include "stream_util.h"

namespace mp4host {

namespace {

// How much an indexer looks at before the through analyzers run.
constexpr int32_t kHeadBytes = 1024;

// Clears an analyzer's result pointer however connectInputStream ends.
class IndexableScope {
 public:
  IndexableScope(Strigi::StreamThroughAnalyzer& analyzer, Strigi::AnalysisResult* result)
      : m_analyzer(analyzer) {
    m_analyzer.setIndexable(result);
  }
  ~IndexableScope() { m_analyzer.setIndexable(nullptr); }
  IndexableScope(const IndexableScope&) = delete;
  IndexableScope& operator=(const IndexableScope&) = delete;

 private:
  Strigi::StreamThroughAnalyzer& m_analyzer;
};

}  // namespace

Pipeline::Pipeline(const PluginSet& plugins) : m_analyzers(plugins.newAnalyzers()) {}

Pipeline::~Pipeline() = default;

bool Pipeline::analyzeFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    m_values.clear();
    m_warnings.clear();
    m_error = errorText(errno);
    return false;
  }
  const bool ok = analyzeOpen(fd, path, true);
  ::close(fd);
  return ok;
}

bool Pipeline::analyzeDescriptor(int fd, const std::string& path) {
  // A regular file on standard input is read like any file when it is at
  // its start; otherwise from where it stands, in order.
  return analyzeOpen(fd, path, lseek(fd, 0, SEEK_CUR) == 0);
}

bool Pipeline::analyzeRegularFile(int fd, const std::string& path, int64_t size) {
  m_file.open(fd, size);
  const bool ok = analyzeStream(m_file, path);
  m_file.close();
  return ok;
}

bool Pipeline::analyzeSlice(int fd, int64_t offset, int64_t length, const std::string& path) {
  m_file.open(fd, length, offset);
  const bool ok = analyzeStream(m_file, path);
  m_file.close();
  return ok;
}

bool Pipeline::analyzeOpen(int fd, const std::string& path, bool seekable) {
  struct stat st;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  }
  if (err != 0) {
    m_values.clear();
    m_warnings.clear();
    m_error = errorText(err);
    return false;
  }
  if (S_ISREG(st.st_mode) && seekable) {
    m_file.open(fd, st.st_size);
    const bool ok = analyzeStream(m_file, path);
    m_file.close();
    return ok;
  }
  m_pipe.open(fd);
  const bool ok = analyzeStream(m_pipe, path);
  m_pipe.close();
  return ok;
}

bool Pipeline::analyzeStream(Strigi::InputStream& stream, const std::string& path) {
  m_values.clear();
  m_warnings.clear();
  m_error.clear();
  try {
    Strigi::AnalysisResult result(path, m_values);
    const char* head = nullptr;
    stream.read(head, 1, kHeadBytes);
    stream.reset(0);
    Strigi::InputStream* in = &stream;
    for (const auto& analyzer : m_analyzers) {
      if (!in || in->status() != Strigi::Ok) break;
      {
        IndexableScope scope(*analyzer, &result);
        in = analyzer->connectInputStream(in);
      }
      if (in && in->position() != 0) {
        m_warnings.push_back(std::string("analyzer ") + analyzer->name() +
                             " left the stream at position " + std::to_string(in->position()));
        if (in->reset(0) != 0) break;
      }
    }
  } catch (const std::exception& e) {
    m_error = std::string("analysis failed: ") + e.what();
    return false;
  }
  if (stream.status() == Strigi::Error) {
    m_error = stream.error();
    return false;
  }
  return true;
}

}  // namespace mp4host
