// The input stream interface: a stream of items read through a buffer that
// the stream owns.
#ifndef STRIGI_STREAMBASE_H
#define STRIGI_STREAMBASE_H

#include <strigi/strigiconfig.h>

#include <string>

namespace Strigi {

enum StreamStatus { Ok, Eof, Error };

class STREAMS_EXPORT StreamBaseBase {
 protected:
  // Total size in items; -1 while the stream has not determined it.
  int64_t m_size;
  int64_t m_position;
  std::string m_error;
  StreamStatus m_status;

 public:
  StreamBaseBase() : m_size(-1), m_position(0), m_status(Ok) {}
  virtual ~StreamBaseBase() {}
  const char* error() const { return m_error.c_str(); }
  StreamStatus status() const { return m_status; }
  int64_t position() const { return m_position; }
  int64_t size() const { return m_size; }
};

template <class T>
class StreamBase : public StreamBaseBase {
 public:
  StreamBase() {}
  ~StreamBase() override {}
  // Points start at the items at the current position and advances the
  // position by the returned count: at least min items unless the end is
  // reached or an error occurs, never more than max (no upper limit when
  // max < min). Returns -1 when the end had already been reached, -2 on
  // error. start stays valid until the next call other than the accessors.
  virtual int32_t read(const T*& start, int32_t min, int32_t max) = 0;
  // Skips up to ntoskip items; returns the count skipped.
  virtual int64_t skip(int64_t ntoskip);
  // Moves to pos; only guaranteed within the data of the last read. Returns
  // the new position, so success means the result equals pos.
  virtual int64_t reset(int64_t pos) = 0;
};

template <class T>
int64_t StreamBase<T>::skip(int64_t ntoskip) {
  const T* begin;
  int64_t skipped = 0;
  while (ntoskip > 0) {
    const int32_t step = ntoskip > 10000000 ? 10000000 : static_cast<int32_t>(ntoskip);
    const int32_t n = read(begin, 1, step);
    if (n <= 0) break;
    ntoskip -= n;
    skipped += n;
  }
  return skipped;
}

typedef StreamBase<char> InputStream;

}  // namespace Strigi

#endif
