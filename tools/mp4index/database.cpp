#include "database.h"

#include <errno.h>
#include <mp4host/error_text.h>
#include <mp4host/report_format.h>
#include <sys/stat.h>
#include <unistd.h>

namespace mp4index {

namespace {

// "mp4i" in the database header: what tells our files from other SQLite
// databases.
constexpr int64_t kApplicationId = 0x6d703469;
constexpr int64_t kSchemaVersion = 5;
constexpr int kRetryMs = 10;

// Each file's values are packed, in report order, into files.report (see
// report.h); what the searches need is indexed beside it: the numbers in
// nums, the words of text values in the full-text table words, whose rowids
// name the file and key, every inline text by its bytes in texts (exact
// matches and ranges, such as dates and track numbers, read from its
// primary key), and the words of each file's path and name in names (both
// full-text tables contentless: the update deletes a file's rows with the
// texts they were made from). files.keys has bit k - 1 set for each key id
// k up to 63 the file has a value of, and keys.files counts the files that
// have a value of each key, so that presence is counted without reading
// the files; word_files counts, for each key and each word of its values,
// the files that have the word in a value of the key, so that a one-word
// term of a field is counted without reading its files; files.ext is the extension in lower case.
// Bytes that are not UTF-8 (cover images) are in blobs, once however many files hold them (the
// tracks of an album share their cover), counted in refs. The archives read whole, whose entries
// are files under their paths, are in a table archives (path, size, mtime_ns) that the store makes
// when it first keeps one.
const char kSchema[] = R"sql(
CREATE TABLE files(
  id INTEGER PRIMARY KEY,
  path BLOB NOT NULL UNIQUE,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  ext TEXT NOT NULL,
  keys INTEGER NOT NULL,
  error TEXT,
  report BLOB
);
CREATE INDEX files_by_size ON files(size);
CREATE INDEX files_by_mtime ON files(mtime_ns);
CREATE INDEX files_by_ext ON files(ext);
CREATE INDEX files_by_keys ON files(keys);
CREATE TABLE keys(
  id INTEGER PRIMARY KEY,
  key NOT NULL UNIQUE,
  files INTEGER NOT NULL DEFAULT 0
);
CREATE TABLE nums(
  key INTEGER NOT NULL,
  value NOT NULL,
  file INTEGER NOT NULL,
  PRIMARY KEY(key, value, file)
) WITHOUT ROWID;
CREATE TABLE texts(
  key INTEGER NOT NULL,
  value NOT NULL,
  file INTEGER NOT NULL,
  PRIMARY KEY(key, value, file)
) WITHOUT ROWID;
CREATE TABLE word_files(
  key INTEGER NOT NULL,
  word TEXT NOT NULL,
  files INTEGER NOT NULL,
  PRIMARY KEY(key, word)
) WITHOUT ROWID;
CREATE TABLE blobs(
  id INTEGER PRIMARY KEY,
  hash INTEGER NOT NULL,
  refs INTEGER NOT NULL,
  bytes BLOB NOT NULL
);
CREATE INDEX blobs_by_hash ON blobs(hash);
CREATE VIRTUAL TABLE words USING fts5(
  v, content='', columnsize=0, tokenize='unicode61 remove_diacritics 2');
CREATE VIRTUAL TABLE names USING fts5(
  path, name, content='', columnsize=0, tokenize='unicode61 remove_diacritics 2');
)sql";

// What an index of an older schema version holds; update drops it and
// starts anew (the index is made from the files).
const char kOldSchema[] = R"sql(
DROP TABLE IF EXISTS archives;
DROP TABLE IF EXISTS word_files;
DROP TABLE IF EXISTS vals_text;
DROP TABLE IF EXISTS vals;
DROP TABLE IF EXISTS words;
DROP TABLE IF EXISTS names;
DROP TABLE IF EXISTS texts;
DROP TABLE IF EXISTS nums;
DROP TABLE IF EXISTS keys;
DROP TABLE IF EXISTS blobs;
DROP TABLE IF EXISTS files;
)sql";

