// Reading an index: search terms, and the stored reports printed as
// mp4meta prints them.
#ifndef MP4INDEX_QUERY_H
#define MP4INDEX_QUERY_H

#include <cstdint>
#include <string>
#include <vector>

namespace mp4index {

class Store;

// One search term.
struct Term {
  enum Kind {
    Words,       // words: full text over every text value
    FieldWords,  // key:words
    Equals,      // key=value
    Less,        // key<N
    LessEqual,   // key<=N
    Greater,     // key>N
    GreaterEqual,
    Missing  // -key, missing:key
  };
  Kind kind = Words;
  std::string key;
  std::string text;
  int64_t number = 0;
};

// A query: a term, or terms that must all (or any) match, or a query that
// must not. An All without children matches every file.
struct QueryNode {
  enum Kind { Match, All, Any, Not };
  Kind kind = All;
  Term term;                        // Match
  std::vector<QueryNode> children;  // All and Any; Not has one
};

// Parses one term; on a malformed one returns false with *error saying why.
bool parseTerm(const std::string& text, Term* term, std::string* error);

// Prints the files that match the query (paths, one per line, in byte
// order; or JSON Lines). Notes on standard error the fields no file has.
void search(Store& store, const QueryNode& query, bool json);

// Prints what is stored for each path (a file, or a folder: every file
// under it). Returns false when a path is not in the index.
bool show(Store& store, const std::vector<std::string>& paths, bool json);

}  // namespace mp4index

#endif
