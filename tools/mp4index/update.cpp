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
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "database.h"
#include "packed_report.h"

namespace mp4index {

namespace {

using mp4meta::Input;

// A batch ends after this many stored files or this long, whichever comes
// first: large enough that commits cost little, small enough that a
// search sees progress and a stopped update loses little.
constexpr unsigned kBatchFiles = 1000;
constexpr auto kBatchTime = std::chrono::seconds(1);

// A text value's row in the full-text table is (file << kPositionBits) +
// its position in the report; values past the first 2^20 of a file are
// stored, not searchable.
constexpr int kPositionBits = 20;

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
        m_insertFile(
            db.handle(),
            "INSERT INTO files(path, size, mtime_ns, error, report) VALUES (?, ?, ?, ?, ?)"),
        m_updateFile(db.handle(),
                     "UPDATE files SET size = ?, mtime_ns = ?, error = ?, report = ? WHERE id = ?"),
        m_reportOf(db.handle(), "SELECT report FROM files WHERE id = ?"),
        m_deleteFile(db.handle(), "DELETE FROM files WHERE id = ?"),
        m_insertText(db.handle(), "INSERT INTO texts(rowid, value) VALUES (?, ?)"),
        m_deleteText(db.handle(), "INSERT INTO texts(texts, rowid, value) VALUES ('delete', ?, ?)"),
        m_insertNumber(db.handle(),
                       "INSERT OR IGNORE INTO nums(key, value, file) VALUES (?, ?, ?)"),
        m_deleteNumber(db.handle(), "DELETE FROM nums WHERE key = ? AND value = ? AND file = ?"),
        m_countField(db.handle(),
                     "INSERT INTO fields(key, files) VALUES (?1, ?2) "
                     "ON CONFLICT(key) DO UPDATE SET files = files + ?2"),
        m_findBlob(db.handle(), "SELECT id, bytes FROM blobs WHERE hash = ?"),
        m_insertBlob(db.handle(), "INSERT INTO blobs(hash, refs, bytes) VALUES (?, 1, ?)"),
        m_countBlob(db.handle(), "UPDATE blobs SET refs = refs + ? WHERE id = ?"),
        m_dropBlob(db.handle(), "DELETE FROM blobs WHERE id = ? AND refs <= 0") {}

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
    if (existed) deleteValues(pending.id);
    const std::string report = values ? pack(*values) : std::string();
    Statement& row = existed ? m_updateFile : m_insertFile;
    int column = 1;
    if (!existed) row.bindBlob(column++, pending.path);
    row.bindInteger(column++, pending.size);
    row.bindInteger(column++, pending.mtime);
    if (values) {
      row.bindNull(column++);
      row.bindBlob(column++, report.data(), report.size());
    } else {
      row.bindBytes(column++, error.data(), error.size());
      row.bindNull(column++);
    }
    if (existed) row.bindInteger(column, pending.id);
    row.step();
    row.reset();
    if (!existed) pending.id = sqlite3_last_insert_rowid(m_db.handle());
    if (values) indexValues(pending.id, report);
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
    for (const auto& [key, change] : m_fieldChanges) {
      if (change == 0) continue;
      m_countField.bindText(1, key.data(), key.size());
      m_countField.bindInteger(2, change);
      m_countField.step();
      m_countField.reset();
    }
    m_fieldChanges.clear();
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

