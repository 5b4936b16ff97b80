#include "words.h"

#include <algorithm>
#include <cstdint>

#include "store.h"

namespace mp4index {

namespace {

fts5_api* fts5Of(sqlite3* db) {
  fts5_api* api = nullptr;
  sqlite3_stmt* statement = nullptr;
  if (sqlite3_prepare_v2(db, "SELECT fts5(?1)", -1, &statement, nullptr) == SQLITE_OK) {
    sqlite3_bind_pointer(statement, 1, &api, "fts5_api_ptr", nullptr);
    sqlite3_step(statement);
  }
  sqlite3_finalize(statement);
  return api;
}

}  // namespace

WordSplitter::WordSplitter() {
  void* context = nullptr;
  fts5_api* api = nullptr;
  const char* arguments[] = {"remove_diacritics", "2"};
  if (sqlite3_open_v2(":memory:", &m_db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK ||
      !(api = fts5Of(m_db)) ||
      api->xFindTokenizer(api, "unicode61", &context, &m_module) != SQLITE_OK ||
      m_module.xCreate(context, arguments, 2, &m_tokenizer) != SQLITE_OK) {
    sqlite3_close(m_db);
    throw DatabaseError("SQLite's full-text tokenizer unicode61 is not available");
  }
}

WordSplitter::~WordSplitter() {
  m_module.xDelete(m_tokenizer);
  sqlite3_close(m_db);
}

std::vector<std::string> WordSplitter::split(std::string_view text) {
  std::vector<std::string> words;
  each(text, [&](std::string_view word) { words.emplace_back(word); });
  return words;
}

void WordSplitter::each(std::string_view text, const std::function<void(std::string_view)>& word) {
  const auto add = [](void* out, int, const char* token, int length, int, int) {
    (*static_cast<const std::function<void(std::string_view)>*>(out))(
        std::string_view(token, static_cast<size_t>(length)));
    return SQLITE_OK;
  };
  m_module.xTokenize(m_tokenizer, const_cast<std::function<void(std::string_view)>*>(&word),
                     FTS5_TOKENIZE_DOCUMENT, text.data(),
                     static_cast<int>(std::min<size_t>(text.size(), INT32_MAX)), add);
}

}  // namespace mp4index
