// The watcher: two producers of "this path may have changed" (the walk of
// a tree, when it starts, after the kernel's queue overflowed and for the
// folders the watch limit leaves unwatched; and the inotify events) and one
// consumer, update(), run over the paths gathered.
#include "watch.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <malloc.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>
#include <unordered_map>
#include <unordered_set>

#include "inotify.h"
#include "store.h"

namespace mp4index {

namespace {

using Clock = std::chrono::steady_clock;

// Changes are gathered this long after the first before they are written,
// so that a burst (an album copied in) makes few transactions while a file
// is still found well within half a second of its close.
constexpr auto kBatchDelay = std::chrono::milliseconds(100);

int g_wake = -1;  // the write end of the pipe that StopSignals reads

extern "C" void onStopSignal(int) {
  const int saved = errno;
  // A full pipe is readable all the same.
  [[maybe_unused]] const ssize_t written = write(g_wake, "", sizeof "");
  errno = saved;
}

pollfd readable(int fd) {
  pollfd p = {};
  p.fd = fd;
  p.events = POLLIN;
  return p;
}

// SIGINT and SIGTERM stop the watcher: from the moment this is made (for
// the rest of the process, which ends with the watcher), either makes fd()
// readable for good.
class StopSignals {
 public:
  StopSignals() {
    if (pipe2(m_pipe, O_NONBLOCK | O_CLOEXEC) != 0) {
      throw std::system_error(errno, std::generic_category(), "pipe");
    }
    g_wake = m_pipe[1];
    struct sigaction action = {};
    action.sa_handler = onStopSignal;
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
  }
  int fd() const { return m_pipe[0]; }
  // Whether a stop signal came.
  bool received() const {
    pollfd p = readable(m_pipe[0]);
    return poll(&p, 1, 0) > 0;
  }

 private:
  int m_pipe[2];
};

std::string join(const std::string& dir, const std::string& name) {
  return dir == "/" ? "/" + name : dir + "/" + name;
}

// The number a file of /proc/sys holds; LONG_MAX when there is none.
long readNumber(const char* path) {
  std::ifstream in(path);
  long value{};
  in >> value;
  return in ? value : LONG_MAX;
}

// The setting that limits this process's inotify watches and its value:
// the system's, or its user namespace's when that is lower.
struct WatchLimit {
  const char* name = "fs.inotify.max_user_watches";
  long value = readNumber("/proc/sys/fs/inotify/max_user_watches");
  WatchLimit() {
    const long own = readNumber("/proc/sys/user/max_inotify_watches");
    if (own < value) {
      name = "user.max_inotify_watches";
      value = own;
    }
  }
};

const std::string& keyOf(const std::string& key) { return key; }
template <typename T>
const std::string& keyOf(const std::pair<const std::string, T>& entry) {
  return entry.first;
}

// The keys of a sorted container that lie under folder.
template <typename Sorted>
std::vector<std::string> keysUnder(const Sorted& sorted, const std::string& folder) {
  std::vector<std::string> keys;
  if (sorted.count(folder) != 0) keys.push_back(folder);
  const std::string prefix = folder == "/" ? folder : folder + "/";
  for (auto it = sorted.lower_bound(prefix);
       it != sorted.end() && keyOf(*it).compare(0, prefix.size(), prefix) == 0; ++it) {
    if (keyOf(*it) != folder) keys.push_back(keyOf(*it));
  }
  return keys;
}

class Watcher {
 public:
  Watcher(Store& store, const mp4host::PluginSet& plugins, const WatchSettings& settings,
          const StopSignals& stop)
      : m_store(store),
        m_plugins(plugins),
        m_settings(settings),
        m_rescanInterval(std::chrono::seconds(settings.rescanInterval)),
        m_quietPeriod(std::chrono::seconds(settings.quietPeriod)),
        m_stop(stop),
        m_roots(settings.update.roots) {}