  // Undoes indexValues for the report stored for file.
  void deleteValues(int64_t file) {
    m_reportOf.bindInteger(1, file);
    std::string report;
    if (m_reportOf.step()) {
      report.assign(m_reportOf.bytes(0), m_reportOf.length(0));
      m_reportOf.reset();
    }
    std::unordered_set<std::string_view> keys;
    PackedReader reader(report);
    PackedValue v;
    for (int64_t pos = 0; reader.next(&v); ++pos) {
      if (keys.insert(v.key).second) --m_fieldChanges[std::string(v.key)];
      if (v.blob != 0) {
        m_countBlob.bindInteger(1, -1);
        m_countBlob.bindInteger(2, v.blob);
        m_countBlob.step();
        m_countBlob.reset();
        m_dropBlob.bindInteger(1, v.blob);
        m_dropBlob.step();
        m_dropBlob.reset();
      } else if (v.kind == PackedValue::Integer || v.kind == PackedValue::Real) {
        m_deleteNumber.bindBytes(1, v.key.data(), v.key.size());
        bindNumber(m_deleteNumber, 2, v);
        m_deleteNumber.bindInteger(3, file);
        m_deleteNumber.step();
        m_deleteNumber.reset();
      } else if (pos < (int64_t{1} << kPositionBits)) {
        // An index without content forgets a row given the words it holds.
        m_deleteText.bindInteger(1, (file << kPositionBits) + pos);
        m_deleteText.bindText(2, v.bytes.data(), v.bytes.size());
        m_deleteText.step();
        m_deleteText.reset();
      }
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

  // The values in report order, bytes that are not UTF-8 (covers) stored
  // in blobs.
  std::string pack(const mp4host::ValueRecorder& values) {
    std::string report;
    for (const mp4host::RecordedValue& r : values.values()) {
      PackedValue v;
      if (r.field) v.key = r.field->key();
      switch (r.kind) {
        case mp4host::RecordedValue::Signed:
        case mp4host::RecordedValue::Unsigned:
          v.kind = PackedValue::Integer;
          v.integer = r.integer;
          break;
        case mp4host::RecordedValue::Real:
          v.kind = PackedValue::Real;
          v.real = r.real;
          break;
        case mp4host::RecordedValue::Pair:
          v.name = std::string_view(values.nameBytes(r), r.nameLength);
          [[fallthrough]];
        case mp4host::RecordedValue::Text:
          v.kind = r.kind == mp4host::RecordedValue::Pair ? PackedValue::Pair : PackedValue::Text;
          v.bytes = std::string_view(values.bytes(r), r.length);
          if (!mp4host::isValidUtf8(v.bytes.data(), v.bytes.size())) v.blob = blobId(v.bytes);
          break;
      }
      appendPacked(report, v);
    }
    return report;
  }

  // What searches find a stored file by: its text, its numbers, its fields.
  void indexValues(int64_t file, const std::string& report) {
    std::unordered_set<std::string_view> keys;
    PackedReader reader(report);
    PackedValue v;
    for (int64_t pos = 0; reader.next(&v); ++pos) {
      if (keys.insert(v.key).second) ++m_fieldChanges[std::string(v.key)];
      if (v.kind == PackedValue::Integer || v.kind == PackedValue::Real) {
        if (v.kind == PackedValue::Real && std::isnan(v.real)) continue;
        m_insertNumber.bindBytes(1, v.key.data(), v.key.size());
        bindNumber(m_insertNumber, 2, v);
        m_insertNumber.bindInteger(3, file);
        m_insertNumber.step();
        m_insertNumber.reset();
      } else if (v.blob == 0 && pos < (int64_t{1} << kPositionBits)) {
        m_insertText.bindInteger(1, (file << kPositionBits) + pos);
        m_insertText.bindText(2, v.bytes.data(), v.bytes.size());
        m_insertText.step();
        m_insertText.reset();
      }
    }
  }

  static void bindNumber(Statement& s, int index, const PackedValue& v) {
    if (v.kind == PackedValue::Integer) {
      s.bindInteger(index, v.integer);
    } else {
      s.bindReal(index, v.real);
    }
  }

  // The stored blob with these bytes, one more value holding it; stored now
  // if there is none.
  int64_t blobId(std::string_view bytes) {
    const int64_t hash = static_cast<int64_t>(std::hash<std::string_view>()(bytes));
    m_findBlob.bindInteger(1, hash);
    while (m_findBlob.step()) {
      if (m_findBlob.length(1) == bytes.size() &&
          std::memcmp(m_findBlob.bytes(1), bytes.data(), bytes.size()) == 0) {
        const int64_t id = m_findBlob.integer(0);
        m_findBlob.reset();
        m_countBlob.bindInteger(1, 1);
        m_countBlob.bindInteger(2, id);
        m_countBlob.step();
        m_countBlob.reset();
        return id;
      }
    }
    m_insertBlob.bindInteger(1, hash);
    m_insertBlob.bindBlob(2, bytes.data(), bytes.size());
    m_insertBlob.step();
    m_insertBlob.reset();
    return sqlite3_last_insert_rowid(m_db.handle());
  }

  Database& m_db;
  const std::vector<std::string>& m_roots;
  const std::string m_ownPath;
  UpdateCounts* m_counts;
  Statement m_find;
  Statement m_insertFile;
  Statement m_updateFile;
  Statement m_reportOf;
  Statement m_deleteFile;
  Statement m_insertText;
  Statement m_deleteText;
  Statement m_insertNumber;
  Statement m_deleteNumber;
  Statement m_countField;
  Statement m_findBlob;
  Statement m_insertBlob;
  Statement m_countBlob;
  Statement m_dropBlob;
  std::deque<Pending> m_pending;
  std::unordered_map<std::string, Stored> m_stored;  // under the roots, and stored since
  std::unordered_set<int64_t> m_seen;
  std::unordered_map<std::string, int64_t> m_fieldChanges;  // files per field, this batch
  std::vector<std::string> m_kept;  // paths that could not be read: their stored files stay
  std::string m_error;              // the database failure that stopped the run
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
