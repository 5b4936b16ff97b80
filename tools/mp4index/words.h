// Text split into words and folded as the SQLite index's full-text tables
// split and fold it (the tokenizer "unicode61 remove_diacritics 2"), for a
// store that keeps its own table of words: both then find the same files
// for the same query.
#ifndef MP4INDEX_WORDS_H
#define MP4INDEX_WORDS_H

#include <sqlite3.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace mp4index {

class WordSplitter {
 public:
  WordSplitter();
  ~WordSplitter();
  WordSplitter(const WordSplitter&) = delete;
  WordSplitter& operator=(const WordSplitter&) = delete;

  // The words of text, in order, in lower case without accents.
  std::vector<std::string> split(std::string_view text);
  // The same, each handed to word (valid for the call only).
  void each(std::string_view text, const std::function<void(std::string_view)>& word);

 private:
  sqlite3* m_db = nullptr;  // holds the tokenizer's module
  fts5_tokenizer m_module{};
  Fts5Tokenizer* m_tokenizer = nullptr;
};

}  // namespace mp4index

#endif
