#include "update.h"

#include <errno.h>
#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <path_source.h>
#include <runner.h>
#include <strigi/fieldtypes.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "database.h"

namespace mp4index {

namespace {

using mp4meta::Input;

// A batch ends after this many stored files or this long, whichever comes
// first: large enough that commits cost little, small enough that a
// search sees progress and a stopped update loses little.
constexpr unsigned kBatchFiles = 200;
constexpr auto kBatchTime = std::chrono::seconds(1);

bool under(const std::string& path, const std::string& root) {
  if (root == "/") return true;
  return path.size() >= root.size() && path.compare(0, root.size(), root) == 0 &&
         (path.size() == root.size() || path[root.size()] == '/');
}

bool gone(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) != 0 && (errno == ENOENT || errno == ENOTDIR);
}

class Updater : public mp4meta::Collector {
  using Clock = std::chrono::steady_clock;

  struct Stored {
    int64_t id = 0;
    int64_t size = 0;
    int64_t mtime = 0;
    bool failed = false;
  };

  struct Pending {
    std::string path;
    bool failed = false;  // not analysed (cannot be opened, or a folder that cannot be read)
    int64_t id = 0;       // the stored file, if any
    int64_t size = 0;
    int64_t mtime = 0;
  };

 public:
  Updater(Database& db, const std::vector<std::string>& roots, UpdateCounts* counts)
      : m_db(db),
        m_roots(roots),
        m_ownPath(absolutePath(db.path())),
        m_counts(counts),
        m_find(db.handle(),
               "SELECT id, size, mtime_ns, error IS NOT NULL FROM files WHERE path = ?"),
        m_insertFile(db.handle(),
                     "INSERT INTO files(path, size, mtime_ns, error) VALUES (?, ?, ?, ?)"),
        m_updateFile(db.handle(),
                     "UPDATE files SET size = ?, mtime_ns = ?, error = ? WHERE id = ?"),
        m_deleteValues(db.handle(), "DELETE FROM vals WHERE file = ?"),
        // A batch's files at a time (a JSON array of their ids), in rowid
        // order: the full-text index flushes its pending terms at the end
        // of every statement that writes it and whenever a rowid is lower
        // than the one before.
        m_indexText(db.handle(),
                    "INSERT INTO vals_text(rowid, value) SELECT v.id, v.value "
                    "FROM json_each(?) AS j JOIN vals AS v ON v.file = j.value "
                    "WHERE typeof(v.value) = 'text' ORDER BY v.id"),
        m_unindexText(
            db.handle(),
            "INSERT INTO vals_text(vals_text, rowid, value) "
            "SELECT 'delete', id, value FROM vals WHERE file = ? AND typeof(value) = 'text' "
            "ORDER BY id"),
        m_deleteFile(db.handle(), "DELETE FROM files WHERE id = ?"),
        m_findBlob(db.handle(), "SELECT id, bytes FROM blobs WHERE hash = ?"),
        m_insertBlob(db.handle(), "INSERT INTO blobs(hash, bytes) VALUES (?, ?)"),
        m_blobsOf(db.handle(),
                  "SELECT DISTINCT blob FROM vals WHERE file = ? AND blob IS NOT NULL"),
        m_dropBlob(
            db.handle(),
            "DELETE FROM blobs WHERE id = ?1 AND NOT EXISTS (SELECT 1 FROM vals WHERE blob = ?1)"),
        m_insertValue(
            db.handle(),
            "INSERT INTO vals(file, pos, key, name, value, blob) VALUES (?, ?, ?, ?, ?, ?)") {}

