// Reads the entries of an archive with libarchive: zip, 7z and tar, plain
// or compressed with gzip, bzip2, xz or zstd; no other format or filter,
// and never an external program.
#ifndef MP4HOST_ARCHIVE_READER_H
#define MP4HOST_ARCHIVE_READER_H

#include <mp4host/archive_limits.h>
#include <mp4host/entry_stream.h>
#include <strigi/streambase.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

struct archive;

namespace mp4host {

// What the bytes at the start of a file show it to be: a zip, a 7z, or a
// tar, plain or in gzip, bzip2, xz or zstd data (which may turn out to hold
// no tar). kSniffBytes are enough to tell. Each kind is opened with its
// format alone: libarchive's zip reader, which looks for a central
// directory at the end, would otherwise decompress a whole tar.gz to find
// it is none.
constexpr size_t kSniffBytes = 512;
enum class ArchiveKind { None, Zip, SevenZip, Tar };
ArchiveKind archiveKind(const char* head, size_t length);

struct ArchiveEntryInfo {
  std::string name;       // as the archive stores it, bytes unchanged
  bool nameRead = false;  // false: the name could not be converted
  int64_t size = -1;      // as recorded; -1 when the archive records none
  bool hasTime = false;
  int64_t mtimeNs = 0;   // the modification time recorded, in ns since 1970
  bool regular = false;  // a regular file (not a folder, link or device)
  bool encrypted = false;
};

// One archive at a time; open, next()..., close. Every read checks the
// budget's clock, and the bytes decompressed through nextBlock are charged
// to it.
class ArchiveReader : public BlockSource {
 public:
  ArchiveReader();
  ~ArchiveReader() override;
  ArchiveReader(const ArchiveReader&) = delete;
  ArchiveReader& operator=(const ArchiveReader&) = delete;

  enum class Opened { Archive, NotAnArchive, Failed };
  // The archive in the bytes [offset, offset + length) of the regular file
  // open on fd (which stays the caller's), read with pread.
  Opened open(int fd, int64_t offset, int64_t length, ArchiveKind kind, ArchiveBudget& budget);
  // The archive that stream holds, from its position 0; moved about when
  // the format seeks (zip's central directory, 7z's header).
  Opened open(Strigi::InputStream& stream, ArchiveKind kind, ArchiveBudget& budget);
  void close();

  // Reads the next entry's header: false at the end, or on failure with
  // error() saying why (empty at the end). Where getting there decompresses
  // the rest of the entry before (a compressed tar, 7z), that is read
  // through nextBlock, so that it is charged.
  bool next();
  const ArchiveEntryInfo& entry() const { return m_entry; }
  const std::string& error() const { return m_error; }

  // Whether the current entry's bytes lie, unchanged and in one piece, in
  // the file (not compressed, encrypted or sparse), and at which offset.
  // Asked before the entry's first nextBlock.
  bool storedAt(int64_t* offset);

  // The current entry's bytes. A failure that concerns the entry alone (a
  // damaged member of a zip) leaves the next entries readable.
  int nextBlock(const char** data, size_t* length, int64_t* offset) override;
  std::string blockError() const override { return m_entryError.empty() ? m_error : m_entryError; }

 private:
  struct Source {
    int fd = -1;
    int64_t base = 0;
    int64_t length = -1;  // -1: a stream of unknown size
    Strigi::InputStream* stream = nullptr;
    int64_t position = 0;
    bool sequential = false;  // the last read followed the one before
    std::vector<char> buffer;
    int64_t blockStart = -1;  // the position of buffer[0]
    size_t blockLength = 0;
    size_t blockSize = 0;
  };
  struct Pending {
    bool held = false;
    int status = 0;
    const void* data = nullptr;
    size_t length = 0;
    int64_t offset = 0;
  };

  Opened start(ArchiveKind kind, ArchiveBudget& budget);
  std::string archiveError(const char* fallback) const;
  // libarchive's callbacks: the source's next block, a skip, a seek.
  friend struct ArchiveCallbacks;
  int64_t readSource(const void** out);
  int64_t skipSource(int64_t request);
  int64_t seekSource(int64_t offset, int whence);
  bool sourceFailed(const std::string& message);

  struct archive* m_archive;
  ArchiveBudget* m_budget;
  Source m_source;
  ArchiveEntryInfo m_entry;
  bool m_entrySparse = false;
  bool m_inEntry = false;  // a header was read: nextBlock reads its entry
  Pending m_pending;
  std::string m_error;       // the archive cannot be read on
  std::string m_entryError;  // the current entry cannot be read on
};

}  // namespace mp4host

#endif
