// An input stream over a regular file, for analyzers that ask for every byte
// from the start of the file up to the end of the part they look at.
#ifndef MP4HOST_FILE_STREAM_H
#define MP4HOST_FILE_STREAM_H

#include <strigi/streambase.h>

#include <cstddef>
#include <cstdint>

namespace mp4host {

// Serves reads from a heap buffer filled with pread. A request that only
// steps over media data (it ends at the end of a top-level "mdat" box whose
// header the last request ended with) gets a view instead: the file up to
// the page where the request ends is mapped read-only, right in front of a
// window into which the bytes from that page on are read with pread, so that
// the view is contiguous from position 0 (media data that runs to the end of
// the file is mapped with its last page, and nothing is read). Media data is
// thus never read nor faulted in, and what comes after it (a movie box, the
// next fragment) is read into the window. Every other request, however far
// it reaches up to kMaxRead, is read: a movie box is never faulted in
// through a mapping, and no byte that an analyzer looks at lies in a mapping
// of the file.
//
// Files that change while they are read: a pread that finds the file
// shorter than at open puts the stream in the Error status (see below);
// mapped bytes are only those nobody reads, so a file cut short under its
// mapping raises no SIGBUS unless a reader touches its media data (or a box
// of more than kMaxRead bytes, or any byte of a file beyond kViewSpan, which
// is mapped whole).
//
// The untouched mapping costs no TLB flush when it goes: unmapping touched
// pages interrupts every other processor that runs the process's threads,
// which with several workers costs more than all the rest of the work on a
// small file. The view's address space and the window are kept from file to
// file, and so is the mapping of a file of up to kStaleMapped bytes, until a
// later file's view maps over it: a closed file may stay mapped (holding the
// file) until then or until the stream is destroyed, at most kStalePieces
// files at a time.
//
// Random access: reset succeeds for every position from 0 to the size, and
// the size is known from the start. A pointer from read stays valid until
// the next read, whatever reset or skip happen in between. A failed pread
// (or a file that turns out shorter than its size at open) puts the stream
// in the Error status for good: read returns -2 and error() says why.
//
// One stream serves many files in turn (open, read..., close), keeping its
// buffers, so a worker analysing many files allocates once.
class FileInputStream : public Strigi::InputStream {
 public:
  FileInputStream();
  ~FileInputStream() override;
  FileInputStream(const FileInputStream&) = delete;
  FileInputStream& operator=(const FileInputStream&) = delete;

  // Starts reading the regular file open for reading on fd, whose size is
  // size bytes, or (offset) the size bytes at offset of it, such as an entry
  // stored in an archive, which is then served as a file of its own. The
  // descriptor stays the caller's and must stay open until close().
  void open(int fd, int64_t size, int64_t offset = 0);
  // Forgets the file; keeps a small buffer, the view's space and window,
  // and (see above) maybe the view's mapping for reuse.
  void close();

  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t skip(int64_t ntoskip) override;
  int64_t reset(int64_t pos) override;

  // What serves reads at the moment: the buffer, a view, or a mapping of
  // the whole file.
  enum class Serving { Buffer, View, WholeFile };
  Serving serving() const {
    return m_map ? Serving::WholeFile : m_viewBase ? Serving::View : Serving::Buffer;
  }
  // With mapping off, every byte handed out is read into the buffer first,
  // as a plain buffered stream does (slow for large files; for checking the
  // mapped path against). On by default; set it between files.
  void setMapping(bool allowed) { m_mapAllowed = allowed; }
  // The system calls made so far, over all files: preads, and calls that
  // change the address space (mmap, munmap, madvise; not those that give
  // the space up after a failed mapping). What a request pattern costs, for
  // tests and benchmarks.
  struct Calls {
    int64_t reads = 0, maps = 0;
  };
  const Calls& calls() const { return m_calls; }

  // Tuning: the first read fills kInitialRead bytes of the buffer, and each
  // read goes on to the end of the file's page that holds kReadAhead bytes
  // past the request (the next box header), no further: with the kernel's
  // read-ahead off for the file (open asks for that), a read of a cold file
  // fetches the pages the analyzer needs and about one more per file. (A
  // step over media data that ends less than 256 KiB before the end of the
  // file reads the rest of the file at once: the analyzer asks for all of
  // it next.) Requests are read up to kMaxRead bytes from the buffer's or the
  // window's start. Measured on tagged songs and 200 MB movies: a first
  // read of 64 KiB cost a third more than 4 KiB, since most files need a
  // view soon after for their media data.
  static constexpr int64_t kInitialRead = 4 * 1024;
  static constexpr int64_t kReadAhead = 8;
  static constexpr int64_t kMaxRead = 64 * 1024 * 1024;
  // Views reach positions up to kViewSpan; the window holds kWindowSize
  // bytes (address space only, until read into). Beyond, the whole file is
  // mapped as it is.
  static constexpr int64_t kViewSpan = 16LL * 1024 * 1024 * 1024;
  static constexpr int64_t kWindowSize = kMaxRead + 64 * 1024;
  static constexpr int kStalePieces = 8;
  static constexpr int64_t kStaleMapped = 64 * 1024 * 1024;

 private:
  const char* fetch(int64_t pos, int64_t need, int64_t* available);
  bool fetchIntoView(int64_t pos, int64_t end, bool stepOver);
  bool stepsOverMediaData(int64_t end) const;
  bool makeView(int64_t end, bool stepOver);
  bool fillWindow(int64_t end);
  void dropView(bool done);
  bool reserveSpace();
  void abandonSpace(int64_t holeLength);
  bool mapWholeFile();
  bool extendBuffer(int64_t end);
  bool refillBuffer(int64_t pos, int64_t end);
  bool reserve(size_t capacity);
  int64_t pageStartAt(int64_t pos) const;
  int64_t pageEndAt(int64_t pos) const;
  bool preadFully(char* to, int64_t offset, int64_t length);
  void fail(const char* what, int err);

  int m_fd;
  int64_t m_offset;  // file offset of position 0
  int64_t m_lead;    // how far position 0 lies into its page of the file
  char* m_buffer;
  size_t m_capacity;
  int64_t m_bufferOffset;  // file offset of m_buffer[0]
  int64_t m_buffered;      // bytes held from m_bufferOffset on
  int64_t m_lastEnd;       // where the last request ended
  bool m_mapAllowed;
  // The view's address space: kViewSpan bytes for mappings (no access
  // while unused), then the window (read-write).
  char* m_space;
  char* m_window;
  int64_t m_windowUsed;  // the most of the window used for one file
  // The current view: file byte x is at m_viewBase + x for every x below
  // m_viewEnd (and the file's size); the bytes before m_viewMapped are
  // mapped, the rest read into the window. m_viewBase is null without a
  // view.
  const char* m_viewBase;
  int64_t m_viewMapped;
  int64_t m_viewEnd;
  // Mappings of earlier files left in front of the window: how far they
  // reach and in how many pieces.
  int64_t m_staleMapped;
  int m_stalePieces;
  // A whole-file mapping, for views that cannot be had.
  const char* m_map;
  size_t m_mapLength;
  Calls m_calls;
};

}  // namespace mp4host

#endif
