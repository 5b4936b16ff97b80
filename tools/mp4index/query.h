// Reading an index: search terms, and the stored reports printed as
// mp4meta prints them.
#ifndef MP4INDEX_QUERY_H
#define MP4INDEX_QUERY_H

#include <cstdint>
#include <string>
#include <vector>

namespace mp4index {

class Database;

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

// Parses one term; on a malformed one returns false with *error saying why.
bool parseTerm(const std::string& text, Term* term, std::string* error);

// Prints the files that match every term (paths, one per line, in byte
// order; or JSON Lines). Notes on standard error the fields no file has.
void search(Database& db, const std::vector<Term>& terms, bool json);

// Prints what is stored for each path (a file, or a folder: every file
// under it). Returns false when a path is not in the index.
bool show(Database& db, const std::vector<std::string>& paths, bool json);

}  // namespace mp4index

#endif
