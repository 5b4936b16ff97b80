#include <errno.h>
#include <mp4host/file_stream.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include "stream_util.h"

namespace mp4host {

FileInputStream::FileInputStream()
    : m_fd(-1),
      m_buffer(nullptr),
      m_capacity(0),
      m_bufferOffset(0),
      m_buffered(0),
      m_map(nullptr),
      m_mapLength(0),
      m_mapAllowed(true),
      m_mapInRegion(false),
      m_region(nullptr),
      m_regionUsed(0),
      m_regionFiles(0) {
  m_size = 0;
}

FileInputStream::~FileInputStream() {
  close();
  if (m_region) munmap(m_region, kRegionSize);
  std::free(m_buffer);
}

void FileInputStream::open(int fd, int64_t size) {
  close();
  m_fd = fd;
  m_size = size < 0 ? 0 : size;
  m_position = 0;
  m_status = Strigi::Ok;
  m_error.clear();
}

void FileInputStream::close() {
  if (m_map) {
    if (!m_mapInRegion) munmap(const_cast<char*>(m_map), m_mapLength);
    m_map = nullptr;
    m_mapLength = 0;
    m_mapInRegion = false;
  }
  // A buffer that grew large for one file (only without a mapping) is not
  // kept for the next.
  if (m_capacity > static_cast<size_t>(kMaxBuffered)) {
    std::free(m_buffer);
    m_buffer = nullptr;
    m_capacity = 0;
  }
  m_fd = -1;
  m_bufferOffset = 0;
  m_buffered = 0;
  m_size = 0;
  m_position = 0;
}

void FileInputStream::fail(const char* what, int err) {
  m_status = Strigi::Error;
  m_error = what;
  if (err != 0) {
    m_error += ": ";
    m_error += detail::errorText(err);
  }
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
  if (!m_map) {
    const int64_t bufferEnd = m_bufferOffset + m_buffered;
    const bool inBuffer = pos >= m_bufferOffset && end <= bufferEnd;
    const bool adjoins = pos >= m_bufferOffset && pos <= bufferEnd;
    if (!inBuffer) {
      bool ok;
      if (adjoins && end - bufferEnd <= kMaxGap && end - m_bufferOffset <= kMaxBuffered) {
        ok = extendBuffer(end);
      } else if (mapFile()) {
        ok = true;
      } else {
        // Some files cannot be mapped; read them whole into the buffer.
        ok = adjoins ? extendBuffer(end) : refillBuffer(pos, end);
      }
      if (!ok) return nullptr;
    }
  }
  if (m_map) {
    *available = static_cast<int64_t>(m_mapLength) - pos;
    return m_map + pos;
  }
  *available = m_bufferOffset + m_buffered - pos;
  return m_buffer + (pos - m_bufferOffset);
}

bool FileInputStream::mapFile() {
  if (m_size <= 0 || !m_mapAllowed) return false;
  const size_t length = static_cast<size_t>(m_size);
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  if (length <= kRegionSize && mapInRegion((length + page - 1) / page * page)) return true;
  void* p = mmap(nullptr, length, PROT_READ, MAP_PRIVATE, m_fd, 0);
  if (p == MAP_FAILED) return false;
  m_map = static_cast<const char*>(p);
  m_mapLength = length;
  return true;
}

// Maps the file at the next free place of the region (span bytes, whole
// pages), releasing the files mapped there before when it is full.
bool FileInputStream::mapInRegion(size_t span) {
  if (!m_region) {
    void* r =
        mmap(nullptr, kRegionSize, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (r == MAP_FAILED) return false;
    m_region = static_cast<char*>(r);
  }
  if (m_regionFiles >= kRegionFiles || span > kRegionSize - m_regionUsed) releaseRegion();
  if (!m_region) return false;
  // MAP_FIXED replaces reserved pages of the region, nothing else.
  void* p = mmap(m_region + m_regionUsed, static_cast<size_t>(m_size), PROT_READ,
                 MAP_PRIVATE | MAP_FIXED, m_fd, 0);
  if (p == MAP_FAILED) {
    abandonRegion(m_regionUsed, span);
    return false;
  }
  m_map = static_cast<const char*>(p);
  m_mapLength = static_cast<size_t>(m_size);
  m_mapInRegion = true;
  m_regionUsed += span;
  ++m_regionFiles;
  return true;
}

// Unmaps every file of the region with one call, by reserving their pages
// again.
void FileInputStream::releaseRegion() {
  if (m_regionUsed == 0) return;
  void* p = mmap(m_region, m_regionUsed, PROT_NONE,
                 MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
  if (p == MAP_FAILED) {
    abandonRegion(0, 0);
    return;
  }
  m_regionUsed = 0;
  m_regionFiles = 0;
}

// Gives the region up after a failed mapping call, which may have left a
// hole: everything but the hole is unmapped (the hole stays as it is, as
// another thread may have mapped something there since).
void FileInputStream::abandonRegion(size_t holeStart, size_t holeLength) {
  if (holeStart > 0) munmap(m_region, holeStart);
  const size_t rest = holeStart + holeLength;
  if (rest < kRegionSize) munmap(m_region + rest, kRegionSize - rest);
  m_region = nullptr;
  m_regionUsed = 0;
  m_regionFiles = 0;
}

// Reads on from the end of the buffered bytes to at least end, a little
// further when the file has more, so that the next box header is there too.
// Reads stay small: every byte read is a byte copied, and once a request
// reaches far ahead the mapping serves everything anyway.
bool FileInputStream::extendBuffer(int64_t end) {
  const int64_t bufferEnd = m_bufferOffset + m_buffered;
  const int64_t target =
      std::min(m_size, std::max(end + kReadAhead, m_bufferOffset + kInitialRead));
  const int64_t length = target - m_bufferOffset;
  if (!reserve(static_cast<size_t>(length))) return false;
  if (!preadFully(m_buffer + m_buffered, bufferEnd, target - bufferEnd)) return false;
  m_buffered = length;
  return true;
}

bool FileInputStream::refillBuffer(int64_t pos, int64_t end) {
  const int64_t target = std::min(m_size, std::max(end, pos + kInitialRead));
  if (!reserve(static_cast<size_t>(target - pos))) return false;
  m_bufferOffset = pos;
  m_buffered = 0;
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

bool FileInputStream::preadFully(char* to, int64_t offset, int64_t length) {
  while (length > 0) {
    const ssize_t n = pread(m_fd, to, static_cast<size_t>(length), offset);
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
