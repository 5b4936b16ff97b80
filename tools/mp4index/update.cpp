#include "update.h"

#include <errno.h>
#include <mp4host/value_recorder.h>
#include <path_source.h>
#include <runner.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <deque>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

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

  // What an input gave, waiting for its batch to be written.
  struct Write {
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
      });
    }
  }

  bool stopped() const override { return !m_error.empty() || m_interrupted; }
  bool silent(const Input& input) const override {
    return m_quietWhenGone && gone(absolutePath(input.path));
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

  void take(const Input&, const mp4host::ValueRecorder* values, const std::string& error) override {
    Write write;
    write.pending = std::move(m_pending.front());
    m_pending.pop_front();
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
      std::unordered_set<std::string> stale;
      for (const std::string& root : m_roots) {
        m_store.listUnder(root, [&](const std::string& path, const FileState&) {
          if (m_seen.count(path) == 0 && !kept(path) && !walkReaches(root, path))
            stale.insert(path);
        });
      }
      for (const std::string& path : stale) {
        m_store.remove(path);
        ++m_counts->removed;
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
      // a read error) may be gone without the file changing.
      if (rc == 0 && m_rewritten.count(pending.path) == 0 && lookUp(pending.path, &known) &&
          !known.failed && known == pending.state) {
        m_seen.insert(pending.path);
        ++m_counts->unchanged;
        return false;
      }
    }
    m_pending.push_back(std::move(pending));
    return true;
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
    const std::string& path = write.pending.path;
    if (!write.pending.analysed || !write.hasValues) {
      // A path that is gone takes its stored file with it; anything else
      // that could not be opened keeps what is stored (under it, for a
      // folder), and is tried again next time.
      if (gone(path)) {
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
    const bool rewritten = m_rewritten.count(path) != 0;
    if (existed && !rewritten && !stored.failed && stored.size == mine.size &&
        stored.mtime == mine.mtime) {
      // Another writer stored this version meanwhile.
      ++m_counts->unchanged;
      return;
    }
    if (existed && !rewritten && !stored.failed) {
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
  const std::function<bool()>& m_interrupt;
  bool m_interrupted = false;
  UpdateCounts* m_counts;
  std::unordered_map<std::string, FileState> m_known;  // under the roots, as the run started
  std::unordered_set<std::string> m_seen;              // met by this run, stored or unchanged
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
  size_t slash = root.size() == 1 ? 0 : root.size();
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
