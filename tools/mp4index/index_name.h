// Which index a command works on: named on the command line, by
// MP4INDEX_DB, or the user's default one.
#ifndef MP4INDEX_INDEX_NAME_H
#define MP4INDEX_INDEX_NAME_H

#include <string>
#include <vector>

namespace mp4index {

struct IndexName {
  std::string path;
  bool isDefault = false;  // the user's default index (its folder is made on demand)
};

// Takes the index out of a command's arguments (argv[0] excluded), in this
// order: --index DB (or --index=DB) anywhere before "--"; else the first
// argument that is no option when it ends in ".db" or is an existing
// SQLite database, or, for a command that makes the index (creating), when
// nothing is there yet and another argument follows; else $MP4INDEX_DB;
// else $XDG_DATA_HOME/mp4index/index.db, or ~/.local/share/mp4index/
// index.db. False, with *error, when --index has no value or no home
// folder is known.
bool takeIndexName(std::vector<std::string>* args, bool creating, IndexName* name,
                   std::string* error);

// Makes the folders of the default index (for a first update).
bool makeIndexFolder(const IndexName& name, std::string* error);

// Whether an index name is a PostgreSQL connection: a postgresql:// or
// postgres:// URI, or a libpq connection string of key=value pairs.
bool isPostgresName(const std::string& name);

// The name as messages show it: any password in it masked.
std::string shownIndexName(const std::string& name);

// The source whose files a command writes, taken out of its arguments:
// --source NAME (or --source=NAME) before "--", else $MP4INDEX_SOURCE,
// else the host name. False, with *error, for a missing or unusable name.
bool takeSource(std::vector<std::string>* args, std::string* source, std::string* error);

}  // namespace mp4index

#endif
