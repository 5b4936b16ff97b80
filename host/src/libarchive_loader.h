// libarchive, loaded when the first archive is opened, so that a run that
// meets no archive (every search of an index) does not pay for loading it
// and the libraries it needs. The functions of libarchive that the archive
// reader calls are defined in libarchive_loader.cpp with libarchive's own
// names and signatures, each passing the call on to the loaded library.
#ifndef MP4HOST_LIBARCHIVE_LOADER_H
#define MP4HOST_LIBARCHIVE_LOADER_H

#include <string>

namespace mp4host {

// Loads libarchive on the first call. False, with *error ready for the
// user, when it cannot be loaded; no other function of libarchive may be
// called then.
bool loadLibarchive(std::string* error);

}  // namespace mp4host

#endif
