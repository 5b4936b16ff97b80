#include "streams.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstring>

namespace mp4test {

namespace {

// How many items a read asks for: max, or min when max < min means "no
// upper limit" (delivering exactly min is then allowed).
int64_t wanted(int32_t min, int32_t max) { return std::max<int64_t>(0, max < min ? min : max); }

}  // namespace

FreshBufferStream::FreshBufferStream(std::string bytes) : bytes_(std::move(bytes)) {
  m_size = static_cast<int64_t>(bytes_.size());
}

int32_t FreshBufferStream::read(const char*& start, int32_t min, int32_t max) {
  buffer_.reset();
  if (m_status == Strigi::Error) return -2;
  const int64_t total = static_cast<int64_t>(bytes_.size());
  const int64_t limit = failAt_ >= 0 ? std::min(failAt_, total) : total;
  const int64_t n = std::min(wanted(min, max), std::max<int64_t>(0, limit - m_position));
  const bool failing = failAt_ >= 0 && n < wanted(min, max) && m_position + n == failAt_;
  if (n == 0 && !failing && m_position >= total) {
    m_status = Strigi::Eof;
    if (!sizeHidden_) m_size = total;
    return -1;
  }
  buffer_.reset(new char[n > 0 ? n : 1]);
  std::memcpy(buffer_.get(), bytes_.data() + m_position, static_cast<size_t>(n));
  start = buffer_.get();
  m_position += n;
  furthest_ = std::max(furthest_, m_position);
  if (failing) {
    m_status = Strigi::Error;
    m_error = "read failed";
    return n > 0 ? static_cast<int32_t>(n) : -2;
  }
  if (m_position == total) {
    m_status = Strigi::Eof;
    if (!sizeHidden_) m_size = total;
  }
  return static_cast<int32_t>(n);
}

int64_t FreshBufferStream::reset(int64_t pos) {
  if (pos >= 0 && pos <= furthest_) {
    m_position = pos;
    m_status = Strigi::Ok;
  }
  return m_position;
}

SparseStream::SparseStream(int64_t size, Resets resets) : resets_(resets) { m_size = size; }

SparseStream::~SparseStream() { release(); }

void SparseStream::place(int64_t offset, const std::string& bytes) {
  islands_.emplace_back(offset, bytes);
}

void SparseStream::release() {
  if (mapping_) munmap(mapping_, mappingLength_);
  mapping_ = nullptr;
}

int32_t SparseStream::read(const char*& start, int32_t min, int32_t max) {
  release();
  if (m_status == Strigi::Error) return -2;
  if (m_position >= m_size) {
    m_status = Strigi::Eof;
    return -1;
  }
  const int64_t n = std::min(wanted(min, max), m_size - m_position);
  if (resets_ != WithinLastRead && n > (16 << 20)) {
    m_status = Strigi::Error;
    m_error = "read too large for a test stream";
    return -2;
  }
  mappingLength_ = static_cast<size_t>(std::max<int64_t>(n, 1));
  mapping_ = mmap(nullptr, mappingLength_, PROT_READ | PROT_WRITE,
                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping_ == MAP_FAILED) {
    mapping_ = nullptr;
    m_status = Strigi::Error;
    m_error = "cannot map a read buffer";
    return -2;
  }
  char* const buffer = static_cast<char*>(mapping_);
  for (const auto& island : islands_) {
    const int64_t from = std::max(island.first, m_position);
    const int64_t to =
        std::min(island.first + static_cast<int64_t>(island.second.size()), m_position + n);
    if (from < to) {
      std::memcpy(buffer + (from - m_position), island.second.data() + (from - island.first),
                  static_cast<size_t>(to - from));
    }
  }
  start = buffer;
  windowStart_ = m_position;
  m_position += n;
  windowEnd_ = m_position;
  furthest_ = std::max(furthest_, m_position);
  if (m_position == m_size) m_status = Strigi::Eof;
  return static_cast<int32_t>(n);
}

int64_t SparseStream::reset(int64_t pos) {
  const int64_t lowest = resets_ == WithinLastRead ? windowStart_ : 0;
  const int64_t highest = resets_ == Anywhere         ? m_size
                          : resets_ == WithinLastRead ? windowEnd_
                                                      : furthest_;
  if (pos >= lowest && pos <= highest) {
    m_position = pos;
    m_status = pos == m_size ? Strigi::Eof : Strigi::Ok;
  }
  return m_position;
}

}  // namespace mp4test
