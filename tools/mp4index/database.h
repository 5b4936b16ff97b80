// The index's SQLite database: opening with the checks that keep other
// files safe, the schema, and a small statement wrapper.
#ifndef MP4INDEX_DATABASE_H
#define MP4INDEX_DATABASE_H

#include <sqlite3.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "store.h"

namespace mp4index {

// One prepared statement. Errors throw DatabaseError.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // Parameters count from 1.
  void bindInteger(int index, int64_t value);
  void bindReal(int index, double value);
  // The bytes must stay until the statement is reset, but for the
  // std::string overload, which binds a copy. Valid UTF-8 is bound as
  // text by bindBytes, anything else as a blob.
  void bindBytes(int index, const char* data, size_t length);
  void bindText(int index, const char* data, size_t length);  // valid UTF-8
  void bindBlob(int index, const char* data, size_t length);
  void bindBlob(int index, const std::string& bytes);
  void bindNull(int index);

  // True while there is a row; the statement is reset when it ends.
  bool step();
  void reset();

  int type(int column) const { return sqlite3_column_type(m_statement, column); }
  int64_t integer(int column) const { return sqlite3_column_int64(m_statement, column); }
  double real(int column) const { return sqlite3_column_double(m_statement, column); }
  // Text or blob bytes, valid until the next step.
  const char* bytes(int column) const;
  size_t length(int column) const;

 private:
  sqlite3* m_db;
  sqlite3_stmt* m_statement = nullptr;
};

// Binds ?1, ?2 and ?3 of a statement whose condition is
// "path = ?1 OR (path >= ?2 AND path < ?3)" to select path and every path
// under it (paths compare as bytes).
void bindPathsUnder(Statement& statement, const std::string& path);

// An open index. Opening never changes a file that is not an index of this
// tool or an empty database; opened for writing, an index of an older
// schema version is replaced by an empty one, and for reading it is refused.
class Database {
 public:
  enum Mode {
    CreateOrOpen,  // for writing: an empty or missing file becomes an index
    OpenExisting   // for reading: the index must exist
  };
  Database(const std::string& path, Mode mode);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  // How long a writer waits for another before it gives up. Writers hold
  // the lock while they write a batch, for well under a second each time.
  static constexpr int kBusyTimeoutMs = 30000;

  sqlite3* handle() const { return m_db; }
  const std::string& path() const { return m_path; }
  void execute(const char* sql);
  // Throws DatabaseError with the database's path and the latest error.
  [[noreturn]] void fail(const std::string& what) const;
  // The schema version of the older index that opening replaced with an
  // empty one, or 0.
  int64_t rebuiltFrom() const { return m_rebuiltFrom; }

 private:
  void checkFormat(Mode mode);
  void createSchema();

  std::string m_path;
  sqlite3* m_db = nullptr;
  int64_t m_rebuiltFrom = 0;
};

}  // namespace mp4index

#endif