std::string folderOf(const std::string& path) {
  const std::string::size_type slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

Statement::Statement(sqlite3* db, const char* sql) : m_db(db) {
  if (sqlite3_prepare_v2(db, sql, -1, &m_statement, nullptr) != SQLITE_OK) {
    throw DatabaseError(sqlite3_errmsg(db));
  }
}

Statement::~Statement() { sqlite3_finalize(m_statement); }

void Statement::bindInteger(int index, int64_t value) {
  sqlite3_bind_int64(m_statement, index, value);
}

void Statement::bindReal(int index, double value) {
  sqlite3_bind_double(m_statement, index, value);
}

void Statement::bindBytes(int index, const char* data, size_t length) {
  if (mp4host::isValidUtf8(data, length)) {
    sqlite3_bind_text64(m_statement, index, data, length, SQLITE_STATIC, SQLITE_UTF8);
  } else {
    sqlite3_bind_blob64(m_statement, index, data, length, SQLITE_STATIC);
  }
}

void Statement::bindText(int index, const char* data, size_t length) {
  sqlite3_bind_text64(m_statement, index, data, length, SQLITE_STATIC, SQLITE_UTF8);
}

void Statement::bindBlob(int index, const char* data, size_t length) {
  sqlite3_bind_blob64(m_statement, index, data, length, SQLITE_STATIC);
}

void Statement::bindBlob(int index, const std::string& bytes) {
  sqlite3_bind_blob64(m_statement, index, bytes.data(), bytes.size(), SQLITE_TRANSIENT);
}

void Statement::bindNull(int index) { sqlite3_bind_null(m_statement, index); }

bool Statement::step() {
  const int rc = sqlite3_step(m_statement);
  if (rc == SQLITE_ROW) return true;
  sqlite3_reset(m_statement);
  if (rc == SQLITE_DONE) return false;
  throw DatabaseError(sqlite3_errmsg(m_db));
}

void Statement::reset() {
  sqlite3_reset(m_statement);
  sqlite3_clear_bindings(m_statement);
}

const char* Statement::bytes(int column) const {
  const void* blob = sqlite3_column_blob(m_statement, column);
  return blob ? static_cast<const char*>(blob) : "";
}

size_t Statement::length(int column) const {
  return static_cast<size_t>(sqlite3_column_bytes(m_statement, column));
}

void bindPathsUnder(Statement& statement, const std::string& path) {
  const std::string prefix = path == "/" ? path : path + '/';
  std::string end = prefix;
  end.back() = '/' + 1;
  statement.bindBlob(1, path);
  statement.bindBlob(2, prefix);
  statement.bindBlob(3, end);
}

Database::Database(const std::string& path, Mode mode) : m_path(path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    const int err = errno;
    if (err != ENOENT || mode == OpenExisting) {
      throw DatabaseError("cannot open the index: " + mp4host::errorText(err));
    }
    const std::string folder = folderOf(path);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
      throw DatabaseError("cannot create the index: folder " + folder + " does not exist");
    }
  } else if (S_ISDIR(st.st_mode)) {
    throw DatabaseError("is a folder, not an index");
  }
  const int flags =
      mode == CreateOrOpen ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READWRITE;
  int rc = sqlite3_open_v2(path.c_str(), &m_db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
  if (rc != SQLITE_OK && mode == OpenExisting) {
    // A read-only index can still be searched.
    sqlite3_close(m_db);
    m_db = nullptr;
    rc = sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
  }
  if (rc != SQLITE_OK) {
    const std::string message = m_db ? sqlite3_errmsg(m_db) : "out of memory";
    sqlite3_close(m_db);
    m_db = nullptr;
    throw DatabaseError("cannot open the index: " + message);
  }
  // A writer holds the lock for one batch; others wait rather than fail.
  sqlite3_busy_timeout(m_db, kBusyTimeoutMs);
  try {
    checkFormat(mode);
  } catch (...) {
    sqlite3_close(m_db);
    m_db = nullptr;
    throw;
  }
}

