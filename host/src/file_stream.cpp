#include <errno.h>
#include <fcntl.h>
#include <mp4host/file_stream.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "stream_util.h"

namespace mp4host {

namespace {

int64_t pageSize() {
  static const int64_t page = sysconf(_SC_PAGESIZE);
  return page;
}

int64_t pageStart(int64_t offset) { return offset / pageSize() * pageSize(); }

// Keeps more of the buffer or of the window than this only while a file
// needs it. Movie boxes of a few MB are common (the box grows with the
// number of samples), and a window given back after each such file is
// faulted in again, page by page, by the next: for a 5 MB box that cost
// fifteen times what reading it does.
constexpr int64_t kKeptBuffer = 8 * 1024 * 1024;
constexpr int64_t kKeptWindow = 8 * 1024 * 1024;

// At most this much after the media data a view steps over is read at once
// when it runs to the end of the file.
constexpr int64_t kTailRead = 256 * 1024;

}  // namespace

FileInputStream::FileInputStream()
    : m_fd(-1),
      m_offset(0),
      m_lead(0),
      m_buffer(nullptr),
      m_capacity(0),
      m_bufferOffset(0),
      m_buffered(0),
      m_lastEnd(0),
      m_mapAllowed(true),
      m_space(nullptr),
      m_window(nullptr),
      m_windowUsed(0),
      m_viewBase(nullptr),
      m_viewMapped(0),
      m_viewEnd(0),
      m_staleMapped(0),
      m_stalePieces(0),
      m_map(nullptr),
      m_mapLength(0) {
  m_size = 0;
}

FileInputStream::~FileInputStream() {
  close();
  if (m_space) munmap(m_space, static_cast<size_t>(kViewSpan + kWindowSize));
  std::free(m_buffer);
}

void FileInputStream::open(int fd, int64_t size, int64_t offset) {
  close();
  m_fd = fd;
  m_offset = offset < 0 ? 0 : offset;
  m_lead = m_offset - pageStart(m_offset);
  m_size = size < 0 ? 0 : size;
  // Reads are sized to what the analyzers ask for; the kernel's read-ahead
  // would turn the small reads next to media data into large ones (several
  // MB of media data from disk per file on a cold cache).
  posix_fadvise(fd, 0, 0, POSIX_FADV_RANDOM);
  m_position = 0;
  m_status = Strigi::Ok;
  m_error.clear();
}

void FileInputStream::close() {
  dropView(true);
  if (m_map) {
    ++m_calls.maps;
    munmap(const_cast<char*>(m_map) - m_lead, m_mapLength + static_cast<size_t>(m_lead));
    m_map = nullptr;
    m_mapLength = 0;
  }
  // A buffer or window that grew large for one file is not kept for the
  // next.
  if (m_capacity > static_cast<size_t>(kKeptBuffer)) {
    std::free(m_buffer);
    m_buffer = nullptr;
    m_capacity = 0;
  }
  if (m_windowUsed > kKeptWindow) {
    ++m_calls.maps;
    madvise(m_window, static_cast<size_t>(kWindowSize), MADV_DONTNEED);
  }
  m_windowUsed = 0;
  m_fd = -1;
  m_offset = 0;
  m_lead = 0;
  m_bufferOffset = 0;
  m_buffered = 0;
  m_lastEnd = 0;
  m_size = 0;
  m_position = 0;
}

void FileInputStream::fail(const char* what, int err) {
  m_status = Strigi::Error;
  m_error = detail::errorMessage(what, err);
}

int32_t FileInputStream::read(const char*& start, int32_t min, int32_t max) {
  if (m_status == Strigi::Error) return -2;
  const int64_t left = m_size - m_position;
  if (left <= 0) {
    m_status = Strigi::Eof;
    return -1;
  }
  const int64_t need = std::min<int64_t>(min < 1 ? 1 : min, left);
  int64_t available = 0;
  const char* data = fetch(m_position, need, &available);
  if (!data) return -2;
  const int32_t n = detail::readCount(min, max, std::min(available, left));
  start = data;
  m_position += n;
  if (m_position == m_size) m_status = Strigi::Eof;
  return n;
}

int64_t FileInputStream::skip(int64_t ntoskip) {
  if (m_status == Strigi::Error || ntoskip <= 0) return 0;
  const int64_t n = std::min(ntoskip, m_size - m_position);
  m_position += n;
  if (m_position == m_size) m_status = Strigi::Eof;
  return n;
}

int64_t FileInputStream::reset(int64_t pos) {
  if (pos < 0 || pos > m_size) return m_position;
  m_position = pos;
  if (m_status != Strigi::Error) m_status = pos == m_size ? Strigi::Eof : Strigi::Ok;
  return m_position;
}

// Makes the bytes [pos, pos + need) available and returns a pointer to pos;
// *available tells how many bytes from there may be used. The caller has
// checked that pos + need <= size.
const char* FileInputStream::fetch(int64_t pos, int64_t need, int64_t* available) {
  const int64_t end = pos + need;
  const bool stepOver = stepsOverMediaData(end);
  m_lastEnd = end;
  if (m_viewBase) {
    if (end > m_viewEnd && !fetchIntoView(pos, end, stepOver)) return nullptr;
  } else if (!m_map) {
    const int64_t bufferEnd = m_bufferOffset + m_buffered;
    const bool inBuffer = pos >= m_bufferOffset && end <= bufferEnd;
    const bool adjoins = pos >= m_bufferOffset && pos <= bufferEnd;
    if (!inBuffer) {
      bool ok;
      if (adjoins && !stepOver && end - m_bufferOffset <= kMaxRead) {
        ok = extendBuffer(end);
      } else if (m_mapAllowed && (makeView(end, stepOver) || mapWholeFile())) {
        ok = m_status != Strigi::Error;
      } else {
        // Some files cannot be mapped; read them into the buffer.
        ok = adjoins ? extendBuffer(end) : refillBuffer(pos, end);
      }
      if (!ok) return nullptr;
    }
  }
  if (m_map) {
    *available = static_cast<int64_t>(m_mapLength) - pos;
    return m_map + pos;
  }
  if (m_viewBase) {
    *available = m_viewEnd - pos;
    return m_viewBase + pos;
  }
  *available = m_bufferOffset + m_buffered - pos;
  return m_buffer + (pos - m_bufferOffset);
}

// Serves a request that ends past the view: the window reads on unless the
// request steps over media data or the window cannot hold it; then the view
// moves there.
bool FileInputStream::fetchIntoView(int64_t pos, int64_t end, bool stepOver) {
  if (!stepOver && end - m_viewMapped <= kWindowSize) return fillWindow(end);
  dropView(false);
  if (makeView(end, stepOver)) return m_status != Strigi::Error;
  return mapWholeFile() || refillBuffer(pos, end);
}

// Sets up a view for a request that ends at end: its window starts at the
// page where the request ends. A step over media data that runs to the end
// of the file maps the file's last page as well: nothing after it is to be
// read, so the view needs no read at all. False, with nothing changed, when
// the request lies beyond the views' reach or no address space can be had;
// true with the stream in the Error status when the window cannot be read.
bool FileInputStream::makeView(int64_t end, bool stepOver) {
  const bool toTheEnd = stepOver && end == m_size;
  const int64_t windowStart =
      std::max<int64_t>(toTheEnd ? pageEndAt(end) : pageStartAt(end - 1), 0);
  // The mapping starts at the page that holds position 0.
  const int64_t mapped = windowStart > 0 ? windowStart + m_lead : 0;
  if (mapped > kViewSpan) return false;
  if (!m_space && !reserveSpace()) return false;
  if (mapped > 0) {
    // MAP_FIXED replaces reserved pages of the stream's own space only.
    ++m_calls.maps;
    void* p = mmap(m_window - mapped, static_cast<size_t>(mapped), PROT_READ,
                   MAP_PRIVATE | MAP_FIXED, m_fd, m_offset - m_lead);
    if (p == MAP_FAILED) {
      abandonSpace(mapped);
      return false;
    }
  }
  m_viewBase = m_window - windowStart;
  m_viewMapped = windowStart;
  m_viewEnd = windowStart;
  // What follows media data near the end of a file (a movie box, tags) is
  // all asked for next: one read gets it.
  if (!toTheEnd) fillWindow(m_size - end <= kTailRead ? m_size : end);
  return true;
}

// Reads into the window from the end of the view to at least end (and on
// to the end of the page that holds the next box header, as far as the file
// and the window go).
bool FileInputStream::fillWindow(int64_t end) {
  const int64_t target =
      std::min({m_size, pageEndAt(end + kReadAhead), m_viewMapped + kWindowSize});
  if (!preadFully(m_window + (m_viewEnd - m_viewMapped), m_viewEnd, target - m_viewEnd)) {
    return false;
  }
  m_viewEnd = target;
  m_windowUsed = std::max(m_windowUsed, target - m_viewMapped);
  return true;
}

// Ends the view. Its mapping stays in place, and the next view maps over
// it, which saves a call per file. When the file is done (done), the space
// is reserved again if the mappings left over are larger than kStaleMapped
// or in more than kStalePieces pieces; a view that moves on within its file
// never resets the space: the next view of a file with many media-data
// boxes maps over the last at once, one call per box.
void FileInputStream::dropView(bool done) {
  if (m_viewBase && m_viewMapped > 0) {
    if (m_viewMapped + m_lead >= m_staleMapped) {
      m_staleMapped = m_viewMapped + m_lead;
      m_stalePieces = 1;
    } else {
      ++m_stalePieces;
    }
  }
  if (done && m_space && (m_staleMapped > kStaleMapped || m_stalePieces > kStalePieces)) {
    ++m_calls.maps;
    void* p = mmap(m_window - m_staleMapped, static_cast<size_t>(m_staleMapped), PROT_NONE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    if (p == MAP_FAILED) {
      abandonSpace(m_staleMapped);
    } else {
      m_staleMapped = 0;
      m_stalePieces = 0;
    }
  }
  m_viewBase = nullptr;  // m_viewMapped and m_viewEnd mean nothing without it
}

// Whether a request for [.., end) only steps over a media-data box: whether
// the last request ended just past the header of a top-level "mdat" box (in
// bytes read, not mapped) that ends at end. Boxes are the one thing this
// stream knows of the files it serves: what lies in such a box is read by no
// analyzer, so it is mapped and never touched instead of read. Any other
// request is read, however far it reaches, up to kMaxRead.
bool FileInputStream::stepsOverMediaData(int64_t end) const {
  // The header is 8 bytes, or 16 with a 64-bit size (size field 1). The
  // last request was served by what serves reads now, so its bytes are
  // there up to m_lastEnd.
  for (const int64_t length : {8, 16}) {
    const int64_t header = m_lastEnd - length;
    const char* h = nullptr;
    if (header < 0) {
      continue;
    } else if (m_viewBase && header >= m_viewMapped) {
      h = m_viewBase + header;
    } else if (!m_viewBase && !m_map && header >= m_bufferOffset) {
      h = m_buffer + (header - m_bufferOffset);
    }
    if (!h || h[4] != 'm' || h[5] != 'd' || h[6] != 'a' || h[7] != 't') continue;
    uint64_t size = 0;
    for (int i = 0; i < 4; ++i) size = (size << 8) | static_cast<unsigned char>(h[i]);
    if (length == 16) {
      if (size != 1) continue;
      size = 0;
      for (int i = 8; i < 16; ++i) size = (size << 8) | static_cast<unsigned char>(h[i]);
    }
    if ((size == 0 && end == m_size) ||
        static_cast<uint64_t>(header) + size == static_cast<uint64_t>(end))
      return true;
  }
  return false;
}

bool FileInputStream::reserveSpace() {
  // Only where the address space is far larger than the reach of views.
  if (sizeof(void*) < 8) return false;
  const size_t total = static_cast<size_t>(kViewSpan + kWindowSize);
  ++m_calls.maps;
  void* p = mmap(nullptr, total, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) return false;
  m_space = static_cast<char*>(p);
  m_window = m_space + kViewSpan;
  ++m_calls.maps;
  void* w = mmap(m_window, static_cast<size_t>(kWindowSize), PROT_READ | PROT_WRITE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  if (w == MAP_FAILED) {
    ++m_calls.maps;
    munmap(m_space, total);
    m_space = nullptr;
    m_window = nullptr;
    return false;
  }
  return true;
}

// Gives the space up after a mapping call on the holeLength bytes in front
// of the window failed, which may have left them unmapped (and another
// thread may have mapped something there since): everything else of the
// space is unmapped, the hole is left as it is. Called with no view.
void FileInputStream::abandonSpace(int64_t holeLength) {
  const size_t before = static_cast<size_t>(kViewSpan - holeLength);
  if (before > 0) munmap(m_space, before);
  munmap(m_window, static_cast<size_t>(kWindowSize));
  m_space = nullptr;
  m_window = nullptr;
  m_staleMapped = 0;
  m_stalePieces = 0;
  m_windowUsed = 0;
}

// Called only with mapping allowed and a request inside the file.
bool FileInputStream::mapWholeFile() {
  ++m_calls.maps;
  void* p = mmap(nullptr, static_cast<size_t>(m_size + m_lead), PROT_READ, MAP_PRIVATE, m_fd,
                 m_offset - m_lead);
  if (p == MAP_FAILED) return false;
  m_map = static_cast<const char*>(p) + m_lead;
  m_mapLength = static_cast<size_t>(m_size);
  return true;
}

// Reads on from the end of the buffered bytes to at least end, on to the
// end of the page that holds the next box header when the file has more.
// Reads stay small: every byte read is a byte copied.
bool FileInputStream::extendBuffer(int64_t end) {
  const int64_t bufferEnd = m_bufferOffset + m_buffered;
  const int64_t target =
      std::min(m_size, pageEndAt(std::max(end + kReadAhead, m_bufferOffset + kInitialRead)));
  const int64_t length = target - m_bufferOffset;
  if (!reserve(static_cast<size_t>(length))) return false;
  if (!preadFully(m_buffer + m_buffered, bufferEnd, target - bufferEnd)) return false;
  m_buffered = length;
  return true;
}

bool FileInputStream::refillBuffer(int64_t pos, int64_t end) {
  const int64_t target =
      std::min(m_size, pageEndAt(std::max(end + kReadAhead, pos + kInitialRead)));
  if (!reserve(static_cast<size_t>(target - pos))) return false;
  m_bufferOffset = pos;
  if (!preadFully(m_buffer, pos, target - pos)) return false;
  m_buffered = target - pos;
  return true;
}

bool FileInputStream::reserve(size_t capacity) {
  if (capacity <= m_capacity) return true;
  size_t grown = std::max(capacity, m_capacity + m_capacity / 2);
  if (grown < static_cast<size_t>(kInitialRead)) grown = static_cast<size_t>(kInitialRead);
  void* p = std::realloc(m_buffer, grown);
  if (!p) {
    fail("out of memory", 0);
    return false;
  }
  m_buffer = static_cast<char*>(p);
  m_capacity = grown;
  return true;
}

// Page boundaries of the file, as stream positions: reads end at one (a
// page is what the disk delivers anyway, and no read fetches a page for a
// byte or two), and views map whole pages.
int64_t FileInputStream::pageStartAt(int64_t pos) const {
  return pageStart(m_offset + pos) - m_offset;
}

int64_t FileInputStream::pageEndAt(int64_t pos) const { return pageStartAt(pos + pageSize() - 1); }

bool FileInputStream::preadFully(char* to, int64_t offset, int64_t length) {
  while (length > 0) {
    ++m_calls.reads;
    const ssize_t n = pread(m_fd, to, static_cast<size_t>(length), m_offset + offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read error", errno);
      return false;
    }
    if (n == 0) {
      fail("file became shorter while being read", 0);
      return false;
    }
    to += n;
    offset += n;
    length -= n;
  }
  return true;
}

}  // namespace mp4host
