#include "inotify.h"

#include <errno.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <system_error>

namespace mp4index {

namespace {

// What a folder's watch reports: entries made, written, closed after
// writing, changed in their attributes (permissions, times), moved and
// deleted; the folder's own removal and move.
constexpr uint32_t kFolderEvents = IN_CREATE | IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE |
                                   IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE | IN_DELETE_SELF |
                                   IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;

}  // namespace

Inotify::Inotify() : m_fd(inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
  if (m_fd < 0) throw std::system_error(errno, std::generic_category(), "inotify");
}

Inotify::~Inotify() { close(m_fd); }

int Inotify::watchFolder(const std::string& path, bool followLink) {
  return inotify_add_watch(m_fd, path.c_str(),
                           followLink ? kFolderEvents : kFolderEvents | IN_DONT_FOLLOW);
}

void Inotify::unwatch(int wd) { inotify_rm_watch(m_fd, wd); }

bool Inotify::read(std::vector<Event>* events) {
  alignas(inotify_event) char buffer[65536];
  ssize_t n;
  while ((n = ::read(m_fd, buffer, sizeof buffer)) > 0) {
    // The kernel hands over whole events only, each name padded with zero bytes.
    for (ssize_t at = 0; at < n;) {
      const auto* e = reinterpret_cast<const inotify_event*>(buffer + at);
      events->push_back(Event{e->wd, e->mask, e->cookie, e->len ? std::string(e->name) : ""});
      at += sizeof(inotify_event) + e->len;
    }
  }
  // The descriptor never blocks: nothing more to read now.
  return errno == EAGAIN;
}

}  // namespace mp4index
