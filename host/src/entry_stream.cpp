#include <errno.h>
#include <fcntl.h>
#include <mp4host/entry_stream.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "stream_util.h"

namespace mp4host {

namespace {

// The first of the buffer's sizes, so that small entries cost one small
// allocation.
constexpr size_t kInitialBuffer = 64 * 1024;

// An unlinked file in TMPDIR (or /tmp): nothing of it is left when it is
// closed, however the process ends.
int openTempFile() {
  const char* dir = std::getenv("TMPDIR");
  if (!dir || !*dir) dir = "/tmp";
  int fd = ::open(dir, O_TMPFILE | O_RDWR | O_EXCL | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without O_TMPFILE (a missing folder fails here too).
  std::string pattern = std::string(dir) + "/mp4meta-entry-XXXXXX";
  fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd >= 0) unlink(pattern.c_str());
  return fd;
}

bool writeAll(int fd, const char* data, size_t length, int64_t offset) {
  while (length > 0) {
    const ssize_t n = pwrite(fd, data, length, offset);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    length -= static_cast<size_t>(n);
    offset += n;
  }
  return true;
}

}  // namespace

EntryInputStream::EntryInputStream()
    : m_source(nullptr),
      m_budget(nullptr),
      m_ended(true),
      m_held(0),
      m_buffer(nullptr),
      m_capacity(0),
      m_tempFd(-1),
      m_inTemp(false),
      m_tempTaken(0),
      m_map(nullptr),
      m_mapLength(0) {
  m_size = 0;
}

EntryInputStream::~EntryInputStream() {
  close();
  if (m_tempFd >= 0) ::close(m_tempFd);
  std::free(m_buffer);
}

void EntryInputStream::open(BlockSource& source, int64_t recordedSize, ArchiveBudget& budget) {
  close();
  m_source = &source;
  m_budget = &budget;
  m_size = recordedSize < 0 ? -1 : recordedSize;
  m_ended = m_size == 0;
  m_position = 0;
  m_status = m_ended ? Strigi::Eof : Strigi::Ok;
  m_error.clear();
}

void EntryInputStream::close() {
  unmap();
  if (m_tempTaken > 0 && ftruncate(m_tempFd, 0) != 0) {
    ::close(m_tempFd);
    m_tempFd = -1;
  }
  if (m_budget) m_budget->giveBackTemp(m_tempTaken);
  m_tempTaken = 0;
  m_inTemp = false;
  m_source = nullptr;
  m_budget = nullptr;
  m_ended = true;
  m_held = 0;
  m_size = 0;
  m_position = 0;
}

bool EntryInputStream::fail(const std::string& message) {
  if (m_status != Strigi::Error) {
    m_status = Strigi::Error;
    m_error = message;
  }
  return false;
}

int32_t EntryInputStream::read(const char*& start, int32_t min, int32_t max) {
  if (m_status == Strigi::Error) return -2;
  if (!takeUpTo(m_position + (min < 1 ? 1 : min))) return -2;
  const int64_t available = m_held - m_position;
  if (available <= 0) {
    m_status = Strigi::Eof;
    return -1;
  }
  const int32_t n = detail::readCount(min, max, available);
  if (m_inTemp && !mapped(m_position + n)) return -2;
  start = (m_inTemp ? m_map : m_buffer) + m_position;
  m_position += n;
  if (m_ended && m_position == m_held) m_status = Strigi::Eof;
  return n;
}

int64_t EntryInputStream::skip(int64_t ntoskip) {
  if (m_status == Strigi::Error || ntoskip <= 0) return 0;
  const int64_t from = m_position;
  takeUpTo(m_position + ntoskip);
  m_position = std::min(m_position + ntoskip, m_held);
  if (m_status != Strigi::Error && m_ended && m_position == m_held) m_status = Strigi::Eof;
  return m_position - from;
}

int64_t EntryInputStream::reset(int64_t pos) {
  if (pos < 0 || (m_size >= 0 && pos > m_size)) return m_position;
  if (pos > m_held && (!takeUpTo(pos) || pos > m_held)) return m_position;
  m_position = pos;
  if (m_status != Strigi::Error) {
    m_status = m_ended && pos == m_held ? Strigi::Eof : Strigi::Ok;
  }
  return m_position;
}

// Takes blocks until the stream holds end bytes (or the whole entry, if it
// is shorter). An entry whose recorded size is reached is complete.
bool EntryInputStream::takeUpTo(int64_t end) {
  if (m_size >= 0) end = std::min(end, m_size);
  while (m_held < end && !m_ended) {
    const char* data = nullptr;
    size_t length = 0;
    int64_t offset = 0;
    const int got = m_source->nextBlock(&data, &length, &offset);
    if (got < 0) return fail(m_source->blockError());
    if (got == 0) {
      m_ended = true;
      if (m_size >= 0 && m_held != m_size) {
        return fail("the entry ends after " + std::to_string(m_held) + " of its " +
                    std::to_string(m_size) + " bytes");
      }
      m_size = m_held;
      break;
    }
    if (offset < m_held) return fail("the entry's data comes out of order");
    if (offset > m_held && !appendZeros(offset - m_held)) return false;
    if (!append(data, length)) return false;
    if (m_held == m_size) m_ended = true;
  }
  return m_status != Strigi::Error;
}

// Whether the entry may grow to end bytes.
bool EntryInputStream::room(int64_t end) {
  if (m_size >= 0 && end > m_size) {
    return fail("the entry holds more than its recorded " + std::to_string(m_size) + " bytes");
  }
  const int64_t limit = m_budget->limits().maxEntryBytes;
  if (end > limit) {
    return fail("the entry needs more than " + std::to_string(limit) +
                " bytes decompressed (the limit)");
  }
  return true;
}

bool EntryInputStream::takeTemp(int64_t bytes) {
  if (!m_budget->takeTemp(bytes)) {
    return fail("the entry needs more than " + std::to_string(m_budget->limits().maxTempBytes) +
                " bytes of temporary file (the limit)");
  }
  m_tempTaken += bytes;
  return true;
}

bool EntryInputStream::append(const char* data, size_t length) {
  const int64_t end = m_held + static_cast<int64_t>(length);
  if (!room(end)) return false;
  const int64_t memory = m_budget->limits().memoryBytes;
  if (!m_inTemp && end <= memory) {
    if (static_cast<size_t>(end) > m_capacity) {
      const size_t grown =
          std::min(std::max({static_cast<size_t>(end), m_capacity * 2, kInitialBuffer}),
                   static_cast<size_t>(memory));
      void* p = std::realloc(m_buffer, grown);
      if (!p) return fail("out of memory");
      m_buffer = static_cast<char*>(p);
      m_capacity = grown;
    }
    if (length > 0) std::memcpy(m_buffer + m_held, data, length);
    m_held = end;
    return true;
  }
  if ((!m_inTemp && !spill()) || !takeTemp(static_cast<int64_t>(length))) return false;
  if (!writeAll(m_tempFd, data, length, m_held)) {
    return fail(detail::errorMessage("cannot write the temporary file", errno));
  }
  m_held = end;
  return true;
}

// Zeros of a sparse entry: in the buffer, or a hole in the temporary file.
bool EntryInputStream::appendZeros(int64_t length) {
  static const char kZeros[4096] = {};
  if (!m_inTemp && m_held + length <= m_budget->limits().memoryBytes) {
    while (length > 0) {
      const size_t n = static_cast<size_t>(std::min<int64_t>(length, sizeof kZeros));
      if (!append(kZeros, n)) return false;
      length -= static_cast<int64_t>(n);
    }
    return true;
  }
  const int64_t end = m_held + length;
  if (!room(end) || (!m_inTemp && !spill()) || !takeTemp(length)) return false;
  if (ftruncate(m_tempFd, end) != 0) {
    return fail(detail::errorMessage("cannot write the temporary file", errno));
  }
  m_held = end;
  return true;
}

// Moves what the buffer holds into the temporary file, which holds the
// entry from then on.
bool EntryInputStream::spill() {
  if (m_tempFd < 0) m_tempFd = openTempFile();
  if (m_tempFd < 0) return fail(detail::errorMessage("cannot make a temporary file", errno));
  if (!takeTemp(m_held)) return false;
  if (!writeAll(m_tempFd, m_buffer, static_cast<size_t>(m_held), 0)) {
    return fail(detail::errorMessage("cannot write the temporary file", errno));
  }
  m_inTemp = true;
  return true;
}

// Maps the temporary file from its start to at least end (all it holds).
bool EntryInputStream::mapped(int64_t end) {
  if (static_cast<int64_t>(m_mapLength) >= end) return true;
  unmap();
  void* p = mmap(nullptr, static_cast<size_t>(m_held), PROT_READ, MAP_SHARED, m_tempFd, 0);
  if (p == MAP_FAILED) return fail(detail::errorMessage("cannot map the temporary file", errno));
  m_map = static_cast<const char*>(p);
  m_mapLength = static_cast<size_t>(m_held);
  return true;
}

void EntryInputStream::unmap() {
  if (m_map) munmap(const_cast<char*>(m_map), m_mapLength);
  m_map = nullptr;
  m_mapLength = 0;
}

}  // namespace mp4host
