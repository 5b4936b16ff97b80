#include "update.h"

#include <errno.h>
#include <fcntl.h>
#include <mp4host/archive_reader.h>
#include <mp4host/value_recorder.h>
#include <path_source.h>
#include <runner.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "query.h"
#include "store.h"

namespace mp4index {

namespace {

using mp4meta::Input;

// A batch is written when it holds this many files, this many bytes of
// values, or its first file has waited this long, whichever comes first:
// large enough that commits cost little, small enough that a search sees
// progress, a stopped update loses little and other writers get their turn
// between batches.
constexpr size_t kBatchFiles = 200;
constexpr size_t kBatchBytes = 16 << 20;
constexpr auto kBatchTime = std::chrono::seconds(1);

bool gone(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

FileState stateOf(const struct stat& st) {
  FileState state;
  state.size = st.st_size;
  state.mtime = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
  return state;
}

class Updater : public mp4meta::Collector {
  using Clock = std::chrono::steady_clock;

  // An admitted input, waiting for its analysis.
  struct Pending {
    std::string path;
    bool analysed = true;  // false: it cannot be opened, or is a folder that cannot be read
    FileState state;       // at admission, before the analysis
  };

  // What an input gave, waiting for its batch to be written: a file (File,
  // or an input that could not be analysed), an entry of an archive or a
  // failed archive inside one (Entry), or an archive file at its end
  // (Archive).
  struct Write {
    Input::Kind kind = Input::File;
    Pending pending;
    bool hasValues = false;
    mp4host::ValueRecorder values;
    std::string error;
  };

 public:
  Updater(Store& store, const UpdateSettings& settings, UpdateCounts* counts)
      : m_store(store),
        m_roots(settings.roots),
        m_rewritten(settings.rewritten),
        m_quietWhenGone(settings.quietWhenGone),
        m_archives(settings.archives),
        m_interrupt(settings.interrupted),
        m_counts(counts) {}

  ~Updater() override { m_store.rollbackWrite(); }

  // What is stored under the roots, read at once (one query instead of
  // one a file) to pass over the files that did not change. Only a hint:
  // every write decides again inside its transaction.
  void loadStored() {
    for (const std::string& root : m_roots) {
      m_store.listUnder(root, [&](const std::string& path, const FileState& state) {
        m_known.emplace(path, state);
        if (state.archive) m_knownArchives.insert(path);
      });
    }
  }

  bool stopped() const override { return !m_error.empty() || m_interrupted; }
  bool silent(const Input& input) const override {
    const bool inArchive = input.kind == Input::Entry || input.kind == Input::Archive;
    return m_quietWhenGone && !inArchive && gone(absolutePath(input.path));
  }
  bool interrupted() const { return m_interrupted; }
  const std::string& error() const { return m_error; }

  bool admit(const Input& input) override {
    if (m_interrupt && m_interrupt()) {
      m_interrupted = true;
      return false;
    }
    bool admitted = false;
    guard([&] { admitted = tryAdmit(input); });
    return admitted;
  }

  void take(const Input& input, const mp4host::ValueRecorder* values,
            const std::string& error) override {
    Write write;
    write.kind = input.kind;
    if (input.kind == Input::Entry || (input.kind == Input::Archive && input.depth > 0)) {
      // Inside the archive file admitted last: named after its stored path.
      // An archive inside it that was read to its end is no file.
      if (input.kind == Input::Archive && values) return;
      const Pending& file = m_pending.front();
      write.kind = Input::Entry;
      write.pending.path = file.path;
      write.pending.path.append(input.path, input.archive.size());
      write.pending.state.size = std::max<int64_t>(input.size, 0);
      write.pending.state.mtime =
          input.mtimeNs != Input::kNoTime ? input.mtimeNs : file.state.mtime;
    } else {
      write.pending = std::move(m_pending.front());
      m_pending.pop_front();
    }
    if (!m_error.empty()) return;
    if (values) {
      write.hasValues = true;
      write.values = *values;
      m_batchBytes += values->values().size() * sizeof(mp4host::RecordedValue);
      for (const mp4host::RecordedValue& v : values->values()) m_batchBytes += v.length;
    }
    write.error = error;
    if (m_batch.empty()) m_batchStart = Clock::now();
    m_batch.push_back(std::move(write));
    if (m_batch.size() >= kBatchFiles || m_batchBytes >= kBatchBytes ||
        Clock::now() - m_batchStart >= kBatchTime) {
      guard([&] { flush(); });
    }
  }

  // Writes the batch, in one transaction (run again, on what the index
  // holds then, when the index asks for it).
  void flush() {
    if (m_batch.empty()) return;
    const UpdateCounts before = *m_counts;
    writeWithRetries(m_store, [&] {
      *m_counts = before;
      for (Write& write : m_batch) apply(write);
    });
    m_batch.clear();
    m_batchBytes = 0;
  }

  // Removes the files stored under the roots that this run did not meet
  // and that a walk would not give now, except under paths that could not
  // be read. Decided inside the transaction that removes them, so a file
  // another writer stored meanwhile stays.
  void sweep() {
    const UpdateCounts before = *m_counts;
    writeWithRetries(m_store, [&] {
      *m_counts = before;
      std::unordered_map<std::string, bool> stale;  // path, whether an archive
      for (const std::string& root : m_roots) {
        m_store.listUnder(root, [&](const std::string& path, const FileState& state) {
          if (m_seen.count(path) != 0) return;
          if (under(path, m_unchangedArchives)) {
            if (!state.archive) ++m_counts->unchanged;
          } else if (!kept(path) && !walkReaches(root, path)) {
            stale.emplace(path, state.archive);
          }
        });
      }
      for (const auto& [path, archive] : stale) {
        m_store.remove(path);
        if (!archive) ++m_counts->removed;
      }
    });
  }

 private:
  // Runs f; a failure of the index stops the run, its reason kept.
  template <typename F>
  void guard(F&& f) {
    try {
      f();
    } catch (const DatabaseError& e) {
      m_store.rollbackWrite();
      m_error = e.what();
    }
  }

  bool tryAdmit(const Input& input) {
    if (input.kind == Input::ListFailed) return true;  // reported, and not handed to take
    Pending pending;
    pending.path = absolutePath(input.path);
    // The index itself, when it lies under a root, is no file of the
    // collection: it changes with every update.
    if (m_store.isOwnFile(pending.path)) return false;
    pending.analysed = input.kind == Input::File;
    if (pending.analysed) {
      struct stat st;
      const int rc = input.fd >= 0 ? fstat(input.fd, &st) : stat(input.path.c_str(), &st);
      if (rc == 0) pending.state = stateOf(st);
      FileState known;
      // A file that failed before is tried again: the cause (permissions,
      // a read error) may be gone without the file changing. An archive
      // that did not change is not opened: its stored entries stay.
      if (rc == 0 && m_rewritten.count(pending.path) == 0 && lookUp(pending.path, &known) &&
          !known.failed && known.size == pending.state.size && known.mtime == pending.state.mtime &&
          (known.archive ? m_archives
                         : !under(pending.path, m_knownArchives) &&
                               !(m_archives && known.empty && isArchive(input)))) {
        m_seen.insert(pending.path);
        if (known.archive) {
          m_unchangedArchives.insert(pending.path);
        } else {
          ++m_counts->unchanged;
        }
        return false;
      }
    }
    m_pending.push_back(std::move(pending));
    return true;
  }

  // Whether a file stored without values is an archive stored as a file
  // (when archives were not read), by its first bytes. Only files with an
  // archive's extension are read, so that an update of a collection with
  // many other files (pictures, other music) opens none of them.
  static bool isArchive(const Input& input) {
    static const std::unordered_set<std::string> named{"zip", "7z",   "tar", "tgz", "tbz", "tbz2",
                                                       "txz", "tzst", "gz",  "bz2", "xz",  "zst"};
    if (named.count(extensionOf(input.path)) == 0) return false;
    const int fd = input.fd >= 0 ? input.fd : open(input.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char head[mp4host::kSniffBytes];
    const ssize_t n = pread(fd, head, sizeof head, 0);
    if (fd != input.fd) close(fd);
    return n > 0 &&
           mp4host::archiveKind(head, static_cast<size_t>(n)) != mp4host::ArchiveKind::None;
  }

  // The stored state of path as the run started (under the roots) or as
  // the index holds it now (elsewhere: a file of a list).
  bool lookUp(const std::string& path, FileState* state) {
    const auto known = m_known.find(path);
    if (known != m_known.end()) {
      *state = known->second;
      return true;
    }
    for (const std::string& root : m_roots) {
      if (isUnder(path, root)) return false;
    }
    return m_store.find(path, state);
  }

  // One file of the batch, decided on what the index and the file hold now.
  void apply(const Write& write) {
    if (write.kind == Input::Entry) return applyEntry(write);
    if (write.kind == Input::Archive) return applyArchive(write);
    const std::string& path = write.pending.path;
    if (!write.pending.analysed || !write.hasValues) {
      // A path that is gone takes its stored file with it; anything else
      // that could not be opened keeps what is stored (under it, for a
      // folder), and is tried again next time.
      if (gone(path) && !inStoredArchive(path)) {
        removeStored(path);
        return;
      }
      if (!write.pending.analysed) {
        m_kept.push_back(path);
        ++m_counts->failed;
        return;
      }
    }
    m_seen.insert(path);
    FileState mine = write.pending.state;
    mine.failed = !write.hasValues;
    FileState stored;
    const bool existed = m_store.find(path, &stored);
    // What is stored under an archive's path is an entry of it, however
    // like this file it is: a folder took the archive's place.
    const bool rewritten = m_rewritten.count(path) != 0 || under(path, m_knownArchives);
    if (existed && !rewritten && !stored.failed && !stored.archive && stored.size == mine.size &&
        stored.mtime == mine.mtime) {
      // Another writer stored this version meanwhile.
      ++m_counts->unchanged;
      return;
    }
    if (existed && !rewritten && !stored.failed && !stored.archive) {
      // The file changed after this run looked at it; when what is stored
      // is the file as it is now, it is the newer analysis.
      struct stat st;
      FileState now;
      if (stat(path.c_str(), &st) == 0) now = stateOf(st);
      if (now.size == stored.size && now.mtime == stored.mtime) {
        ++m_counts->unchanged;
        return;
      }
    }
    m_store.put(path, mine, write.hasValues ? &write.values : nullptr, write.error);
    if (!write.hasValues) {
      ++m_counts->failed;
    } else if (existed) {
      ++m_counts->changed;
    } else {
      ++m_counts->added;
    }
  }

  // An entry of an archive that changed, stored whatever the index holds:
  // the archive is read whole.
  void applyEntry(const Write& write) {
    const std::string& path = write.pending.path;
    m_seen.insert(path);
    FileState mine = write.pending.state;
    mine.failed = !write.hasValues;
    FileState stored;
    const bool existed = m_store.find(path, &stored);
    m_store.put(path, mine, write.hasValues ? &write.values : nullptr, write.error);
    if (mine.failed) {
      ++m_counts->failed;
    } else if (existed && stored == mine) {
      ++m_counts->unchanged;
    } else if (existed) {
      ++m_counts->changed;
    } else {
      ++m_counts->added;
    }
  }

  // The end of an archive file: the entries stored under it that it did not
  // hand over have left it (or are no longer read: the index holds what a
  // fresh update gives). Read to its end, it is kept for its state; else it
  // is a failed file, its error shown, and read again next time.
  void applyArchive(const Write& write) {
    const std::string& path = write.pending.path;
    std::vector<std::pair<std::string, bool>> vanished;
    m_store.listUnder(path, [&](const std::string& p, const FileState& state) {
      if (p != path && m_seen.count(p) == 0) vanished.emplace_back(p, state.archive);
    });
    for (const auto& [p, archive] : vanished) {
      m_store.remove(p);
      if (!archive) ++m_counts->removed;
    }
    m_seen.insert(path);
    FileState mine = write.pending.state;
    mine.archive = write.hasValues;
    mine.failed = !write.hasValues;
    m_store.put(path, mine, nullptr, write.error);
    if (mine.failed) ++m_counts->failed;
  }

  // Whether path lies inside one of the paths (not at one).
  static bool under(const std::string& path, const std::unordered_set<std::string>& paths) {
    if (paths.empty()) return false;
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
      if (paths.count(path.substr(0, slash)) != 0) return true;
    }
    return false;
  }

  // Whether path lies inside an archive file the index keeps (a path named
  // inside one, or one no walk gives): the archive's own walk decides what
  // is stored under it.
  bool inStoredArchive(const std::string& path) {
    for (size_t slash = path.rfind('/'); slash != std::string::npos && slash > 0;
         slash = path.rfind('/', slash - 1)) {
      const std::string above = path.substr(0, slash);
      struct stat st;
      if (stat(above.c_str(), &st) != 0) continue;
      FileState state;
      return S_ISREG(st.st_mode) && m_store.find(above, &state) && state.archive;
    }
    return false;
  }

  void removeStored(const std::string& path) {
    FileState state;
    if (!m_store.find(path, &state)) return;
    m_store.remove(path);
    ++m_counts->removed;
  }

  bool kept(const std::string& path) const {
    for (const std::string& k : m_kept) {
      if (isUnder(path, k)) return true;
    }
    return false;
  }

  Store& m_store;
  const std::vector<std::string>& m_roots;
  const std::unordered_set<std::string>& m_rewritten;
  const bool m_quietWhenGone;
  const bool m_archives;
  const std::function<bool()>& m_interrupt;
  bool m_interrupted = false;
  UpdateCounts* m_counts;
  std::unordered_map<std::string, FileState> m_known;   // under the roots, as the run started
  std::unordered_set<std::string> m_seen;               // met by this run, stored or unchanged
  std::unordered_set<std::string> m_knownArchives;      // under the roots, as the run started
  std::unordered_set<std::string> m_unchangedArchives;  // met unchanged: their entries stay
  std::vector<std::string> m_kept;  // paths that could not be read: their stored files stay
  std::deque<Pending> m_pending;
  std::vector<Write> m_batch;
  size_t m_batchBytes = 0;
  Clock::time_point m_batchStart;
  std::string m_error;  // the index failure that stopped the run
};

}  // namespace

bool isUnder(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

bool walkReaches(const std::string& root, const std::string& path, bool folders) {
  struct stat st;
  // The folders between root and path (paths are absolute and normalized:
  // no "//" follows root, even when it is "/").
  size_t slash = root.size();
  while ((slash = path.find('/', slash + 1)) != std::string::npos) {
    if (lstat(path.substr(0, slash).c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  }
  if (lstat(path.c_str(), &st) != 0) return false;
  if (S_ISDIR(st.st_mode)) return folders;
  if (S_ISLNK(st.st_mode) && stat(path.c_str(), &st) != 0) return false;
  return S_ISREG(st.st_mode) || (folders && path == root && S_ISDIR(st.st_mode));
}

std::string absolutePath(const std::string& path) {
  std::string full;
  if (path.empty() || path[0] != '/') {
    char* cwd = getcwd(nullptr, 0);
    if (cwd) full = cwd;
    std::free(cwd);
    full += '/';
  }
  full += path;
  std::string out;
  size_t i = 0;
  while (i < full.size()) {
    const size_t slash = full.find('/', i);
    const size_t end = slash == std::string::npos ? full.size() : slash;
    const std::string_view part(full.data() + i, end - i);
    if (!part.empty() && part != ".") {
      out += '/';
      out.append(part);
    }
    i = end + 1;
  }
  return out.empty() ? "/" : out;
}

bool update(Store& store, const mp4host::PluginSet& plugins, const UpdateSettings& settings,
            UpdateCounts* counts) {
  Updater updater(store, settings, counts);
  updater.loadStored();
  mp4meta::PathSource source(settings.roots, settings.lists, settings.listSeparator);
  mp4meta::RunSettings run;
  run.jobs = settings.jobs;
  run.plainFileReads = settings.plainFileReads;
  run.archives = settings.archives;
  run.program = "mp4index";
  run.collector = &updater;
  run.nameDiagnostics = true;
  const bool ok = mp4meta::runAnalysis(plugins, source, run);
  if (!updater.error().empty()) throw DatabaseError(updater.error());
  updater.flush();
  if (!updater.interrupted()) updater.sweep();
  return ok;
}

}  // namespace mp4index
