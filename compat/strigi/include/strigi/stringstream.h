// A stream over items in memory.
#ifndef STRIGI_STRINGSTREAM_H
#define STRIGI_STRINGSTREAM_H

#include <strigi/streambase.h>

#include <cstring>

namespace Strigi {

// Reads from length items at value (length -1: up to the first zero item),
// copied when copy is true, otherwise borrowed for the stream's lifetime.
// Its whole data is its buffer: reset succeeds for every position from 0
// to the size.
template <class T>
class StringStream : public StreamBase<T> {
 public:
  explicit StringStream(const T* value, int32_t length = -1, bool copy = true)
      : m_owned(nullptr), m_data(value) {
    if (length < 0) {
      length = 0;
      while (value[length]) ++length;
    }
    this->m_size = length;
    if (copy) {
      m_owned = new T[length > 0 ? length : 1];
      if (length > 0) std::memcpy(m_owned, value, sizeof(T) * static_cast<size_t>(length));
      m_data = m_owned;
    }
  }
  ~StringStream() override { delete[] m_owned; }
  StringStream(const StringStream&) = delete;
  StringStream& operator=(const StringStream&) = delete;

  int32_t read(const T*& start, int32_t min, int32_t max) override {
    if (this->m_status == Error) return -2;
    const int64_t left = this->m_size - this->m_position;
    if (left <= 0) {
      this->m_status = Eof;
      return -1;
    }
    int64_t n = (max < min || max > left) ? left : max;
    start = m_data + this->m_position;
    this->m_position += n;
    if (this->m_position == this->m_size) this->m_status = Eof;
    return static_cast<int32_t>(n);
  }

  int64_t skip(int64_t ntoskip) override {
    const int64_t left = this->m_size - this->m_position;
    const int64_t n = ntoskip < 0 ? 0 : (ntoskip > left ? left : ntoskip);
    this->m_position += n;
    if (this->m_position == this->m_size) this->m_status = Eof;
    return n;
  }

  int64_t reset(int64_t pos) override {
    if (pos >= 0 && pos <= this->m_size) {
      this->m_position = pos;
      this->m_status = pos == this->m_size ? Eof : Ok;
    }
    return this->m_position;
  }

 private:
  T* m_owned;
  const T* m_data;
};

typedef StringStream<char> StringInputStream;

}  // namespace Strigi

#endif
