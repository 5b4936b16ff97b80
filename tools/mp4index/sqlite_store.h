// The index in an SQLite database file, with its full-text engine FTS5.
#ifndef MP4INDEX_SQLITE_STORE_H
#define MP4INDEX_SQLITE_STORE_H

#include <cstdint>
#include <memory>
#include <string>

#include "store.h"

namespace mp4index {

// Opens (forWriting: makes, when missing or empty) the index at path. An
// index of an older schema version is replaced by an empty one when opened
// for writing (*rebuiltFrom then says its version) and refused for reading;
// anything else that is not an index of ours is refused and left as it is.
std::unique_ptr<Store> openSqliteStore(const std::string& path, bool forWriting,
                                       int64_t* rebuiltFrom);

}  // namespace mp4index

#endif
