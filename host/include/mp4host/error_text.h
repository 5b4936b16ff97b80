// The text of errno values, for messages that name the reason of a failure.
#ifndef MP4HOST_ERROR_TEXT_H
#define MP4HOST_ERROR_TEXT_H

#include <string>

namespace mp4host {

// The text of an errno value, safe to call from several threads.
std::string errorText(int err);

}  // namespace mp4host

#endif
