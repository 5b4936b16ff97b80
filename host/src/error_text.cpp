#include <mp4host/error_text.h>
#include <string.h>

namespace mp4host {

std::string errorText(int err) {
  char buffer[256];
  // The GNU strerror_r returns the text, which need not be in buffer.
  return strerror_r(err, buffer, sizeof buffer);
}

}  // namespace mp4host
