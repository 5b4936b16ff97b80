// Fuzz target: the archive path, as mp4meta takes it. The input is an
// archive file; the walker reads it with small limits and hands each entry
// to the MP4 module's analyzer through the host's streams. Aborts unless
// every path names the archive, no entry analysed has a ".." component,
// depths and the count of entries stay within the limits, and the archive
// itself comes last; the temporary folder must be empty afterwards.
#include <mp4host/archive_walker.h>
#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <strigi/fieldtypes.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

namespace {

void check(bool ok, int line = __builtin_LINE()) {
  if (!ok) {
    std::fprintf(stderr, "fuzz check failed at line %d\n", line);
    std::abort();
  }
}

mp4host::ArchiveLimits fuzzLimits() {
  mp4host::ArchiveLimits l;
  l.maxDepth = 3;
  l.maxEntries = 100;
  l.maxEntryBytes = 4 << 20;
  l.maxArchiveBytes = 16 << 20;
  l.ratioFloor = 1 << 20;
  l.maxRatio = 100;
  l.memoryBytes = 256 << 10;
  l.maxTempBytes = 4 << 20;
  l.maxSeconds = 5;
  return l;
}

class CheckingSink : public mp4host::ArchiveSink {
 public:
  explicit CheckingSink(const mp4host::ArchiveLimits& limits) : m_limits(limits) {}
  void entry(const mp4host::ArchiveItem& item, const std::string& error) override {
    checkPath(item.path);
    check(item.depth >= 1 && item.depth <= m_limits.maxDepth);
    check(!m_ended && ++m_entries <= m_limits.maxEntries);
    if (error.empty()) {
      const std::string path = item.path + "/";
      check(path.find("/../") == std::string::npos && path.find("/./") == std::string::npos);
    }
  }
  void archiveEnd(const mp4host::ArchiveItem& item, const std::string&) override {
    checkPath(item.path);
    check(!m_ended && item.depth >= 0 && item.depth < m_limits.maxDepth);
    m_ended = item.depth == 0;
    check(m_ended == (item.path == "fuzz"));
  }
  bool ended() const { return m_ended; }

 private:
  static void checkPath(const std::string& path) {
    check(path == "fuzz" || path.compare(0, 5, "fuzz/") == 0);
  }
  const mp4host::ArchiveLimits& m_limits;
  int64_t m_entries = 0;
  bool m_ended = false;
};

Strigi::FieldRegister* fields;
mp4host::PluginSet* plugins;
std::string tempDir;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fields = new Strigi::FieldRegister;
  plugins = new mp4host::PluginSet;
  if (!plugins->loadModule(MP4_MODULE_PATH)) {
    std::fprintf(stderr, "cannot load %s\n", MP4_MODULE_PATH);
    std::abort();
  }
  plugins->registerFields(*fields);
  std::string pattern = std::filesystem::temp_directory_path() / "fuzz-archive-XXXXXX";
  check(mkdtemp(pattern.data()) != nullptr);
  tempDir = pattern;
  setenv("TMPDIR", tempDir.c_str(), 1);
  std::atexit([] { rmdir(tempDir.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const mp4host::ArchiveLimits limits = fuzzLimits();
  static mp4host::Pipeline pipeline(*plugins);
  static mp4host::ArchiveWalker walker(pipeline, limits);
  const int fd = memfd_create("fuzz_archive", MFD_CLOEXEC);
  check(fd >= 0);
  check(size == 0 || write(fd, data, size) == static_cast<ssize_t>(size));
  CheckingSink sink(limits);
  const mp4host::ArchiveItem file{"fuzz", static_cast<int64_t>(size)};
  const bool walked = walker.walk(fd, file, sink);
  check(walked == sink.ended());
  close(fd);
  check(std::filesystem::is_empty(tempDir));
  return 0;
}