  int run() {
    // Watched first, then walked: a change during the walk is seen.
    for (const std::string& root : m_roots) watchTree(root);
    reportUnwatched();
    UpdateCounts counts;
    runUpdate(m_roots, &counts);
    printCounts(counts, true);
    for (;;) {
      pollfd fds[] = {readable(m_inotify.fd()), readable(m_stop.fd())};
      if (poll(fds, 2, pollTimeout(Clock::now())) < 0 && errno != EINTR) {
        throw std::system_error(errno, std::generic_category(), "poll");
      }
      if (m_stop.received()) break;
      readEvents();
      const Clock::time_point now = Clock::now();
      expireQuiet(now);
      if (!m_unwatched.empty() && now >= m_nextRescan) rescanUnwatched(now);
      if (m_flushAt && now >= *m_flushAt) flush();
      if (m_roots.empty() && !m_flushAt) {
        std::fprintf(stderr, "mp4index: no watched folder is left\n");
        return 1;
      }
    }
    // What has been gathered is written, to the end; files still being
    // written are left for the next start, which analyses them whole.
    m_finishing = true;
    flush(true);
    return 0;
  }

 private:
  struct MovedFrom {
    std::string path;
    bool folder;
  };
  struct Writing {
    Clock::time_point last, due;
  };

  bool runUpdate(std::vector<std::string> roots, UpdateCounts* counts) {
    UpdateSettings settings = m_settings.update;
    settings.roots = std::move(roots);
    settings.rewritten.swap(m_written);
    settings.quietWhenGone = true;
    settings.interrupted = [this] { return !m_finishing && m_stop.received(); };
    const bool ok = update(m_store, m_plugins, settings, counts);
    // Between changes the watcher holds no more than its watches need: the
    // index's cache and the walk's memory go back to the system.
    m_store.releaseMemory();
    malloc_trim(0);
    return ok;
  }

  void printCounts(const UpdateCounts& c, bool always) {
    if (!always && c.added + c.changed + c.removed + c.failed == 0) return;
    std::printf("%llu added, %llu changed, %llu removed, %llu unchanged, %llu failed\n", c.added,
                c.changed, c.removed, c.unchanged, c.failed);
    std::fflush(stdout);
  }

  bool isRoot(const std::string& path) const {
    return std::find(m_roots.begin(), m_roots.end(), path) != m_roots.end();
  }

  // Watches folder and every folder below it. A folder that the watch
  // limit leaves unwatched is rescanned at intervals instead.
  void watchTree(const std::string& folder) {
    std::vector<std::string> stack{folder};
    while (!stack.empty()) {
      const std::string dir = std::move(stack.back());
      stack.pop_back();
      const int wd = m_inotify.watchFolder(dir, isRoot(dir));
      if (wd >= 0) {
        const auto [known, fresh] = m_dirOf.try_emplace(wd, dir);
        if (!fresh && known->second != dir) {
          // Watched under another path already: the same folder reached
          // twice (a bind mount, perhaps of a folder above), which the
          // first path keeps; or a folder moved here before its move was
          // read, or back into the trees after it left them, whose watches
          // come with it.
          if (sameFolder(known->second, dir)) continue;
          renameWatched(known->second, dir);
        }
        m_wdAt[dir] = wd;
        m_unwatched.erase(dir);
      } else if (errno == ENOSPC) {
        if (m_unwatched.empty()) m_nextRescan = Clock::now() + m_rescanInterval;
        m_unwatched.insert(dir);
      } else {
        continue;  // gone, or unreadable (the walk of update says so)
      }
      pushSubfolders(dir, &stack);
    }
  }

  // Whether two paths name one folder; never for a folder set aside.
  static bool sameFolder(const std::string& a, const std::string& b) {
    struct stat sa, sb;
    return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
           sa.st_ino == sb.st_ino;
  }

  // Where the watches of a folder moved out of the trees wait until the
  // move is settled: a name no path has (lstat of it fails), unique to the
  // move, so that a folder made at once in its place, or another moved
  // away from there, keeps watches of its own.
  static std::string setAside(uint32_t cookie, const std::string& path) {
    return std::string(1, '\0') + std::to_string(cookie) + path;
  }

