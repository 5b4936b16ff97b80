// An input stream over a descriptor that can only be read in order (a pipe,
// standard input, a character device).
#ifndef MP4HOST_BUFFERED_STREAM_H
#define MP4HOST_BUFFERED_STREAM_H

#include <strigi/streambase.h>

#include <cstddef>
#include <cstdint>

namespace mp4host {

// Keeps every byte read since position 0, since analyzers read from the
// start of the stream each time. The buffer grows on demand; the size is
// -1 until the end of the input has been seen. reset succeeds only within
// the bytes read so far; any other position leaves the stream where it is
// and returns that position. A read error puts the stream in the Error
// status for good. Reads wait for one byte more than they need (or the end
// of the input), so the size is known as soon as a read has taken the last
// byte.
class BufferedInputStream : public Strigi::InputStream {
 public:
  BufferedInputStream();
  ~BufferedInputStream() override;
  BufferedInputStream(const BufferedInputStream&) = delete;
  BufferedInputStream& operator=(const BufferedInputStream&) = delete;

  // Starts reading fd, which stays the caller's until close().
  void open(int fd);
  void close();

  int32_t read(const char*& start, int32_t min, int32_t max) override;
  int64_t skip(int64_t ntoskip) override;
  int64_t reset(int64_t pos) override;

  static constexpr int64_t kChunk = 64 * 1024;

 private:
  // Reads until more than end bytes are held or the input ends.
  bool fill(int64_t end);
  void fail(const char* what, int err);

  int m_fd;
  char* m_buffer;
  size_t m_capacity;
  int64_t m_filled;
  bool m_atEnd;
};

}  // namespace mp4host

#endif
