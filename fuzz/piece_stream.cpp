#include "piece_stream.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace mp4fuzz {
namespace {

// Reads up to this size get a heap array; larger ones a mapping.
constexpr int64_t kLargestHeapRead = 16 << 20;

}  // namespace

PieceStream::PieceStream(const uint8_t* input, size_t length, const Options& options)
    : input_(input),
      inputLength_(length),
      options_(options),
      total_(static_cast<int64_t>(length) + options.holeLength) {
  if (options_.sizeKnown) m_size = total_;
}

PieceStream::~PieceStream() { release(); }

int32_t PieceStream::read(const char*& start, int32_t min, int32_t max) {
  if (m_status == Strigi::Error) return -2;
  if (m_position >= total_) {
    m_size = total_;
    m_status = Strigi::Eof;
    return -1;
  }
  int64_t count = std::max(min, 1);
  if (max >= min && count > max) count = max;
  count = std::min(count, total_ - m_position);
  if (options_.failAfter >= 0 && m_position + count > options_.failAfter) {
    m_status = Strigi::Error;
    m_error = "read error";
    return -2;
  }
  release();
  if (!allocate(count)) {
    m_status = Strigi::Error;
    m_error = "out of memory";
    return -2;
  }
  fill(buffer_, m_position, count);
  start = buffer_;
  windowStart_ = m_position;
  windowEnd_ = m_position + count;
  m_position = windowEnd_;
  if (m_position == total_) {
    m_size = total_;
    m_status = Strigi::Eof;
  }
  return static_cast<int32_t>(count);
}

int64_t PieceStream::reset(int64_t pos) {
  const bool inWindow = pos >= windowStart_ && pos <= windowEnd_;
  if (!inWindow && !(options_.seekable && pos >= 0 && pos <= total_)) return m_position;
  if (!inWindow) {
    release();
    windowStart_ = windowEnd_ = pos;
  }
  m_position = pos;
  m_status = pos == total_ ? Strigi::Eof : Strigi::Ok;
  return m_position;
}

// Copies the stream bytes [from, from + count) to out; the hole reads as
// zeros, which a fresh mapping already holds.
void PieceStream::fill(char* out, int64_t from, int64_t count) const {
  const int64_t holeAt = static_cast<int64_t>(std::min(options_.holeAt, inputLength_));
  const int64_t holeEnd = holeAt + options_.holeLength;
  const int64_t end = from + count;
  if (from < holeAt) {
    const int64_t n = std::min(end, holeAt) - from;
    std::memcpy(out, input_ + from, static_cast<size_t>(n));
  }
  if (mapping_ == nullptr && from < holeEnd && end > holeAt) {
    const int64_t first = std::max(from, holeAt);
    std::memset(out + (first - from), 0, static_cast<size_t>(std::min(end, holeEnd) - first));
  }
  if (end > holeEnd) {
    const int64_t first = std::max(from, holeEnd);
    std::memcpy(out + (first - from), input_ + (first - options_.holeLength),
                static_cast<size_t>(end - first));
  }
}

bool PieceStream::allocate(int64_t count) {
  if (count <= kLargestHeapRead) {
    buffer_ = new (std::nothrow) char[static_cast<size_t>(count)];
    return buffer_ != nullptr;
  }
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  const size_t data = (static_cast<size_t>(count) + page - 1) / page * page;
  void* mapping = mmap(nullptr, data + page, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (mapping == MAP_FAILED) return false;
  char* const base = static_cast<char*>(mapping);
  if (mprotect(base + data, page, PROT_NONE) != 0) {
    munmap(mapping, data + page);
    return false;
  }
  mapping_ = mapping;
  mappingLength_ = data + page;
  buffer_ = base + data - static_cast<size_t>(count);
  return true;
}

void PieceStream::release() {
  if (mapping_ != nullptr) {
    munmap(mapping_, mappingLength_);
    mapping_ = nullptr;
  } else {
    delete[] buffer_;
  }
  buffer_ = nullptr;
}

}  // namespace mp4fuzz