  // Folders whose type the file system does not tell are pushed too: the
  // watch, made for folders only, sorts them out.
  static void pushSubfolders(const std::string& dir, std::vector<std::string>* stack) {
    const std::unique_ptr<DIR, int (*)(DIR*)> d(opendir(dir.c_str()), closedir);
    if (!d) return;
    while (const dirent* entry = readdir(d.get())) {
      const std::string_view name = entry->d_name;
      if (name == "." || name == "..") continue;
      if (entry->d_type == DT_DIR || entry->d_type == DT_UNKNOWN) {
        stack->push_back(join(dir, std::string(name)));
      }
    }
  }

  // Forgets the watches of folder and below; unwatch: ends them too (the
  // folder left the trees but lives on).
  void forget(const std::string& folder, bool unwatch) {
    for (const std::string& path : keysUnder(m_wdAt, folder)) {
      const int wd = m_wdAt[path];
      if (unwatch) m_inotify.unwatch(wd);
      m_dirOf.erase(wd);
      m_wdAt.erase(path);
    }
    for (const std::string& path : keysUnder(m_unwatched, folder)) m_unwatched.erase(path);
  }

  // A folder renamed (within the trees, or set aside): its watches (which
  // follow it) and its unwatched folders go with it. (Its files being
  // written are met again under their new paths by their next write or
  // close.)
  void renameWatched(const std::string& from, const std::string& to) {
    const auto renamed = [&](const std::string& path) { return to + path.substr(from.size()); };
    for (const std::string& path : keysUnder(m_wdAt, from)) {
      const int wd = m_wdAt[path];
      m_wdAt.erase(path);
      m_wdAt[renamed(path)] = wd;
      m_dirOf[wd] = renamed(path);
    }
    for (const std::string& path : keysUnder(m_unwatched, from)) {
      m_unwatched.erase(path);
      m_unwatched.insert(renamed(path));
    }
  }

  void lostRoot(const std::string& root, uint32_t mask) {
    std::fprintf(stderr,
                 "mp4index: %s: the watched folder was %s: it is no longer followed, and what is "
                 "stored under it is removed\n",
                 root.c_str(), mask & IN_MOVE_SELF ? "moved away" : "removed");
    forget(root, true);
    m_roots.erase(std::find(m_roots.begin(), m_roots.end(), root));
    changed(root);
  }

  void readEvents() {
    std::vector<Inotify::Event> events;
    if (!m_inotify.read(&events)) {
      throw std::system_error(errno, std::generic_category(), "reading the file events");
    }
    const Clock::time_point now = Clock::now();
    bool overflowed = false;
    for (const Inotify::Event& event : events) {
      if (event.mask & IN_Q_OVERFLOW) {
        overflowed = true;
      } else {
        handle(event, now);
      }
    }
    if (overflowed) resync();
  }

  void handle(const Inotify::Event& e, Clock::time_point now) {
    const auto known = m_dirOf.find(e.wd);
    if (known == m_dirOf.end()) return;  // a watch forgotten already
    const std::string dir = known->second;
    if (dir[0] != '/') return;  // set aside: it left the trees
    if (e.name.empty()) {
      // The folder itself: its parent reports its removal and moves, except
      // for a root's. (The end of its watch, IN_IGNORED, follows those, when
      // the watch is forgotten already.)
      if ((e.mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT)) && isRoot(dir)) {
        lostRoot(dir, e.mask);
      } else if (e.mask & IN_UNMOUNT) {
        changed(dir, now);
      }
      return;
    }
    const std::string path = join(dir, e.name);
    if (m_store.isOwnFile(path)) return;
    const bool folder = (e.mask & IN_ISDIR) != 0;
    if (e.mask & IN_MOVED_FROM) {
      // Held until its other half comes; alone, it left the trees.
      m_movedFrom[e.cookie] = MovedFrom{path, folder};
      if (folder) renameWatched(path, setAside(e.cookie, path));
      schedule(now);
    } else if (e.mask & IN_MOVED_TO) {
      movedTo(e.cookie, path, folder, now);
    } else if (folder) {
      // Made (watched at once, so that nothing copied in with it is
      // missed), deleted, or its permissions changed.
      if (e.mask & IN_DELETE) {
        forget(path, false);
      } else {
        watchTree(path);
      }
      changed(path, now);
    } else if (e.mask & (IN_CLOSE_WRITE | IN_DELETE)) {
      endWriting(path);
      if (e.mask & IN_CLOSE_WRITE) m_written.insert(path);
      changed(path, now);
    } else if ((e.mask & IN_MODIFY) || ((e.mask & IN_CREATE) && !createdWhole(path)) ||
               ((e.mask & IN_ATTRIB) && m_writing.count(path) != 0)) {
      writing(path, now);
    } else {
      // Made whole (a link, perhaps in place of a file of the same size and
      // time: analysed all the same), or its attributes changed (looked at,
      // analysed only when its time changed).
      if (e.mask & IN_CREATE) m_written.insert(path);
      changed(path, now);
    }
  }

