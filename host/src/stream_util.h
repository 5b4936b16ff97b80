// Helpers shared by the stream implementations.
#ifndef MP4HOST_STREAM_UTIL_H
#define MP4HOST_STREAM_UTIL_H

#include <mp4host/error_text.h>

#include <cstdint>
#include <limits>
#include <string>

namespace mp4host {
namespace detail {

// A stream's error message: what failed, and the errno text when err is
// not 0.
inline std::string errorMessage(const char* what, int err) {
  std::string message = what;
  if (err != 0) message += ": " + errorText(err);
  return message;
}

// How many of the available bytes a read(min, max) hands out: all of them
// (the caller made sure that is at least min, or all that is left), but
// never more than max unless max < min (no upper limit), and never more
// than a 32-bit count.
inline int32_t readCount(int32_t min, int32_t max, int64_t available) {
  int64_t n = available;
  if (max >= min && n > max) n = max;
  if (n > std::numeric_limits<int32_t>::max()) n = std::numeric_limits<int32_t>::max();
  return static_cast<int32_t>(n);
}

}  // namespace detail
}  // namespace mp4host

#endif