  // What is stored under the roots, read at once: one query instead of one
  // per file.
  void loadStored() {
    Statement under(m_db.handle(),
                    "SELECT id, path, size, mtime_ns, error IS NOT NULL FROM files "
                    "WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
    for (const std::string& root : m_roots) {
      bindPathsUnder(under, root);
      while (under.step()) {
        m_stored[std::string(under.bytes(1), under.length(1))] =
            Stored{under.integer(0), under.integer(2), under.integer(3), under.integer(4) != 0};
      }
      under.reset();
    }
  }

  ~Updater() override {
    if (m_inTransaction) sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }

  bool stopped() const override { return !m_error.empty(); }
  const std::string& error() const { return m_error; }

  bool admit(const Input& input) override {
    bool admitted = false;
    guard([&] { admitted = tryAdmit(input); });
    return admitted;
  }

  void take(const Input&, const mp4host::ValueRecorder* values, const std::string& error) override {
    Pending pending = std::move(m_pending.front());
    m_pending.pop_front();
    if (!stopped()) guard([&] { store(std::move(pending), values, error); });
  }

 private:
  // Runs f; a failure of the index stops the run, its reason kept.
  template <typename F>
  void guard(F&& f) {
    try {
      f();
    } catch (const DatabaseError& e) {
      m_error = e.what();
    }
  }

  bool tryAdmit(const Input& input) {
    if (input.kind == Input::ListFailed) return true;  // reported, and not handed to take
    Pending pending;
    pending.path = absolutePath(input.path);
    // The index itself, when it lies under a root, is no file of the
    // collection: it changes with every update.
    if (pending.path.compare(0, m_ownPath.size(), m_ownPath) == 0) {
      const std::string suffix = pending.path.substr(m_ownPath.size());
      if (suffix.empty() || suffix == "-wal" || suffix == "-shm" || suffix == "-journal") {
        return false;
      }
    }
    pending.failed = input.kind != Input::File;
    if (!pending.failed) {
      struct stat st;
      const int rc = input.fd >= 0 ? fstat(input.fd, &st) : stat(input.path.c_str(), &st);
      if (rc == 0) {
        pending.size = st.st_size;
        pending.mtime = int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec;
      }
      const Stored stored = find(pending.path);
      // A file that failed before is tried again: the cause (permissions,
      // a read error) may be gone without the file changing.
      if (rc == 0 && stored.id != 0 && !stored.failed && stored.size == pending.size &&
          stored.mtime == pending.mtime) {
        m_seen.insert(stored.id);
        ++m_counts->unchanged;
        return false;
      }
    }
    m_pending.push_back(std::move(pending));
    return true;
  }

  void store(Pending pending, const mp4host::ValueRecorder* values, const std::string& error) {
    if (pending.failed) {
      // Not analysed: a path that is gone takes its stored files with it
      // (the roots' sweep or below); anything else keeps what is stored.
      if (gone(pending.path)) {
        removeNamed(pending.path);
      } else {
        m_kept.push_back(pending.path);
        ++m_counts->failed;
      }
      return;
    }
    if (!values && gone(pending.path)) {
      removeNamed(pending.path);
      return;
    }
    // Looked up again: the same file may have come twice.
    pending.id = find(pending.path).id;
    const bool existed = pending.id != 0;
    begin();
    if (existed) {
      m_updateFile.bindInteger(1, pending.size);
      m_updateFile.bindInteger(2, pending.mtime);
      bindError(m_updateFile, 3, values, error);
      m_updateFile.bindInteger(4, pending.id);
      m_updateFile.step();
      deleteValues(pending.id);
    } else {
      m_insertFile.bindBlob(1, pending.path);
      m_insertFile.bindInteger(2, pending.size);
      m_insertFile.bindInteger(3, pending.mtime);
      bindError(m_insertFile, 4, values, error);
      m_insertFile.step();
      pending.id = sqlite3_last_insert_rowid(m_db.handle());
    }
    if (values) {
      storeValues(pending.id, *values);
      m_unindexed.insert(pending.id);
    }
    m_stored[pending.path] = Stored{pending.id, pending.size, pending.mtime, values == nullptr};
    m_seen.insert(pending.id);
    if (!values) {
      ++m_counts->failed;
    } else if (existed) {
      ++m_counts->changed;
    } else {
      ++m_counts->added;
    }
    if (++m_batchFiles >= kBatchFiles || Clock::now() - m_batchStart >= kBatchTime) commit();
  }

 public:
  // Removes the files under the roots that this run did not meet, except
  // under paths that could not be read.
  void sweep() {
    std::vector<int64_t> stale;
    for (const auto& [path, stored] : m_stored) {
      if (m_seen.count(stored.id) == 0 && !kept(path)) stale.push_back(stored.id);
    }
    for (int64_t id : stale) remove(id);
    commit();
  }

  void commit() {
    if (!m_inTransaction) return;
    if (!m_unindexed.empty()) {
      std::string ids = "[";
      for (int64_t id : m_unindexed) ids += std::to_string(id) + ',';
      ids.back() = ']';
      m_indexText.bindText(1, ids.data(), ids.size());
      m_indexText.step();
      m_indexText.reset();
      m_unindexed.clear();
    }
    m_db.execute("COMMIT");
    m_inTransaction = false;
  }

 private:
  Stored find(const std::string& path) {
    const auto known = m_stored.find(path);
    if (known != m_stored.end()) return known->second;
    Stored stored;
    for (const std::string& root : m_roots) {
      if (under(path, root)) return stored;  // read at the start: not stored
    }
    m_find.bindBlob(1, path);
    if (m_find.step()) {
      stored.id = m_find.integer(0);
      stored.size = m_find.integer(1);
      stored.mtime = m_find.integer(2);
      stored.failed = m_find.integer(3) != 0;
      m_find.reset();
    }
    return stored;
  }

  void begin() {
    if (m_inTransaction) return;
    m_db.execute("BEGIN IMMEDIATE");
    m_inTransaction = true;
    m_batchFiles = 0;
    m_batchStart = Clock::now();
  }

  void remove(int64_t id) {
    begin();
    deleteValues(id);
    m_deleteFile.bindInteger(1, id);
    m_deleteFile.step();
    ++m_counts->removed;
  }

  void deleteValues(int64_t file) {
    // Values stored in this batch are not in the full-text index yet.
    if (m_unindexed.erase(file) == 0) {
      m_unindexText.bindInteger(1, file);
      m_unindexText.step();
    }
    std::vector<int64_t> blobs;
    m_blobsOf.bindInteger(1, file);
    while (m_blobsOf.step()) blobs.push_back(m_blobsOf.integer(0));
    m_deleteValues.bindInteger(1, file);
    m_deleteValues.step();
    // A blob goes with the last value that holds it.
    for (int64_t blob : blobs) {
      m_dropBlob.bindInteger(1, blob);
      m_dropBlob.step();
    }
  }

  // A named path that is gone: the file stored under that path, if any.
  void removeNamed(const std::string& path) {
    const Stored stored = find(path);
    if (stored.id != 0) {
      remove(stored.id);
      m_stored.erase(path);
    }
  }

  bool kept(const std::string& path) const {
    for (const std::string& k : m_kept) {
      if (under(path, k)) return true;
    }
    return false;
  }

  static void bindError(Statement& statement, int index, const mp4host::ValueRecorder* values,
                        const std::string& error) {
    if (values) {
      statement.bindNull(index);
    } else {
      statement.bindBytes(index, error.data(), error.size());
    }
  }

  // Text goes to value, where it is indexed; other bytes to blobs.
  void bindValue(Statement& s, const char* data, size_t length) {
    if (mp4host::isValidUtf8(data, length)) {
      s.bindText(5, data, length);
    } else {
      s.bindInteger(6, blobId(data, length));
    }
  }

  // The stored blob with these bytes, stored now if there is none.
  int64_t blobId(const char* data, size_t length) {
    const int64_t hash =
        static_cast<int64_t>(std::hash<std::string_view>()(std::string_view(data, length)));
    m_findBlob.bindInteger(1, hash);
    while (m_findBlob.step()) {
      if (m_findBlob.length(1) == length && std::memcmp(m_findBlob.bytes(1), data, length) == 0) {
        const int64_t id = m_findBlob.integer(0);
        m_findBlob.reset();
        return id;
      }
    }
    m_insertBlob.bindInteger(1, hash);
    m_insertBlob.bindBlob(2, data, length);
    m_insertBlob.step();
    return sqlite3_last_insert_rowid(m_db.handle());
  }

  void storeValues(int64_t id, const mp4host::ValueRecorder& values) {
    int64_t pos = 0;
    for (const mp4host::RecordedValue& v : values.values()) {
      Statement& s = m_insertValue;
      s.bindInteger(1, id);
      s.bindInteger(2, pos++);
      const std::string& key = v.field ? v.field->key() : std::string();
      s.bindBytes(3, key.data(), key.size());
      switch (v.kind) {
        case mp4host::RecordedValue::Text:
          bindValue(s, values.bytes(v), v.length);
          break;
        case mp4host::RecordedValue::Signed:
        case mp4host::RecordedValue::Unsigned:
          s.bindInteger(5, v.integer);
          break;
        case mp4host::RecordedValue::Real:
          s.bindReal(5, v.real);
          break;
        case mp4host::RecordedValue::Pair:
          s.bindBytes(4, values.nameBytes(v), v.nameLength);
          bindValue(s, values.bytes(v), v.length);
          break;
      }
      s.step();
      s.reset();
    }
  }

  Database& m_db;
  const std::vector<std::string>& m_roots;
  const std::string m_ownPath;
  UpdateCounts* m_counts;
  Statement m_find;
  Statement m_insertFile;
  Statement m_updateFile;
  Statement m_deleteValues;
  Statement m_indexText;
  Statement m_unindexText;
  Statement m_deleteFile;
  Statement m_findBlob;
  Statement m_insertBlob;
  Statement m_blobsOf;
  Statement m_dropBlob;
  Statement m_insertValue;
  std::deque<Pending> m_pending;
  std::unordered_map<std::string, Stored> m_stored;  // under the roots, and stored since
  std::unordered_set<int64_t> m_seen;
  std::unordered_set<int64_t> m_unindexed;  // files of this batch, their text not yet indexed
  std::vector<std::string> m_kept;          // paths that could not be read: their stored files stay
  std::string m_error;                      // the database failure that stopped the run
  bool m_inTransaction = false;
  unsigned m_batchFiles = 0;
  Clock::time_point m_batchStart;
};

}  // namespace

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

bool update(Database& db, const mp4host::PluginSet& plugins, const UpdateSettings& settings,
            UpdateCounts* counts) {
  // Checkpoints (each ending in an fsync) every 64 MB of log rather than
  // every 4 MB; closing the index checkpoints the rest. Up to 64 MB of
  // pages cached, so that a large index's inner pages stay in memory.
  db.execute("PRAGMA wal_autocheckpoint = 16384");
  db.execute("PRAGMA cache_size = -65536");
  Updater updater(db, settings.roots, counts);
  updater.loadStored();
  mp4meta::PathSource source(settings.roots, settings.lists, settings.listSeparator);
  mp4meta::RunSettings run;
  run.jobs = settings.jobs;
  run.plainFileReads = settings.plainFileReads;
  run.program = "mp4index";
  run.collector = &updater;
  const bool ok = mp4meta::runAnalysis(plugins, source, run);
  if (updater.stopped()) throw DatabaseError(updater.error());
  updater.commit();
  updater.sweep();
  return ok;
}

}  // namespace mp4index
