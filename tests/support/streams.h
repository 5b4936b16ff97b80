// Input streams for tests. Each read hands out a fresh heap buffer of
// exactly the bytes delivered and frees the previous one, so that
// AddressSanitizer catches a read past the delivered bytes or through a
// pointer kept from an earlier read.
#ifndef MP4TEST_STREAMS_H
#define MP4TEST_STREAMS_H

#include <strigi/streambase.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace mp4test {

// Bytes in memory, behaving like a buffered stream: reset is accepted
// anywhere between 0 and the furthest position read so far.
class FreshBufferStream : public Strigi::InputStream {
 public:
  explicit FreshBufferStream(std::string bytes);
  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t reset(int64_t pos) override;
  // The furthest position any read has reached.
  int64_t furthest() const { return furthest_; }

 protected:
  // Size stays -1 until a read reaches the end, or for good.
  void hideSize(bool forever) {
    m_size = -1;
    sizeHidden_ = forever;
  }
  // Reads stop at this byte with status Error.
  void failAt(int64_t offset) { failAt_ = offset; }

 private:
  std::string bytes_;
  std::unique_ptr<char[]> buffer_;
  int64_t failAt_ = -1;
  bool sizeHidden_ = false;
  int64_t furthest_ = 0;
};

// A stream that reports size -1 until a read has reached its end, as
// streams over archive members and decompressors do; with learnsSize false
// it never tells its size.
class UnknownSizeStream : public FreshBufferStream {
 public:
  explicit UnknownSizeStream(std::string bytes, bool learnsSize = true)
      : FreshBufferStream(std::move(bytes)) {
    hideSize(!learnsSize);
  }
};

// A stream whose reads fail at byte offset: the read that would pass it
// delivers the bytes before it (fewer than asked) and sets status Error;
// later reads return -2. With knownSize false the size stays -1.
class FailingStream : public FreshBufferStream {
 public:
  FailingStream(std::string bytes, int64_t offset, bool knownSize = true)
      : FreshBufferStream(std::move(bytes)) {
    failAt(offset);
    if (!knownSize) hideSize(false);
  }
};

// A stream of any size that serves zeros except where bytes were placed,
// without allocating its size: for files beyond 2 GiB. It knows its size.
// Reset goes anywhere in [0, size], or up to the furthest position read
// (like a buffered stream), or only within the bytes of the last read (the
// letter of the interface). Reads get fresh zero pages that cost nothing
// until touched; but for the last kind, reads of more than 16 MiB fail.
class SparseStream : public Strigi::InputStream {
 public:
  enum Resets { Anywhere, UpToFurthest, WithinLastRead };
  SparseStream(int64_t size, Resets resets);
  ~SparseStream() override;
  SparseStream(const SparseStream&) = delete;
  SparseStream& operator=(const SparseStream&) = delete;
  void place(int64_t offset, const std::string& bytes);
  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t reset(int64_t pos) override;

 private:
  void release();

  std::vector<std::pair<int64_t, std::string>> islands_;
  Resets resets_;
  void* mapping_ = nullptr;
  size_t mappingLength_ = 0;
  int64_t windowStart_ = 0;
  int64_t windowEnd_ = 0;
  int64_t furthest_ = 0;
};

}  // namespace mp4test

#endif
