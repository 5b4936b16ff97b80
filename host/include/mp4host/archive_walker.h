// The entries of an archive file analysed one after the other, as files
// are: each entry is a stream handed to the same pipeline, and an entry that
// is an archive is walked in turn, to a depth limit.
#ifndef MP4HOST_ARCHIVE_WALKER_H
#define MP4HOST_ARCHIVE_WALKER_H

#include <mp4host/archive_limits.h>
#include <mp4host/archive_reader.h>
#include <strigi/streambase.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace mp4host {

class Pipeline;

// An entry, or an archive (the file itself, or an entry that is one).
struct ArchiveItem {
  // The archive's path, "/" and the entry's name inside it, made relative:
  // "/" at the start and "." and empty components left out.
  std::string path;
  int64_t size = -1;  // as the archive records it (-1: not recorded)
  bool hasTime = false;
  int64_t mtimeNs = 0;  // as the archive records it, in ns since 1970
  int depth = 0;        // 0: the file itself; 1: an entry of it; 2: one inside that...
};

// Takes what a walk finds, in archive order, each archive's entries (and
// those of archives inside them) before the archive itself.
class ArchiveSink {
 public:
  virtual ~ArchiveSink() = default;
  // A regular entry (folders, links and devices are passed over): analysed
  // when error is empty, and then the pipeline's values() and warnings()
  // hold what it gave; otherwise why it was not.
  virtual void entry(const ArchiveItem& item, const std::string& error) = 0;
  // The end of an archive: error is empty when every entry was read, else
  // why the rest could not be (the archive cannot be opened, is damaged or
  // cut short, or passed a limit).
  virtual void archiveEnd(const ArchiveItem& archive, const std::string& error) = 0;
};

// One per pipeline; keeps its readers and streams from file to file.
class ArchiveWalker {
 public:
  ArchiveWalker(Pipeline& pipeline, const ArchiveLimits& limits);
  ~ArchiveWalker();
  ArchiveWalker(const ArchiveWalker&) = delete;
  ArchiveWalker& operator=(const ArchiveWalker&) = delete;

  // When the regular file open on fd (file.size bytes) is an archive,
  // hands its entries and then itself to sink and returns true; returns
  // false, having handed nothing, when it is none (it is then analysed as
  // any file is). The descriptor stays the caller's.
  bool walk(int fd, const ArchiveItem& file, ArchiveSink& sink);

 private:
  struct Level;
  // Where an archive is: the bytes [offset, offset + length) of the file
  // open on fd, or (fd -1) an entry stream.
  struct Source {
    ArchiveKind kind;
    int fd;
    int64_t offset, length;
    Strigi::InputStream* stream;
  };
  enum class Walked { Archive, NotAnArchive };

  Walked walkArchive(int depth, const Source& source, const ArchiveItem& archive);
  void walkEntry(int depth, Level& here, int fd, const ArchiveItem& archive);
  bool walkNested(int depth, const Source& source, const ArchiveItem& item);
  Level& level(int depth);

  Pipeline& m_pipeline;
  ArchiveLimits m_limits;
  std::vector<std::unique_ptr<Level>> m_levels;
  ArchiveBudget* m_budget;
  ArchiveSink* m_sink;
};

}  // namespace mp4host

#endif
