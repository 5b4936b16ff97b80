#include "database.h"

#include <errno.h>
#include <mp4host/error_text.h>
#include <mp4host/report_format.h>
#include <sys/stat.h>

#include <string_view>

#include "packed_report.h"

namespace mp4index {

namespace {

// "mp4i" in the database header: what tells our files from other SQLite
// databases.
constexpr int64_t kApplicationId = 0x6d703469;
constexpr int64_t kSchemaVersion = 2;

// One row per file, its values packed in report order (report): what show
// replays. Beside it, what searches need and nothing more: the words of
// text values in a full-text index without content, whose rowid is
// (file << 20) + the value's position in the report (the report tells its
// key and bytes), numbers in nums by key and value, and how many files hold
// each field. Other bytes
// (cover images) are kept once however many values hold them (the tracks of
// an album share their cover), in blobs, and the report holds their id.
const char kSchema[] = R"sql(
CREATE TABLE files(
  id INTEGER PRIMARY KEY,
  path BLOB NOT NULL UNIQUE,
  size INTEGER NOT NULL,
  mtime_ns INTEGER NOT NULL,
  error TEXT,
  report BLOB
);
CREATE TABLE nums(
  key TEXT NOT NULL,
  value NOT NULL,
  file INTEGER NOT NULL,
  PRIMARY KEY(key, value, file)
) WITHOUT ROWID;
CREATE TABLE fields(key TEXT PRIMARY KEY, files INTEGER NOT NULL) WITHOUT ROWID;
CREATE TABLE blobs(
  id INTEGER PRIMARY KEY,
  hash INTEGER NOT NULL,
  refs INTEGER NOT NULL,
  bytes BLOB NOT NULL
);
CREATE INDEX blobs_by_hash ON blobs(hash);
CREATE VIRTUAL TABLE texts USING fts5(
  value, content='', columnsize=0, tokenize='unicode61 remove_diacritics 2');
)sql";

// The tables of every earlier schema version and of this one, dropped when
// an earlier index is rebuilt.
const char kEarlierTables[] =
    "DROP TABLE IF EXISTS vals_text; DROP TABLE IF EXISTS vals; DROP TABLE IF EXISTS texts; "
    "DROP TABLE IF EXISTS nums; DROP TABLE IF EXISTS fields; DROP TABLE IF EXISTS blobs; "
    "DROP TABLE IF EXISTS files;";

std::string_view blobArgument(sqlite3_value* value) {
  const char* bytes = static_cast<const char*>(sqlite3_value_blob(value));
  return std::string_view(bytes ? bytes : "", static_cast<size_t>(sqlite3_value_bytes(value)));
}

// The functions searches call on a file's packed report; a damaged report
// gives NULL.
//   report_has_key(report, key): whether a value has that key;
//   report_has(report, pos, key): whether the value at pos has that key;
//   report_has(report, pos, key, text): and is text of exactly those bytes;
//   report_has_text(report, key, text): whether any value is (a pos of -1).
void reportFunction(sqlite3_context* context, int argc, sqlite3_value** args) {
  const intptr_t which = reinterpret_cast<intptr_t>(sqlite3_user_data(context));
  int64_t pos = -1;
  int keyArg = 1;
  if (which == 1) {
    pos = sqlite3_value_int64(args[1]);
    keyArg = 2;
  }
  const std::string_view key = blobArgument(args[keyArg]);
  const bool withText = keyArg + 1 < argc;
  const std::string_view text = withText ? blobArgument(args[keyArg + 1]) : std::string_view();
  PackedReader reader(blobArgument(args[0]));
  PackedValue v;
  for (int64_t at = 0; reader.next(&v); ++at) {
    if (pos >= 0 && at < pos) continue;
    const bool match =
        v.key == key &&
        (!withText || ((v.kind == PackedValue::Text || v.kind == PackedValue::Pair) &&
                       v.blob == 0 && v.bytes == text));
    if (match || at == pos) {
      sqlite3_result_int(context, match);
      return;
    }
  }
  if (reader.damaged()) {
    sqlite3_result_null(context);
  } else {
    sqlite3_result_int(context, 0);
  }
}

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
  sqlite3_busy_timeout(m_db, 30000);
  const int deterministic = SQLITE_UTF8 | SQLITE_DETERMINISTIC;
  sqlite3_create_function(m_db, "report_has_key", 2, deterministic, reinterpret_cast<void*>(0),
                          reportFunction, nullptr, nullptr);
  sqlite3_create_function(m_db, "report_has_text", 3, deterministic, reinterpret_cast<void*>(0),
                          reportFunction, nullptr, nullptr);
  for (int argc : {3, 4}) {
    sqlite3_create_function(m_db, "report_has", argc, deterministic, reinterpret_cast<void*>(1),
                            reportFunction, nullptr, nullptr);
  }
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
    if (version > 0 && mode == OpenExisting) {
      throw DatabaseError("the index was made by an earlier mp4index (schema version " +
                          std::to_string(version) + "): run 'mp4index update' to rebuild it");
    }
    m_rebuiltVersion = version;
  } else if (applicationId != 0 || objects != 0) {
    throw DatabaseError("not an index: an SQLite database of another application (left as it is)");
  }
  if (mode == OpenExisting) throw DatabaseError("the index is empty: run 'mp4index update' first");
  createSchema();
}

void Database::createSchema() {
  // WAL lets searches run while an update writes; it is a property of the
  // file, so it is set once, here.
  execute("PRAGMA journal_mode = WAL");
  execute("PRAGMA synchronous = NORMAL");
  execute("BEGIN IMMEDIATE");
  try {
    // Another update may have made the schema while this one waited.
    Statement user(m_db, "PRAGMA user_version");
    const bool made = user.step() && user.integer(0) == kSchemaVersion;
    user.reset();
    if (made) {
      execute("COMMIT");
      return;
    }
    if (m_rebuiltVersion > 0) execute(kEarlierTables);
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
