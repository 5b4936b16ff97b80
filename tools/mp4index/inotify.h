// The kernel's inotify interface, as the watcher uses it: watches on
// folders, and their events read without waiting.
#ifndef MP4INDEX_INOTIFY_H
#define MP4INDEX_INOTIFY_H

#include <cstdint>
#include <string>
#include <vector>

namespace mp4index {

class Inotify {
 public:
  struct Event {
    int wd;
    uint32_t mask;
    uint32_t cookie;
    std::string name;  // of the entry, empty for the watched folder itself
  };

  // Throws std::system_error when the kernel gives no instance.
  Inotify();
  ~Inotify();
  Inotify(const Inotify&) = delete;
  Inotify& operator=(const Inotify&) = delete;

  int fd() const { return m_fd; }
  // The watch on folder path (its entries' changes, its own removal and
  // move); a symbolic link is followed only when followLink. -1 with errno
  // set when it cannot be watched (ENOSPC: the watch limit).
  int watchFolder(const std::string& path, bool followLink);
  void unwatch(int wd);
  // Appends every event that can be read now; false (errno set) when the
  // read failed for another reason than there being none.
  bool read(std::vector<Event>* events);

 private:
  int m_fd;
};

}  // namespace mp4index

#endif
