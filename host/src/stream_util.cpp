#include "stream_util.h"

#include <string.h>

namespace mp4host {
namespace detail {

std::string errorText(int err) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

}  // namespace detail
}  // namespace mp4host
