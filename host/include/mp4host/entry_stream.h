// An input stream over bytes that can only be had in order, in blocks (an
// archive entry as the decompressor delivers it), with random access back
// to position 0 for analyzers.
#ifndef MP4HOST_ENTRY_STREAM_H
#define MP4HOST_ENTRY_STREAM_H

#include <mp4host/archive_limits.h>
#include <strigi/streambase.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace mp4host {

// Where an entry's bytes come from.
class BlockSource {
 public:
  virtual ~BlockSource() = default;
  // The next block: *length bytes at *data that belong at *offset of the
  // entry (past a gap, the bytes between are zeros: a sparse entry). The
  // bytes stay valid until the next call. Returns 1 for a block, 0 at the
  // end of the entry, -1 on failure (blockError() says why).
  virtual int nextBlock(const char** data, size_t* length, int64_t* offset) = 0;
  virtual std::string blockError() const = 0;
};

// Keeps every byte taken from the source since position 0: in memory up to
// the budget's memoryBytes, beyond that all of them in an unlinked
// temporary file in TMPDIR (or /tmp), served through a read-only mapping of
// it, so memory stays bounded whatever an analyzer asks for. Bytes are taken
// only as far as a read or a reset asks.
//
// The size is the one the archive records (-1 when it records none, until
// the end is reached). reset and skip go to any position up to the size,
// taking bytes up to there. A pointer from read stays valid until the next
// read, reset or skip. A failing source, an entry shorter or longer than
// its recorded size, or a limit (maxEntryBytes, the budget's temporary-file
// bytes, the archive file's limits) puts the stream in the Error status for
// good, error() saying why.
class EntryInputStream : public Strigi::InputStream {
 public:
  EntryInputStream();
  ~EntryInputStream() override;
  EntryInputStream(const EntryInputStream&) = delete;
  EntryInputStream& operator=(const EntryInputStream&) = delete;

  // Starts an entry; source and budget stay the caller's until close().
  void open(BlockSource& source, int64_t recordedSize, ArchiveBudget& budget);
  // Forgets the entry; keeps the memory buffer (at most memoryBytes) and
  // the temporary file (emptied) for the next.
  void close();

  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t skip(int64_t ntoskip) override;
  int64_t reset(int64_t pos) override;

  // Whether the bytes are held in the temporary file; what the stream holds.
  bool spilled() const { return m_inTemp; }
  int64_t held() const { return m_held; }

 private:
  bool takeUpTo(int64_t end);
  bool room(int64_t end);
  bool takeTemp(int64_t bytes);
  bool append(const char* data, size_t length);
  bool appendZeros(int64_t length);
  bool spill();
  bool mapped(int64_t end);
  void unmap();
  bool fail(const std::string& message);

  BlockSource* m_source;
  ArchiveBudget* m_budget;
  bool m_ended;  // the source said the entry ends
  int64_t m_held;
  char* m_buffer;
  size_t m_capacity;
  int m_tempFd;
  bool m_inTemp;        // the bytes are in the temporary file, not the buffer
  int64_t m_tempTaken;  // bytes taken from the budget's temporary bytes
  const char* m_map;    // the temporary file's first m_mapLength bytes
  size_t m_mapLength;
};

}  // namespace mp4host

#endif