  // A file made whole at once (a link), not opened to be written.
  static bool createdWhole(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1;
  }

  void movedTo(uint32_t cookie, const std::string& path, bool folder, Clock::time_point now) {
    const auto from = m_movedFrom.find(cookie);
    if (from == m_movedFrom.end()) {
      // Moved in from outside the trees (a file analysed whatever its size
      // and time, as it may take the place of another).
      if (folder) {
        watchTree(path);
      } else {
        m_written.insert(path);
      }
      changed(path, now);
      return;
    }
    const std::string old = from->second.path;
    m_movedFrom.erase(from);
    // A rename: the stored files follow without being analysed again, then
    // the destination is updated (unchanged files only looked at).
    m_moves.emplace_back(old, path);
    if (folder) renameWatched(setAside(cookie, old), path);
    if (!folder && m_writing.count(old) != 0) {
      // Still being written: analysed once closed or quiet, as before.
      endWriting(old);
      writing(path, now);
      return;
    }
    changed(path, now);
  }

  void schedule(Clock::time_point now) {
    if (!m_flushAt) m_flushAt = now + kBatchDelay;
  }

  void changed(const std::string& path, Clock::time_point now = Clock::now()) {
    m_dirty.insert(path);
    schedule(now);
  }

  void writing(const std::string& path, Clock::time_point now) {
    const auto [it, fresh] = m_writing.try_emplace(path);
    it->second.last = std::max(it->second.last, now);
    if (fresh) {
      it->second.due = now + m_quietPeriod;
      m_quiet.emplace(it->second.due, path);
    }
  }

  void endWriting(const std::string& path) {
    const auto it = m_writing.find(path);
    if (it == m_writing.end()) return;
    m_quiet.erase({it->second.due, path});
    m_writing.erase(it);
  }

  // Files being written that have been quiet for the quiet period.
  void expireQuiet(Clock::time_point now) {
    while (!m_quiet.empty() && m_quiet.begin()->first <= now) {
      const std::string path = m_quiet.begin()->second;
      m_quiet.erase(m_quiet.begin());
      Writing& w = m_writing[path];
      if (w.last + m_quietPeriod > now) {
        w.due = w.last + m_quietPeriod;
        m_quiet.emplace(w.due, path);
      } else {
        m_writing.erase(path);
        m_written.insert(path);
        changed(path, now);
      }
    }
  }

  // Milliseconds to the next timer, or -1 (wait for events alone).
  int pollTimeout(Clock::time_point now) const {
    std::optional<Clock::time_point> next = m_flushAt;
    const auto sooner = [&](Clock::time_point t) {
      if (!next || t < *next) next = t;
    };
    if (!m_quiet.empty()) sooner(m_quiet.begin()->first);
    if (!m_unwatched.empty()) sooner(m_nextRescan);
    if (!next) return -1;
    if (*next <= now) return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(*next - now).count();
    return static_cast<int>(std::min<long long>(ms, INT_MAX));
  }

