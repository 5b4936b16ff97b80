// What one archive file may cost when its entries are analysed: every bound
// of the archive code is here. README states them; a test or a fuzz target
// may pass smaller ones.
#ifndef MP4HOST_ARCHIVE_LIMITS_H
#define MP4HOST_ARCHIVE_LIMITS_H

#include <chrono>
#include <cstdint>
#include <string>

namespace mp4host {

struct ArchiveLimits {
  // Archives inside archives: the archive file itself is level 1; an entry
  // of a level-4 archive that is an archive is not opened (an error).
  int maxDepth = 4;
  // Entries of every kind, over all levels of one archive file.
  int64_t maxEntries = 1000000;
  // Bytes an entry's stream may decompress and keep for its analysis.
  int64_t maxEntryBytes = int64_t{4} << 30;
  // Bytes decompressed over all levels of one archive file (entries
  // analysed, and entries decompressed only to reach the next one); beyond
  // ratioFloor they must also stay within maxRatio times the bytes read
  // from the file, which real archives stay far below and bombs exceed.
  int64_t maxArchiveBytes = int64_t{64} << 30;
  int64_t ratioFloor = int64_t{1} << 30;
  int64_t maxRatio = 200;
  // An entry stream keeps this much in memory; past it, everything it holds
  // goes to an unlinked temporary file in TMPDIR.
  int64_t memoryBytes = int64_t{4} << 20;
  // The temporary files of one archive file's streams (one per level at
  // most), together.
  int64_t maxTempBytes = int64_t{4} << 30;
  // Wall-clock time for one archive file.
  int64_t maxSeconds = 600;
};

// The limits being spent by one archive file. Once a limit of the whole
// file is passed, every later check fails too, and exceeded() says which.
class ArchiveBudget {
 public:
  explicit ArchiveBudget(const ArchiveLimits& limits);

  const ArchiveLimits& limits() const { return m_limits; }
  const std::string& exceeded() const { return m_exceeded; }
  bool ok() const { return m_exceeded.empty(); }

  // One more entry; bytes decompressed; bytes read from the file (for the
  // ratio); the clock. Each returns false once a limit is passed.
  bool countEntry();
  bool chargeExpanded(int64_t bytes);
  void countInput(int64_t bytes) { m_input += bytes; }
  bool inTime();
  // Temporary-file bytes, taken and given back by the entry streams; a
  // refusal concerns one entry only and leaves ok() as it was.
  bool takeTemp(int64_t bytes);
  void giveBackTemp(int64_t bytes) { m_temp -= bytes; }

 private:
  bool fail(std::string reason);

  ArchiveLimits m_limits;
  std::chrono::steady_clock::time_point m_deadline;
  int64_t m_entries = 0;
  int64_t m_expanded = 0;
  int64_t m_input = 0;
  int64_t m_temp = 0;
  std::string m_exceeded;
};

}  // namespace mp4host

#endif
