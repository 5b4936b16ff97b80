// Reading an index for people and programs: the files a query matches,
// sorted, limited, counted or as a table of chosen fields, and the stored
// reports printed as mp4meta prints them.
#ifndef MP4INDEX_SEARCH_H
#define MP4INDEX_SEARCH_H

#include <cstdint>
#include <string>
#include <vector>

#include "query.h"

namespace mp4index {

class Store;

struct SortKey {
  FieldRef field;
  bool descending = false;
};

struct OutputOptions {
  enum Format {
    Paths,  // one path a line, escaped as mp4meta prints paths
    Json,   // the objects mp4meta --json prints
    Tsv,    // one row a file of the chosen fields, a header first
    Csv,
    JsonRows  // one object a line: the chosen fields by their names
  };
  Format format = Paths;
  std::vector<FieldRef> fields;  // Tsv, Csv, JsonRows
  // Files in this order, then by path; a file without a value of a key
  // comes after those with one, in either direction.
  std::vector<SortKey> sort;
  uint64_t limit = UINT64_MAX;
  bool count = false;  // print the number of matches alone
};

// Parses "a,b,c" (--fields) and "a,-b" (--sort: '-' for descending).
bool parseFieldList(const std::string& list, std::vector<FieldRef>* fields, std::string* error);
bool parseSortList(const std::string& list, std::vector<SortKey>* keys, std::string* error);

// Prints what the query matches. Notes on standard error the fields no
// file has.
void search(Store& store, const QueryNode& query, const OutputOptions& options);

// Prints what is stored for each path (a file, or a folder: every file
// under it). Returns false when a path is not in the index.
bool show(Store& store, const std::vector<std::string>& paths, bool json);

}  // namespace mp4index

#endif