  // The kernel dropped events: every tree is watched and walked again.
  void resync() {
    std::fprintf(stderr,
                 "mp4index: the kernel's queue of file events overflowed: every watched folder is "
                 "scanned again\n");
    // The walk of the roots finds where the moves held went.
    m_movedFrom.clear();
    std::unordered_map<int, std::string> old;
    old.swap(m_dirOf);
    m_wdAt.clear();
    m_unwatched.clear();
    for (const std::string& root : m_roots) watchTree(root);
    for (const auto& [wd, path] : old) {
      if (m_dirOf.count(wd) == 0) m_inotify.unwatch(wd);
    }
    for (const std::string& root : m_roots) changed(root);
  }

  void rescanUnwatched(Clock::time_point now) {
    const std::vector<std::string> folders(m_unwatched.begin(), m_unwatched.end());
    m_unwatched.clear();
    for (const std::string& folder : folders) watchTree(folder);
    for (const std::string& folder : folders) changed(folder, now);
    m_nextRescan = now + m_rescanInterval;
  }

  void reportUnwatched() {
    if (m_unwatched.size() > m_reportedUnwatched) {
      const WatchLimit limit;
      std::fprintf(stderr,
                   "mp4index: the limit of inotify watches (%s = %ld) is reached: %zu folders are "
                   "not watched, and are rescanned every %u s instead; raise the limit to watch "
                   "them all (sysctl %s=N)\n",
                   limit.name, limit.value, m_unwatched.size(), m_settings.rescanInterval,
                   limit.name);
    }
    m_reportedUnwatched = m_unwatched.size();
  }

  // Whether a folder above path is to be updated too.
  bool coveredByDirty(const std::string& path) const {
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
      if (m_dirty.count(path.substr(0, slash)) != 0) return true;
    }
    return path != "/" && m_dirty.count("/") != 0;
  }

  const std::string& rootOf(const std::string& path) const {
    for (const std::string& root : m_settings.update.roots) {
      if (isUnder(path, root)) return root;
    }
    return path;
  }

  // Writes what was gathered: the renames, then the paths that are gone
  // (or that a walk would pass over), decided inside the transaction that
  // removes them, then an update of the rest.
  // A move whose other half has not come by the next flush left the
  // trees (the kernel queues both halves together); finally: every one.
  void flush(bool finally = false) {
    std::vector<uint32_t> older;
    for (const auto& [cookie, from] : m_movedFrom) older.push_back(cookie);
    readEvents();
    m_flushAt.reset();
    for (auto it = m_movedFrom.begin(); it != m_movedFrom.end();) {
      if (!finally && std::find(older.begin(), older.end(), it->first) == older.end()) {
        schedule(Clock::now());
        ++it;
        continue;
      }
      if (it->second.folder) forget(setAside(it->first, it->second.path), true);
      endWriting(it->second.path);
      m_dirty.insert(it->second.path);
      it = m_movedFrom.erase(it);
    }
    if (m_dirty.empty() && m_moves.empty()) return;
    UpdateCounts counts;
    std::vector<std::string> walk;
    writeWithRetries(m_store, [&] {
      counts = UpdateCounts();
      walk.clear();
      for (const auto& [from, to] : m_moves) m_store.move(from, to);
      for (const std::string& path : m_dirty) {
        if (coveredByDirty(path)) continue;
        if (walkReaches(rootOf(path), path, true)) {
          walk.push_back(path);
          continue;
        }
        std::vector<std::string> stale;
        m_store.listUnder(path, [&](const std::string& p, const FileState& state) {
          stale.push_back(p);
          if (!state.archive) ++counts.removed;  // an archive is its entries
        });
        for (const std::string& p : stale) m_store.remove(p);
      }
    });
    m_moves.clear();
    m_dirty.clear();
    if (!walk.empty()) runUpdate(std::move(walk), &counts);
    m_written.clear();
    printCounts(counts, false);
    reportUnwatched();
  }

