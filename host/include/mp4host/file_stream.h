// An input stream over a regular file, for analyzers that ask for every byte
// from the start of the file up to the end of the part they look at.
#ifndef MP4HOST_FILE_STREAM_H
#define MP4HOST_FILE_STREAM_H

#include <strigi/streambase.h>

#include <cstddef>
#include <cstdint>

namespace mp4host {

// Serves reads from a heap buffer filled with pread while the requests stay
// near the start of the file, and from a read-only mapping of the whole file
// once a request reaches far past what was read, so that large parts that
// the reader only steps over (media data) are never read or faulted in.
//
// Random access: reset succeeds for every position from 0 to the size, and
// the size is known from the start. A pointer from read stays valid until
// the next read, whatever reset or skip happen in between. A failed pread
// (or a file that turns out shorter than its size at open) puts the stream
// in the Error status for good: read returns -2 and error() says why.
//
// The mapping covers the size seen at open. A file truncated by someone else
// while mapped can still raise SIGBUS when a page past its new end is
// touched; the file is never written by this stream.
//
// One stream serves many files in turn (open, read..., close), keeping its
// buffer, so a worker analysing many files allocates once. Files of up to
// kRegionSize bytes are mapped side by side into address space that the
// stream reserves for itself, and unmapped kRegionFiles at a time with one
// call: every unmapping of touched pages flushes the TLB, and with several
// workers in one process interrupts the other processors too, which costs
// more than the rest of the work on a small file. So a closed file's
// mapping (and the pages of it that were touched) lives on until its batch
// is released, at the latest when the stream is destroyed.
class FileInputStream : public Strigi::InputStream {
 public:
  FileInputStream();
  ~FileInputStream() override;
  FileInputStream(const FileInputStream&) = delete;
  FileInputStream& operator=(const FileInputStream&) = delete;

  // Starts reading the regular file open for reading on fd, whose size is
  // size bytes. The descriptor stays the caller's and must stay open until
  // close().
  void open(int fd, int64_t size);
  // Forgets the file and drops the mapping; keeps a small buffer for reuse.
  void close();

  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t skip(int64_t ntoskip) override;
  int64_t reset(int64_t pos) override;

  // Whether reads are served from a mapping of the file.
  bool mapped() const { return m_map != nullptr; }
  // With mapping off, every byte handed out is read into the buffer first,
  // as a plain buffered stream does (slow for large files; for checking the
  // mapped path against). On by default; set it between files.
  void setMapping(bool allowed) { m_mapAllowed = allowed; }

  // Tuning: the first read fills this much of the buffer, and each later
  // one reads kReadAhead bytes past the end of the request (the next box
  // header is usually there); a request that ends further than kMaxGap past
  // the buffered bytes, or that would make the buffer hold more than
  // kMaxBuffered bytes, is served by the mapping. Measured on tagged songs
  // and 200 MB movies: a first read of 64 KiB cost a third more than 4 KiB,
  // since most files map soon after for their media data; and a movie box
  // of up to a few hundred KiB is cheaper to read than to fault in through
  // the mapping and unmap again, while media data of 400 KB and more is
  // cheaper to map.
  static constexpr int64_t kInitialRead = 4 * 1024;
  static constexpr int64_t kReadAhead = 4 * 1024;
  static constexpr int64_t kMaxGap = 256 * 1024;
  static constexpr int64_t kMaxBuffered = 1024 * 1024;
  static constexpr size_t kRegionSize = 64 * 1024 * 1024;
  static constexpr int kRegionFiles = 8;

 private:
  const char* fetch(int64_t pos, int64_t need, int64_t* available);
  bool mapFile();
  bool mapInRegion(size_t span);
  void releaseRegion();
  void abandonRegion(size_t holeStart, size_t holeLength);
  bool extendBuffer(int64_t end);
  bool refillBuffer(int64_t pos, int64_t end);
  bool reserve(size_t capacity);
  bool preadFully(char* to, int64_t offset, int64_t length);
  void fail(const char* what, int err);

  int m_fd;
  char* m_buffer;
  size_t m_capacity;
  int64_t m_bufferOffset;  // file offset of m_buffer[0]
  int64_t m_buffered;      // bytes held from m_bufferOffset on
  const char* m_map;
  size_t m_mapLength;
  bool m_mapAllowed;
  bool m_mapInRegion;  // m_map lies in the region and goes with it
  // kRegionSize bytes of address space: the mappings of m_regionFiles files
  // in the first m_regionUsed bytes, the rest reserved (no access).
  char* m_region;
  size_t m_regionUsed;
  int m_regionFiles;
};

}  // namespace mp4host

#endif
