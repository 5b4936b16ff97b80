// The index in a PostgreSQL database that many machines share: each file
// under its source and path, writers of one source one at a time, writers
// of different sources side by side.
#ifndef MP4INDEX_PG_STORE_H
#define MP4INDEX_PG_STORE_H

#include <memory>
#include <string>

#include "store.h"

namespace mp4index {

// Opens the index in the database that connection (a URI or a libpq
// connection string) names; forWriting: its tables are made when the
// database has none of them yet. A database whose tables of these names
// are not an index of this version is refused, and left as it is.
std::unique_ptr<Store> openPgStore(const std::string& connection, bool forWriting);

}  // namespace mp4index

#endif
