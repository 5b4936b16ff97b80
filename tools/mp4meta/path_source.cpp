#include "path_source.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <mp4host/error_text.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

using mp4host::errorText;

namespace mp4meta {

namespace {

std::string join(const std::string& dir, const char* name) {
  std::string path = dir;
  if (path.empty() || path.back() != '/') path += '/';
  path += name;
  return path;
}

}  // namespace

PathSource::PathSource(std::vector<std::string> paths, std::vector<std::string> lists,
                       char listSeparator)
    : m_paths(std::move(paths)), m_lists(std::move(lists)), m_separator(listSeparator) {}

PathSource::~PathSource() {
  if (m_list && m_list != stdin) std::fclose(m_list);
  std::free(m_line);
}

bool PathSource::next(Input* input) {
  for (;;) {
    if (!m_walk.empty()) {
      if (nextFromWalk(input)) return true;
      continue;
    }
    if (m_nextPath < m_paths.size()) {
      const std::string& path = m_paths[m_nextPath++];
      if (path == "-") {
        *input = Input{Input::Stdin, path, std::string()};
        return true;
      }
      if (named(path, input)) return true;
      continue;
    }
    if (m_list || m_nextList < m_lists.size()) {
      if (nextFromLists(input)) return true;
      continue;
    }
    return false;
  }
}

bool PathSource::named(const std::string& path, Input* input) {
  // Opened here, a regular file is looked up once, not by a stat here and
  // an open in the worker. Without blocking, as a named pipe would wait
  // for its writer; anything but a regular file is opened again by the
  // worker.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd >= 0) {
    struct stat st;
    const bool known = fstat(fd, &st) == 0;
    if (known && S_ISREG(st.st_mode)) {
      *input = Input{Input::File,
                     path,
                     std::string(),
                     fd,
                     static_cast<int64_t>(st.st_size),
                     int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec};
      return true;
    }
    close(fd);
    if (known && S_ISDIR(st.st_mode)) return !enter(path, input);
  } else if (errno != EMFILE && errno != ENFILE && errno != ENXIO && errno != EWOULDBLOCK) {
    *input = Input{Input::Failed, path, errorText(errno)};
    return true;
  }
  // Out of descriptors, or something that cannot be opened this way: as
  // before, by name.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    *input = Input{Input::Failed, path, errorText(errno)};
    return true;
  }
  if (S_ISDIR(st.st_mode)) return !enter(path, input);
  // Regular files, and also pipes and devices named on purpose.
  *input = Input{Input::File, path, std::string()};
  return true;
}

bool PathSource::enter(const std::string& path, Input* input) {
  DIR* dir = opendir(path.c_str());
  if (!dir) {
    *input = Input{Input::Failed, path, errorText(errno)};
    return false;
  }
  Level level;
  level.path = path;
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir);
    if (!entry) break;
    const char* name = entry->d_name;
    if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'))) continue;
    if (level.names.size() > std::numeric_limits<uint32_t>::max()) break;
    level.entries.emplace_back(static_cast<uint32_t>(level.names.size()), entry->d_type);
    level.names.append(name, std::strlen(name) + 1);
  }
  const int err = errno;
  closedir(dir);
  if (err != 0) {
    *input = Input{Input::Failed, path, errorText(err)};
    return false;
  }
  const char* names = level.names.data();
  std::sort(level.entries.begin(), level.entries.end(),
            [names](const std::pair<uint32_t, unsigned char>& a,
                    const std::pair<uint32_t, unsigned char>& b) {
              return std::strcmp(names + a.first, names + b.first) < 0;
            });
  m_walk.push_back(std::move(level));
  return true;
}

bool PathSource::nextFromWalk(Input* input) {
  while (!m_walk.empty()) {
    Level& level = m_walk.back();
    if (level.index == level.entries.size()) {
      m_walk.pop_back();
      continue;
    }
    const auto& entry = level.entries[level.index++];
    std::string path = join(level.path, level.names.data() + entry.first);
    unsigned char type = entry.second;
    if (type == DT_UNKNOWN || type == DT_LNK) {
      struct stat st;
      if (lstat(path.c_str(), &st) != 0) continue;  // gone since the listing
      if (S_ISLNK(st.st_mode)) {
        // A link counts as the regular file it leads to; a link to a
        // directory, a dangling link or a loop is passed over.
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        type = DT_REG;
      } else {
        type = S_ISREG(st.st_mode) ? DT_REG : S_ISDIR(st.st_mode) ? DT_DIR : DT_UNKNOWN;
      }
    }
    if (type == DT_REG) {
      *input = Input{Input::File, std::move(path), std::string()};
      return true;
    }
    if (type == DT_DIR && !enter(path, input)) return true;
  }
  return false;
}

bool PathSource::nextFromLists(Input* input) {
  if (!m_list) {
    m_listName = m_lists[m_nextList++];
    if (m_listName == "-") {
      m_list = stdin;
    } else {
      m_list = std::fopen(m_listName.c_str(), "re");
      if (!m_list) {
        *input = Input{Input::ListFailed, m_listName, errorText(errno)};
        return true;
      }
    }
  }
  for (;;) {
    errno = 0;
    const ssize_t n = getdelim(&m_line, &m_lineCapacity, m_separator, m_list);
    if (n < 0) {
      const bool failed = std::ferror(m_list) != 0;
      const int err = errno;
      if (m_list != stdin) std::fclose(m_list);
      m_list = nullptr;
      if (failed) {
        *input = Input{Input::ListFailed, m_listName, errorText(err != 0 ? err : EIO)};
        return true;
      }
      return false;
    }
    size_t length = static_cast<size_t>(n);
    if (length > 0 && m_line[length - 1] == m_separator) --length;
    if (length == 0) continue;
    // Every line is a path as written, "-" included. A directory's walk
    // goes on in next().
    return named(std::string(m_line, length), input);
  }
}

}  // namespace mp4meta
