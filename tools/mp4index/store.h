// The seam between mp4index's logic (planning an update, following folders,
// the query language, the output) and the database that keeps the index.
// Everything above it is written once against Store; a back-end renders
// what it must (its SQL, its full-text syntax, its locking and retry rules)
// and nothing else.
#ifndef MP4INDEX_STORE_H
#define MP4INDEX_STORE_H

#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace mp4host {
class ValueRecorder;
}

namespace mp4index {

struct QueryNode;

// A failure of the index, its message ready for the user (the caller adds
// the index's name).
class DatabaseError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A failure that trying the transaction again may mend: the server lost
// the connection, or chose this transaction to end a conflict. Everything
// the transaction wrote is gone; writeWithRetries runs it again.
class RetryableError : public DatabaseError {
 public:
  using DatabaseError::DatabaseError;
};

// What the index knows of a file beside its values: its size and
// modification time when it was analysed, and whether the analysis failed.
struct FileState {
  int64_t size = 0;
  int64_t mtime = 0;  // nanoseconds since the epoch
  bool failed = false;
  // An archive read to its end, whose entries are stored under it
  // ("ARCHIVE/NAME"). It is kept for its state alone, so that an update can
  // pass over an archive that did not change without opening it: it has no
  // values, and search, count, hasField and showUnder never give it.
  bool archive = false;
  // Analysed, with no values at all (what any file that is not an MP4 file
  // gives: it may be an archive stored as a file when archives were not
  // read). A hint that find and listUnder give; put and == ignore it.
  bool empty = false;
  bool operator==(const FileState& o) const {
    return size == o.size && mtime == o.mtime && failed == o.failed && archive == o.archive;
  }
  bool operator!=(const FileState& o) const { return !(*this == o); }
};

// One stored file as a search or a listing hands it out. The pointers are
// valid for the call that receives the file only.
struct StoredFile {
  std::string_view source;  // whose file it is, on an index of many sources; else empty
  std::string_view path;
  FileState state;
  const std::string* error = nullptr;              // why its analysis failed, else null
  const mp4host::ValueRecorder* values = nullptr;  // what it reported, when not failed
};

using FileSink = std::function<void(const StoredFile&)>;

// What a search hands out.
struct SearchOptions {
  // false: the path and state of each file alone (error and values stay
  // null), which is all a listing of paths needs.
  bool values = true;
  // When not empty, the values handed out need hold only those of these
  // field keys (a store may leave the others out).
  std::vector<std::string> keys;
  // At most this many files: the first ones in path order.
  uint64_t limit = UINT64_MAX;
};
using StateSink = std::function<void(const std::string& path, const FileState& state)>;

// An open index. Paths are absolute and compare as bytes; "under" a path
// means the path itself and every path that continues it with "/".
//
// Writing happens in transactions (beginWrite ... commitWrite): a
// transaction is all or nothing, and while one is open no other writer of
// the same index is inside one, so that what a writer reads inside its
// transaction (find, listUnder) is what its writes change. beginWrite waits
// for the other writers, within a bound, then throws DatabaseError saying
// the index is busy. Readers are never held up by writers for long and see
// whole transactions only.
//
// An index may hold the files of many sources (machines): then every file
// is stored under its source and its path, and everything that writes or
// lists files (find, listUnder, put, remove, move) is about the files of
// the running source, source(), alone; searches see every source's files.
class Store {
 public:
  virtual ~Store() = default;

  // The source whose files this process writes and shows by path alone.
  const std::string& source() const { return m_source; }
  void setSource(const std::string& source) { m_source = source; }

  // Files of the index's own (an SQLite database and its logs), which are
  // never files of the collection even when they lie under a root.
  virtual bool isOwnFile(const std::string& path) const = 0;

  virtual void beginWrite() = 0;
  virtual void commitWrite() = 0;
  // Throws nothing; a no-op outside a transaction.
  virtual void rollbackWrite() = 0;

  // The stored state of path; false when the index does not hold it.
  virtual bool find(const std::string& path, FileState* state) = 0;
  // Every stored file under path, in no particular order.
  virtual void listUnder(const std::string& path, const StateSink& each) = 0;

  // In a write transaction: stores path whole, replacing what was stored
  // under that path (a file or an archive): its values, or (values null)
  // the error that kept it from being analysed; an archive (state.archive)
  // with its state alone.
  virtual void put(const std::string& path, const FileState& state,
                   const mp4host::ValueRecorder* values, const std::string& error) = 0;
  // In a write transaction: removes the file stored at path, if any.
  virtual void remove(const std::string& path) = 0;
  // In a write transaction: every file stored under from is stored under
  // to instead (from's own file at to itself), its values and state kept;
  // whatever was stored under to goes.
  virtual void move(const std::string& from, const std::string& to) = 0;

  // Gives back what memory it can (caches), for a long-lived process that
  // has finished a large piece of work.
  virtual void releaseMemory() {}

  // Reading. Between beginRead and endRead every read sees one snapshot
  // of the index (reads outside them see the latest at each call).
  virtual void beginRead() = 0;
  virtual void endRead() = 0;
  // The files that match query (see Term in query.h for what each term
  // matches), in path order (bytes), within options.limit.
  virtual void search(const QueryNode& query, const SearchOptions& options,
                      const FileSink& each) = 0;
  // The number of files that match query.
  virtual uint64_t count(const QueryNode& query) = 0;
  // Whether any stored file has a value of the field key.
  virtual bool hasField(const std::string& key) = 0;
  // Every file of source (empty: the running one) stored under path, in
  // path order; false when there is none.
  virtual bool showUnder(const std::string& source, const std::string& path,
                         const FileSink& each) = 0;

 private:
  std::string m_source;
};

// Runs body inside a write transaction and commits it; when the index
// throws RetryableError, rolls back and runs body again, after a pause
// that doubles each time, up to kWriteAttempts times in all (about 30
// seconds), then throws DatabaseError with the last reason. body must do
// the same work whenever it runs (it sets back what it counts).
constexpr int kWriteAttempts = 7;
void writeWithRetries(Store& store, const std::function<void()>& body);

// Opens the index named by the user: an SQLite file, or a PostgreSQL
// database (isPostgresName), for source. forWriting: an index that does
// not exist yet is made; otherwise it must exist. rebuiltFrom (optional)
// learns the schema version of an older index that was replaced by an
// empty one, or 0.
std::unique_ptr<Store> openStore(const std::string& name, bool forWriting,
                                 const std::string& source, int64_t* rebuiltFrom = nullptr);

}  // namespace mp4index

#endif