  Store& m_store;
  const mp4host::PluginSet& m_plugins;
  const WatchSettings& m_settings;
  const Clock::duration m_rescanInterval;
  const Clock::duration m_quietPeriod;
  const StopSignals& m_stop;
  Inotify m_inotify;
  std::vector<std::string> m_roots;              // still followed
  std::unordered_map<int, std::string> m_dirOf;  // each watch's folder
  std::map<std::string, int> m_wdAt;             // each watched folder's watch
  std::set<std::string> m_unwatched;             // folders the watch limit left unwatched
  size_t m_reportedUnwatched = 0;
  Clock::time_point m_nextRescan;                               // of the unwatched folders
  std::set<std::string> m_dirty;                                // paths to update
  std::unordered_set<std::string> m_written;                    // files among them analysed again
  std::vector<std::pair<std::string, std::string>> m_moves;     // renames, in order
  std::unordered_map<uint32_t, MovedFrom> m_movedFrom;          // by cookie, awaiting their pair
  std::map<std::string, Writing> m_writing;                     // files being written
  std::set<std::pair<Clock::time_point, std::string>> m_quiet;  // their due times
  std::optional<Clock::time_point> m_flushAt;
  bool m_finishing = false;  // the last flush, which a signal does not cut short
};

}  // namespace

bool takeWatchOptions(std::vector<std::string>* args, WatchSettings* settings, std::string* error) {
  const struct {
    std::string name;
    const char* what;
    unsigned* seconds;
  } options[] = {{"--rescan-interval", "rescan interval", &settings->rescanInterval},
                 {"--quiet-period", "quiet period", &settings->quietPeriod}};
  for (size_t i = 1; i < args->size() && (*args)[i] != "--";) {
    const std::string arg = (*args)[i];
    const auto option = std::find_if(std::begin(options), std::end(options), [&](const auto& o) {
      return arg == o.name || arg.compare(0, o.name.size() + 1, o.name + "=") == 0;
    });
    if (option == std::end(options)) {
      ++i;
      continue;
    }
    std::string value;
    if (arg == option->name) {
      if (i + 1 == args->size()) {
        *error = "option " + option->name + " needs a value";
        return false;
      }
      value = (*args)[i + 1];
      args->erase(args->begin() + i, args->begin() + i + 2);
    } else {
      value = arg.substr(option->name.size() + 1);
      args->erase(args->begin() + i);
    }
    // Digits alone (strtoul would take a sign or spaces first); a number
    // too large for it comes back as the largest, which the range refuses.
    char* end = nullptr;
    const unsigned long seconds = std::strtoul(value.c_str(), &end, 10);
    if (!std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || seconds < 1 ||
        seconds > 86400) {
      *error =
          std::string("invalid ") + option->what + " '" + value + "' (expected 1 to 86400 seconds)";
      return false;
    }
    *option->seconds = static_cast<unsigned>(seconds);
  }
  return true;
}

bool checkWatchRoots(WatchSettings* settings, std::string* error) {
  std::vector<std::string>& roots = settings->update.roots;
  for (const std::string& root : roots) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0) {
      *error = root + ": " + std::strerror(errno);
      return false;
    }
    if (!S_ISDIR(st.st_mode)) {
      *error = root + ": not a folder (watch follows folders; update indexes single files)";
      return false;
    }
  }
  // A root inside another is followed as part of it.
  std::vector<std::string> outer;
  for (const std::string& root : roots) {
    if (std::none_of(
            roots.begin(), roots.end(),
            [&](const std::string& other) { return other != root && isUnder(root, other); }) &&
        std::find(outer.begin(), outer.end(), root) == outer.end()) {
      outer.push_back(root);
    }
  }
  roots = std::move(outer);
  return true;
}

int watch(Store& store, const mp4host::PluginSet& plugins, const WatchSettings& settings) {
  try {
    const StopSignals stop;
    Watcher watcher(store, plugins, settings, stop);
    return watcher.run();
  } catch (const std::system_error& e) {
    std::fprintf(stderr, "mp4index: cannot follow the folders: %s%s\n", e.what(),
                 e.code().value() == EMFILE ? " (the inotify instances of a user are limited by "
                                              "fs.inotify.max_user_instances)"
                                            : "");
    return 1;
  }
}

}  // namespace mp4index
