#include <errno.h>
#include <mp4host/buffered_stream.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <limits>

#include "stream_util.h"

namespace mp4host {

namespace {
// Reads are 32-bit counts from position 0, so no reader can ask for more.
constexpr int64_t kMaxHeld = std::numeric_limits<int32_t>::max();
// A buffer that grew larger than this for one input is not kept for the next.
constexpr size_t kKeptCapacity = 1024 * 1024;
}  // namespace

BufferedInputStream::BufferedInputStream()
    : m_fd(-1), m_buffer(nullptr), m_capacity(0), m_filled(0), m_atEnd(false) {}

BufferedInputStream::~BufferedInputStream() { std::free(m_buffer); }

void BufferedInputStream::open(int fd) {
  close();
  m_fd = fd;
  m_size = -1;
  m_position = 0;
  m_status = Strigi::Ok;
  m_error.clear();
}

void BufferedInputStream::close() {
  if (m_capacity > kKeptCapacity) {
    std::free(m_buffer);
    m_buffer = nullptr;
    m_capacity = 0;
  }
  m_fd = -1;
  m_filled = 0;
  m_atEnd = false;
  m_size = -1;
  m_position = 0;
}

void BufferedInputStream::fail(const char* what, int err) {
  m_status = Strigi::Error;
  m_error = detail::errorMessage(what, err);
}

bool BufferedInputStream::fill(int64_t end) {
  // One byte more than asked for, so that a reader that has asked for
  // everything learns the size at once: the analyzers stop at the end of
  // the stream only when they see its size.
  end = end < kMaxHeld ? end + 1 : kMaxHeld;
  while (m_filled < end && !m_atEnd) {
    if (static_cast<int64_t>(m_capacity) < end || m_filled == static_cast<int64_t>(m_capacity)) {
      int64_t grown = std::max<int64_t>({end, static_cast<int64_t>(m_capacity) * 2, kChunk});
      grown = std::min(grown, kMaxHeld);
      if (grown <= m_filled) break;
      void* p = std::realloc(m_buffer, static_cast<size_t>(grown));
      if (!p) {
        fail("out of memory", 0);
        return false;
      }
      m_buffer = static_cast<char*>(p);
      m_capacity = static_cast<size_t>(grown);
    }
    const ssize_t n = ::read(m_fd, m_buffer + m_filled, m_capacity - static_cast<size_t>(m_filled));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail("read error", errno);
      return false;
    }
    if (n == 0) {
      m_atEnd = true;
      m_size = m_filled;
    } else {
      m_filled += n;
    }
  }
  return true;
}

int32_t BufferedInputStream::read(const char*& start, int32_t min, int32_t max) {
  if (m_status == Strigi::Error) return -2;
  if (!fill(m_position + (min < 1 ? 1 : min))) return -2;
  const int64_t available = m_filled - m_position;
  if (available <= 0) {
    m_status = Strigi::Eof;
    return -1;
  }
  const int32_t n = detail::readCount(min, max, available);
  start = m_buffer + m_position;
  m_position += n;
  if (m_atEnd && m_position == m_filled) m_status = Strigi::Eof;
  return n;
}

int64_t BufferedInputStream::skip(int64_t ntoskip) {
  if (m_status == Strigi::Error || ntoskip <= 0) return 0;
  if (!fill(m_position + std::min(ntoskip, kMaxHeld))) return 0;
  const int64_t n = std::min(ntoskip, m_filled - m_position);
  m_position += n;
  if (m_atEnd && m_position == m_filled) m_status = Strigi::Eof;
  return n;
}

int64_t BufferedInputStream::reset(int64_t pos) {
  if (pos < 0 || pos > m_filled) return m_position;
  m_position = pos;
  if (m_status != Strigi::Error) {
    m_status = m_atEnd && pos == m_filled ? Strigi::Eof : Strigi::Ok;
  }
  return m_position;
}

}  // namespace mp4host
