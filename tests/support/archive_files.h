// Archives made in memory with libarchive's writer, for tests and fuzz
// seeds: no archiving tool is needed to run them.
#ifndef MP4TEST_ARCHIVE_FILES_H
#define MP4TEST_ARCHIVE_FILES_H

#include <string>
#include <vector>

namespace hosttest {

struct Member {
  enum Kind { File, Folder, Symlink };
  std::string name;
  std::string data;  // a file's bytes, a link's target
  Kind kind = File;
};

// format: "zip" (deflated), "zip-stored", "zip-encrypted" (PKWARE
// encryption, passphrase "secret"), "7z", "tar" (pax) or "raw" (one
// file's bytes, to be compressed by the filter); filter: "",
// "gzip", "bzip2", "xz" or "zstd". Names are bytes as given (7z: UTF-8,
// which it stores as UTF-16).
std::string packArchive(const std::string& format, const std::vector<Member>& members,
                        const std::string& filter = "");

}  // namespace hosttest

#endif