Database::~Database() { sqlite3_close(m_db); }

void Database::execute(const char* sql) {
  char* message = nullptr;
  if (sqlite3_exec(m_db, sql, nullptr, nullptr, &message) != SQLITE_OK) {
    const std::string text = message ? message : sqlite3_errmsg(m_db);
    sqlite3_free(message);
    throw DatabaseError(text);
  }
}

void Database::fail(const std::string& what) const {
  throw DatabaseError(what + ": " + sqlite3_errmsg(m_db));
}

void Database::checkFormat(Mode mode) {
  int64_t applicationId = 0;
  int64_t version = 0;
  int64_t objects = 0;
  try {
    Statement id(m_db, "PRAGMA application_id");
    if (id.step()) applicationId = id.integer(0);
    Statement user(m_db, "PRAGMA user_version");
    if (user.step()) version = user.integer(0);
    Statement count(m_db, "SELECT count(*) FROM sqlite_master");
    if (count.step()) objects = count.integer(0);
  } catch (const DatabaseError& e) {
    if (sqlite3_errcode(m_db) == SQLITE_NOTADB) {
      throw DatabaseError("not an index: the file is not an SQLite database (left as it is)");
    }
    throw DatabaseError(std::string("cannot read the index: ") + e.what());
  }
  if (applicationId == kApplicationId) {
    if (version > kSchemaVersion) {
      throw DatabaseError("the index was made by a newer mp4index (schema version " +
                          std::to_string(version) + "; this one knows version " +
                          std::to_string(kSchemaVersion) + "); left as it is");
    }
    if (version == kSchemaVersion) {
      if (mode == CreateOrOpen) execute("PRAGMA synchronous = NORMAL");
      return;
    }
    if (version != 0 && mode == OpenExisting) {
      throw DatabaseError("the index was made by an older mp4index (schema version " +
                          std::to_string(version) + "): run 'mp4index update' to rebuild it");
    }
  } else if (applicationId != 0 || objects != 0) {
    throw DatabaseError("not an index: an SQLite database of another application (left as it is)");
  }
  if (mode == OpenExisting) throw DatabaseError("the index is empty: run 'mp4index update' first");
  createSchema();
}

void Database::createSchema() {
  // WAL lets searches run while an update writes; it is a property of the
  // file, so it is set once, here.
  // Switching to WAL needs the file to itself. When another process opens
  // or makes the index at the same moment, SQLite can answer "locked" at
  // once instead of waiting, so the switch is tried again for a while.
  for (int waited = 0;; waited += kRetryMs) {
    if (sqlite3_exec(m_db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr) == SQLITE_OK) {
      break;
    }
    if (sqlite3_errcode(m_db) != SQLITE_BUSY || waited >= kBusyTimeoutMs) {
      fail("cannot make the index");
    }
    usleep(kRetryMs * 1000);
  }
  execute("PRAGMA synchronous = NORMAL");
  execute("BEGIN IMMEDIATE");
  try {
    // Another update may have made the schema while this one waited.
    Statement user(m_db, "PRAGMA user_version");
    const int64_t version = user.step() ? user.integer(0) : 0;
    user.reset();
    if (version == kSchemaVersion) {
      execute("COMMIT");
      return;
    }
    // An older index goes in the same transaction that makes the new one:
    // stopped before the commit, it stays as it was.
    if (version != 0) {
      execute(kOldSchema);
      m_rebuiltFrom = version;
    }
    execute(kSchema);
    execute(("PRAGMA application_id = " + std::to_string(kApplicationId)).c_str());
    execute(("PRAGMA user_version = " + std::to_string(kSchemaVersion)).c_str());
    execute("COMMIT");
  } catch (...) {
    sqlite3_exec(m_db, "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
}

}  // namespace mp4index
