#include "update.h"

#include <errno.h>
#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <path_source.h>
#include <runner.h>
#include <strigi/fieldtypes.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <deque>
#include <memory>
#include <string_view>
#include <unordered_map>
#include <unordered_set>

#include "database.h"
#include "report.h"

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
        m_insertFile(
            db.handle(),
            "INSERT INTO files(path, size, mtime_ns, error, report) VALUES (?, ?, ?, ?, ?)"),
        m_updateFile(db.handle(),
                     "UPDATE files SET size = ?, mtime_ns = ?, error = ?, report = ? WHERE id = ?"),
        m_reportOf(db.handle(), "SELECT report FROM files WHERE id = ?"),
        m_deleteFile(db.handle(), "DELETE FROM files WHERE id = ?"),
        m_insertKey(db.handle(), "INSERT INTO keys(key) VALUES (?)"),
        m_insertWords(db.handle(), "INSERT INTO words(rowid, v) VALUES (?, ?)"),
        m_deleteWords(db.handle(), "INSERT INTO words(words, rowid, v) VALUES ('delete', ?, ?)"),
        m_insertNumber(db.handle(),
                       "INSERT OR IGNORE INTO nums(key, value, file) VALUES (?, ?, ?)"),
        m_deleteNumber(db.handle(), "DELETE FROM nums WHERE key = ? AND value = ? AND file = ?"),
        m_findBlob(db.handle(), "SELECT id FROM blobs WHERE hash = ? AND bytes = ?"),
        m_insertBlob(db.handle(), "INSERT INTO blobs(hash, refs, bytes) VALUES (?, 0, ?)"),
        m_countBlob(db.handle(), "UPDATE blobs SET refs = refs + ? WHERE id = ?"),
        m_dropBlob(db.handle(), "DELETE FROM blobs WHERE id = ? AND refs <= 0") {}

  // What is stored under the roots, read at once: one query instead of one
  // per file.
  void loadStored() {
    Statement keys(m_db.handle(), "SELECT id, key FROM keys");
    while (keys.step()) m_keys[std::string(keys.bytes(1), keys.length(1))] = keys.integer(0);
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
    if (existed) unindex(pending.id);
    m_packed.clear();
    if (values) pack(*values);
    Statement& s = existed ? m_updateFile : m_insertFile;
    int column = 1;
    if (!existed) s.bindBlob(column++, pending.path);
    s.bindInteger(column++, pending.size);
    s.bindInteger(column++, pending.mtime);
    if (values) {
      s.bindNull(column++);
      s.bindBlob(column++, m_packed.data(), m_packed.size());
    } else {
      s.bindBytes(column++, error.data(), error.size());
      s.bindNull(column++);
    }
    if (existed) s.bindInteger(column, pending.id);
    s.step();
    s.reset();
    if (!existed) pending.id = sqlite3_last_insert_rowid(m_db.handle());
    if (values) index(pending.id, m_packed, false);
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
    // The batch's word rows in rowid order: the full-text index writes its
    // pending rows out as a new segment whenever a rowid is lower than the
    // one before. The sort is stable, so that a rowid's rows are deleted
    // and added in the order they were queued.
    std::stable_sort(m_words.begin(), m_words.end(),
                     [](const WordRow& a, const WordRow& b) { return a.rowid < b.rowid; });
    for (const WordRow& row : m_words) {
      Statement& s = row.remove ? m_deleteWords : m_insertWords;
      s.bindInteger(1, row.rowid);
      s.bindText(2, row.text.data(), row.text.size());
      s.step();
      s.reset();
    }
    m_words.clear();
    m_wordBytes.clear();
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
    unindex(id);
    m_deleteFile.bindInteger(1, id);
    m_deleteFile.step();
    ++m_counts->removed;
  }

  // What file id's stored report put in the indexes, taken out.
  void unindex(int64_t id) {
    m_reportOf.bindInteger(1, id);
    if (!m_reportOf.step()) return;
    std::string old(m_reportOf.bytes(0), m_reportOf.length(0));
    m_reportOf.reset();
    index(id, old, true);
  }

  // Adds to the indexes (or, remove, takes out) what a packed report of
  // file id holds: its numbers, its inline texts' words and (removing) its
  // references to blobs.
  void index(int64_t id, const std::string& packed, bool remove) {
    std::vector<std::pair<int64_t, int64_t>> texts;  // (key, inline texts so far)
    PackedValue v;
    PackedReader values(packed);
    while (values.next(&v)) {
      if (v.kind == PackedValue::Integer || (v.kind == PackedValue::Real && !std::isnan(v.real))) {
        Statement& s = remove ? m_deleteNumber : m_insertNumber;
        s.bindInteger(1, v.key);
        if (v.kind == PackedValue::Integer) {
          s.bindInteger(2, v.integer);
        } else {
          s.bindReal(2, v.real);
        }
        s.bindInteger(3, id);
        s.step();
        s.reset();
      } else if (v.inBlob) {
        if (remove) dropBlobReference(v.integer);
      } else if (v.kind == PackedValue::Text || v.kind == PackedValue::Pair) {
        auto count = std::find_if(texts.begin(), texts.end(),
                                  [&](const auto& t) { return t.first == v.key; });
        if (count == texts.end()) count = texts.insert(texts.end(), {v.key, 0});
        const int64_t rowid = wordRow(id, v.key, count->second++);
        if (rowid != 0) queueWords(rowid, remove, v.bytes);
      }
    }
    if (values.damaged()) {
      throw DatabaseError("the index is damaged (the stored values of file " + std::to_string(id) +
                          " cannot be read): remove it and run update again");
    }
  }

  void queueWords(int64_t rowid, bool remove, std::string_view text) {
    // Kept in a deque, whose strings do not move as it grows.
    m_wordBytes.emplace_back(text);
    m_words.push_back(WordRow{rowid, remove, m_wordBytes.back()});
  }

  void dropBlobReference(int64_t blob) {
    m_countBlob.bindInteger(1, -1);
    m_countBlob.bindInteger(2, blob);
    m_countBlob.step();
    m_countBlob.reset();
    m_dropBlob.bindInteger(1, blob);
    m_dropBlob.step();
    m_dropBlob.reset();
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

  int64_t keyId(const Strigi::RegisteredField* field) {
    static const std::string kNone;
    const std::string& key = field ? field->key() : kNone;
    const auto known = m_keys.find(key);
    if (known != m_keys.end()) return known->second;
    m_insertKey.bindBytes(1, key.data(), key.size());
    m_insertKey.step();
    m_insertKey.reset();
    const int64_t id = sqlite3_last_insert_rowid(m_db.handle());
    m_keys.emplace(key, id);
    return id;
  }

  // Text bytes inline when they are UTF-8, else a counted reference to
  // the stored blob with those bytes, stored now if there is none.
  void setBytes(PackedValue& v, const char* data, size_t length) {
    if (mp4host::isValidUtf8(data, length)) {
      v.bytes = std::string_view(data, length);
      return;
    }
    v.inBlob = true;
    v.integer = blobId(data, length);
    m_countBlob.bindInteger(1, 1);
    m_countBlob.bindInteger(2, v.integer);
    m_countBlob.step();
    m_countBlob.reset();
  }

  int64_t blobId(const char* data, size_t length) {
    // The hash only narrows the blobs to compare, so it need not cover
    // every byte of a large picture.
    const size_t hashed = std::min<size_t>(length, 4096);
    const int64_t hash = static_cast<int64_t>(
        std::hash<std::string_view>()(std::string_view(data, hashed)) ^ length);
    m_findBlob.bindInteger(1, hash);
    m_findBlob.bindBlob(2, data, length);
    if (m_findBlob.step()) {
      const int64_t id = m_findBlob.integer(0);
      m_findBlob.reset();
      return id;
    }
    m_insertBlob.bindInteger(1, hash);
    m_insertBlob.bindBlob(2, data, length);
    m_insertBlob.step();
    m_insertBlob.reset();
    return sqlite3_last_insert_rowid(m_db.handle());
  }

  // The values into m_packed, in report order.
  void pack(const mp4host::ValueRecorder& values) {
    for (const mp4host::RecordedValue& r : values.values()) {
      PackedValue v;
      v.key = keyId(r.field);
      switch (r.kind) {
        case mp4host::RecordedValue::Text:
          setBytes(v, values.bytes(r), r.length);
          break;
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
          v.kind = PackedValue::Pair;
          v.name = std::string_view(values.nameBytes(r), r.nameLength);
          setBytes(v, values.bytes(r), r.length);
          break;
      }
      appendPacked(m_packed, v);
    }
  }

  // One row to add to or delete from the word index at the batch's end.
  struct WordRow {
    int64_t rowid;
    bool remove;
    std::string_view text;
  };

  Database& m_db;
  const std::vector<std::string>& m_roots;
  const std::string m_ownPath;
  UpdateCounts* m_counts;
  Statement m_find;
  Statement m_insertFile;
  Statement m_updateFile;
  Statement m_reportOf;
  Statement m_deleteFile;
  Statement m_insertKey;
  Statement m_insertWords;
  Statement m_deleteWords;
  Statement m_insertNumber;
  Statement m_deleteNumber;
  Statement m_findBlob;
  Statement m_insertBlob;
  Statement m_countBlob;
  Statement m_dropBlob;
  std::unordered_map<std::string, int64_t> m_keys;  // every key in keys, by its bytes
  std::string m_packed;                             // the report being stored
  std::vector<WordRow> m_words;                     // the batch's word rows, in queue order
  std::deque<std::string> m_wordBytes;              // their texts
  std::deque<Pending> m_pending;
  std::unordered_map<std::string, Stored> m_stored;  // under the roots, and stored since
  std::unordered_set<int64_t> m_seen;
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
