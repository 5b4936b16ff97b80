// The index in an SQLite database (see database.cpp for the schema).
#include "sqlite_store.h"

#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <deque>
#include <new>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "database.h"
#include "key_cache.h"
#include "query.h"
#include "report.h"
#include "update.h"
#include "words.h"

namespace mp4index {

namespace {

// Words as one FTS5 phrase: the tokenizer splits them, nothing in them is
// query syntax; prefix: the last word may be the start of a word.
std::string ftsPhrase(const std::string& words, bool prefix) {
  std::string phrase = "\"";
  for (char c : words) {
    if (c == '"') phrase += '"';
    phrase += c;
  }
  phrase += prefix ? "\" *" : "\"";
  return phrase;
}

// Key ids up to this have a bit in files.keys.
constexpr int64_t kMaskedKeys = 63;

int64_t keyBit(int64_t key) { return key >= 1 && key <= kMaskedKeys ? int64_t{1} << (key - 1) : 0; }

std::string_view columnBytes(sqlite3_value* value) {
  const void* data = sqlite3_value_blob(value);
  return std::string_view(static_cast<const char*>(data), data ? sqlite3_value_bytes(value) : 0);
}

// mp4index_has_key(report, key): whether the packed report holds a value
// of that key.
void hasKeyFunction(sqlite3_context* context, int, sqlite3_value** args) {
  sqlite3_result_int(context, hasKey(columnBytes(args[0]), sqlite3_value_int64(args[1])));
}

// mp4index_has_text(report, key, text): whether the packed report holds an
// inline text value (or pair value) of that key whose bytes are text's.
void hasText(sqlite3_context* context, int, sqlite3_value** args) {
  const int64_t key = sqlite3_value_int64(args[1]);
  const std::string_view text = columnBytes(args[2]);
  PackedValue v;
  for (PackedReader values(columnBytes(args[0])); values.next(&v);) {
    if (v.key == key && !v.inBlob && (v.kind == PackedValue::Text || v.kind == PackedValue::Pair) &&
        v.bytes == text) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
  sqlite3_result_int(context, 0);
}

// mp4index_has_number(report, key, low, high): whether the packed report
// holds a number of that key in [low, high].
void hasNumber(sqlite3_context* context, int, sqlite3_value** args) {
  const int64_t key = sqlite3_value_int64(args[1]);
  const int64_t low = sqlite3_value_int64(args[2]), high = sqlite3_value_int64(args[3]);
  PackedValue v;
  for (PackedReader values(columnBytes(args[0])); values.next(&v);) {
    if (v.key != key) continue;
    if ((v.kind == PackedValue::Integer && v.integer >= low && v.integer <= high) ||
        (v.kind == PackedValue::Real && v.real >= static_cast<double>(low) &&
         v.real <= static_cast<double>(high))) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
  sqlite3_result_int(context, 0);
}

// mp4index_has_text_in(report, key, low, high): whether the packed report
// holds an inline text of that key from low up to (not including) high;
// an empty high has no end.
void hasTextIn(sqlite3_context* context, int, sqlite3_value** args) {
  const int64_t key = sqlite3_value_int64(args[1]);
  const std::string_view low = columnBytes(args[2]), high = columnBytes(args[3]);
  PackedValue v;
  for (PackedReader values(columnBytes(args[0])); values.next(&v);) {
    if (v.key == key && !v.inBlob && (v.kind == PackedValue::Text || v.kind == PackedValue::Pair) &&
        v.bytes >= low && (high.empty() || v.bytes < high)) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
  sqlite3_result_int(context, 0);
}

// mp4index_count(id): how many distinct ids it is given. Ids that come in
// ascending order (the rowids of a full-text match, a primary key's rows)
// are counted as they come; others are sorted at the end.
struct DistinctIds {
  std::vector<int64_t> ids;
  bool ascending = true;
};

void countStep(sqlite3_context* context, int, sqlite3_value** args) {
  auto** state =
      static_cast<DistinctIds**>(sqlite3_aggregate_context(context, sizeof(DistinctIds*)));
  if (!state) return sqlite3_result_error_nomem(context);
  try {
    if (!*state) *state = new DistinctIds;
    std::vector<int64_t>& ids = (*state)->ids;
    const int64_t id = sqlite3_value_int64(args[0]);
    if (!ids.empty() && id == ids.back()) return;
    if (!ids.empty() && id < ids.back()) (*state)->ascending = false;
    ids.push_back(id);
  } catch (const std::bad_alloc&) {
    sqlite3_result_error_nomem(context);
  }
}

void countFinal(sqlite3_context* context) {
  auto** state = static_cast<DistinctIds**>(sqlite3_aggregate_context(context, 0));
  const DistinctIds* counted = state ? *state : nullptr;
  if (!counted) return sqlite3_result_int64(context, 0);
  std::vector<int64_t> ids = std::move((*state)->ids);
  const bool ascending = counted->ascending;
  delete counted;
  if (!ascending) {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
  }
  sqlite3_result_int64(context, static_cast<int64_t>(ids.size()));
}

// SQL with its parameters, in the order of their '?'.
struct Sql {
  struct Parameter {
    enum Kind { Number, Bytes, Text } kind;
    std::string text;
    int64_t number;
  };
  std::string text;
  std::vector<Parameter> parameters;

  Sql& operator<<(const char* more) {
    text += more;
    return *this;
  }
  Sql& operator<<(const Sql& more) {
    text += more.text;
    parameters.insert(parameters.end(), more.parameters.begin(), more.parameters.end());
    return *this;
  }
  // Bound as text when valid UTF-8, else as a blob.
  Sql& bytes(std::string t) {
    parameters.push_back({Parameter::Bytes, std::move(t), 0});
    return *this;
  }
  // Bound as text, whatever the bytes: compared with the stored texts byte
  // for byte.
  Sql& asText(std::string t) {
    parameters.push_back({Parameter::Text, std::move(t), 0});
    return *this;
  }
  Sql& number(int64_t n) {
    parameters.push_back({Parameter::Number, "", n});
    return *this;
  }
  void bind(Statement& statement) const {
    for (size_t i = 0; i < parameters.size(); ++i) {
      const int index = static_cast<int>(i + 1);
      const Parameter& p = parameters[i];
      if (p.kind == Parameter::Number) {
        statement.bindInteger(index, p.number);
      } else if (p.kind == Parameter::Text) {
        statement.bindText(index, p.text.data(), p.text.size());
      } else {
        statement.bindBytes(index, p.text.data(), p.text.size());
      }
    }
  }
};

// A query rendered as the condition of a SELECT over files f. Every node
// can be rendered three ways: as the set of its files' ids, as a check of
// one file (the row f), and as a condition, which is the set for a term
// and, for terms that must all match, the set of the one with the fewest
// files, the others checked on its files only. How many files a term has
// is learnt by counting its set, up to kProbe (or, for a field's presence,
// from keys.files): so "album:album title:1234" reads the few files of
// "1234", never the set of every album.
class QueryRenderer {
 public:
  using KeyId = std::function<int64_t(const std::string&)>;
  // The integer in the first column of the query's first row, 0 if none.
  using Scalar = std::function<int64_t(const Sql& query)>;
  // The one word that text splits into; false when it is none or several.
  using OneWord = std::function<bool(const std::string& text, std::string* word)>;
  static constexpr int64_t kProbe = 1000;

  QueryRenderer(const KeyId& keyId, const Scalar& scalar, const std::string& source,
                const OneWord& oneWord = nullptr)
      : m_keyId(keyId), m_scalar(scalar), m_source(source), m_oneWord(oneWord) {}

  // The number of files that match: a field's presence from keys.files, a
  // word's from word_files, a term's or an either-or's distinct ids without
  // reading the files, a negation's the files less those.
  Sql count(const QueryNode& node) {
    std::string word;
    switch (node.kind) {
      case QueryNode::Match:
        if (isFact(node.term)) break;
        if (node.term.kind == Term::Has) return filesWith(node.term);
        if (oneWord(node.term, &word)) {
          return Sql() << "SELECT coalesce((SELECT files FROM word_files WHERE key = ? AND word = "
                          "?), 0)"
                       << Sql().number(keyOf(node.term)) << Sql().asText(word);
        }
        [[fallthrough]];
      case QueryNode::Any:
        return Sql() << "WITH s(id) AS (" << set(node) << ") SELECT mp4index_count(id) FROM s";
      case QueryNode::Not:
        return Sql() << "SELECT (SELECT count(*) FROM files) - (" << count(node.children[0]) << ")";
      case QueryNode::All:
        break;
    }
    return Sql() << "SELECT count(*) FROM files f WHERE " << condition(node);
  }

  Sql condition(const QueryNode& node) {
    switch (node.kind) {
      case QueryNode::Match:
        // A fact is a column of files, with an index.
        if (isFact(node.term)) return leafCheck(node.term);
        [[fallthrough]];
      case QueryNode::Any:
        return Sql() << "f.id IN (" << set(node) << ")";
      case QueryNode::Not:
        // A file's own columns are checked on its row; anything else is
        // the set of files to leave out.
        if (node.children[0].kind == QueryNode::Match && onRow(node.children[0].term)) {
          return Sql() << "NOT " << leafCheck(node.children[0].term);
        }
        return Sql() << "f.id NOT IN (" << set(node.children[0]) << ")";
      case QueryNode::All:
        break;
    }
    if (node.children.empty()) return Sql() << "1";
    std::vector<const QueryNode*> order;
    for (const QueryNode& child : node.children) order.push_back(&child);
    std::stable_sort(order.begin(), order.end(), [&](const QueryNode* a, const QueryNode* b) {
      return estimate(*a) < estimate(*b);
    });
    // Negations cannot lead; when all are, each is a condition.
    if (order.front()->kind == QueryNode::Not) {
      Sql sql;
      sql << "(";
      for (size_t i = 0; i < order.size(); ++i) sql << (i ? " AND " : "") << condition(*order[i]);
      return sql << ")";
    }
    // The others are checked on the lead's files, or, when their sets are
    // small beside the lead's (a check of words is a full-text query, of a
    // value a read of the file's row), intersected with its set first: the
    // largest set is read, the others are looked up.
    std::vector<std::pair<int64_t, const QueryNode*>> joined{
        {estimate(*order.front()), order.front()}};
    Sql checked;
    for (size_t i = 1; i < order.size(); ++i) {
      const int64_t n = indexed(*order.front()) ? setSize(*order[i], joined[0].first) : -1;
      if (n >= 0) {
        joined.emplace_back(n, order[i]);
      } else {
        checked << " AND " << check(*order[i]);
      }
    }
    Sql sql;
    sql << "(";
    if (joined.size() == 1) return sql << condition(*order.front()) << checked << ")";
    std::stable_sort(joined.begin(), joined.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    sql << "f.id IN (WITH driver(id) AS (" << set(*joined[0].second)
        << ") SELECT id FROM driver WHERE 1";
    for (size_t i = 1; i < joined.size(); ++i)
      sql << " AND +id IN (" << set(*joined[i].second) << ")";
    return sql << ")" << checked << ")";
  }

 private:
  Sql set(const QueryNode& node) {
    switch (node.kind) {
      case QueryNode::Match:
        return leafSet(node.term);
      case QueryNode::Any: {
        Sql sql;
        for (size_t i = 0; i < node.children.size(); ++i) {
          sql << (i ? " UNION ALL " : "") << set(node.children[i]);
        }
        return sql;
      }
      case QueryNode::Not:
      case QueryNode::All:
        break;
    }
    return Sql() << "SELECT f.id FROM files f WHERE " << condition(node);
  }

  Sql check(const QueryNode& node) {
    switch (node.kind) {
      case QueryNode::Match:
        return leafCheck(node.term);
      case QueryNode::Not:
        return Sql() << "NOT " << check(node.children[0]);
      case QueryNode::All:
      case QueryNode::Any:
        break;
    }
    if (node.children.empty()) return Sql() << "1";
    Sql sql;
    sql << "(";
    for (size_t i = 0; i < node.children.size(); ++i) {
      sql << (i ? (node.kind == QueryNode::All ? " AND " : " OR ") : "") << check(node.children[i]);
    }
    return sql << ")";
  }

  // Whether node's set is read from an index alone, without the files'
  // rows: words, names, values and the facts with an index.
  static bool indexed(const QueryNode& node) {
    if (node.kind == QueryNode::Any) {
      return std::all_of(node.children.begin(), node.children.end(), indexed);
    }
    return node.kind == QueryNode::Match && node.term.kind != Term::Has;
  }

  // Whether checking node on a file is a full-text query.
  static bool checksWords(const QueryNode& node) {
    if (node.kind == QueryNode::Any) {
      return std::any_of(node.children.begin(), node.children.end(), checksWords);
    }
    const Term& term = node.term;
    return node.kind == QueryNode::Match &&
           (term.kind == Term::Words || term.kind == Term::FieldWords);
  }

  // The number of files of node's set when reading it beside a lead of
  // about lead files costs less than checking node on each of those; else
  // -1. A file of a set costs about a sixteenth of a check of a value and a
  // sixty-fourth of a check of words; the set is counted only as far as
  // that bound.
  int64_t setSize(const QueryNode& node, int64_t lead) {
    if (!indexed(node)) return -1;
    const int64_t bound = lead * (checksWords(node) ? 64 : 16);
    const int64_t n = estimate(node) < kProbe
                          ? estimate(node)
                          : m_scalar(Sql() << "SELECT count(*) FROM (SELECT 1 FROM (" << set(node)
                                           << ") LIMIT ?)" << Sql().number(bound + 1));
    return n <= bound ? n : -1;
  }

  // About how many files node matches, up to kProbe; more than kProbe for
  // a negation, which no one counts.
  int64_t estimate(const QueryNode& node) {
    const auto known = m_estimates.find(&node);
    if (known != m_estimates.end()) return known->second;
    int64_t n = 0;
    switch (node.kind) {
      case QueryNode::Match:
        n = node.term.kind == Term::Has
                ? std::min(kProbe, m_scalar(filesWith(node.term)))
                : m_scalar(Sql() << "SELECT count(*) FROM (SELECT 1 FROM (" << leafSet(node.term)
                                 << ") LIMIT ?)" << Sql().number(kProbe));
        break;
      case QueryNode::Not:
        n = kProbe + 1;
        break;
      case QueryNode::Any:
        for (const QueryNode& child : node.children) n = std::min(kProbe + 1, n + estimate(child));
        break;
      case QueryNode::All:
        n = kProbe + 1;
        for (const QueryNode& child : node.children) n = std::min(n, estimate(child));
        break;
    }
    m_estimates[&node] = n;
    return n;
  }

  static bool isFact(const Term& term) {
    return term.fact == Term::Size || term.fact == Term::Modified || term.fact == Term::Extension ||
           term.fact == Term::Source;
  }

  // Whether term's check reads only columns of the file's row.
  bool onRow(const Term& term) {
    return isFact(term) || (term.kind == Term::Has && keyBit(keyOf(term)) != 0);
  }

  // The key's id; 0 when no file has ever had it.
  int64_t keyOf(const Term& term) { return term.fact == Term::Value ? m_keyId(term.key) : 0; }

  // Whether term is one whole word in a field (word_files counts its files).
  bool oneWord(const Term& term, std::string* word) {
    return m_oneWord && term.kind == Term::FieldWords && term.fact == Term::Value && !term.prefix &&
           keyOf(term) != 0 && m_oneWord(term.text, word);
  }

  // The number of files with a value of term's key.
  Sql filesWith(const Term& term) {
    return Sql() << "SELECT coalesce((SELECT files FROM keys WHERE id = ?), 0)"
                 << Sql().number(keyOf(term));
  }

  // The words of term as a match of names' columns or of words.
  static std::string match(const Term& term) {
    const std::string phrase = ftsPhrase(term.text, term.prefix);
    if (term.fact == Term::Path) return "path : " + phrase;
    if (term.fact == Term::Name) return "name : " + phrase;
    return phrase;
  }

  static const char* factColumn(Term::Fact fact) {
    return fact == Term::Size ? "size" : fact == Term::Modified ? "mtime_ns" : "ext";
  }

  Sql leafSet(const Term& term) {
    static_assert(kFileShift == 32 && kKeyShift == 20, "the queries below take a word row apart");
    Sql sql;
    if (term.kind == Term::Words) {
      return sql << "SELECT rowid >> 32 FROM words WHERE words MATCH ?" << Sql().bytes(match(term));
    }
    if (term.fact == Term::Path || term.fact == Term::Name) {
      return sql << "SELECT rowid FROM names WHERE names MATCH ?" << Sql().bytes(match(term));
    }
    if (term.fact == Term::Source) {
      // Every file is of the running source.
      return sql << (term.text == m_source ? "SELECT id FROM files" : "SELECT NULL WHERE 0");
    }
    if (term.fact != Term::Value) {
      sql << "SELECT id FROM files WHERE " << factColumn(term.fact);
      if (term.kind == Term::Equals) return sql << " = ?" << Sql().bytes(term.text);
      return sql << " BETWEEN ? AND ?" << Sql().number(term.low).number(term.high);
    }
    const int64_t key = keyOf(term);
    if (key == 0) return sql << "SELECT NULL WHERE 0";
    Sql k;
    k.number(key);
    switch (term.kind) {
      case Term::Words:
      case Term::FieldWords:
        return sql
               << "SELECT rowid >> 32 FROM words WHERE words MATCH ? AND (rowid >> 20) & 4095 = ?"
               << Sql().bytes(match(term)) << k;
      case Term::Equals: {
        sql << "SELECT file FROM texts WHERE key = ? AND value = ?" << k << Sql().asText(term.text);
        int64_t n;
        if (wholeNumber(term.text, &n)) {
          sql << " UNION ALL SELECT file FROM nums WHERE key = ? AND value = ?" << k
              << Sql().number(n);
        }
        return sql;
      }
      case Term::Range:
        return sql << "SELECT file FROM nums WHERE key = ? AND value BETWEEN ? AND ?" << k
                   << Sql().number(term.low).number(term.high);
      case Term::TextRange:
        sql << "SELECT file FROM texts WHERE key = ? AND value >= ?" << k
            << Sql().asText(term.textLow);
        if (term.textHigh.empty()) return sql;
        return sql << " AND value < ?" << Sql().asText(term.textHigh);
      case Term::Has:
        if (keyBit(key) == 0) return sql << "SELECT id FROM files f WHERE " << leafCheck(term);
        return sql << "SELECT id FROM files WHERE keys & ? != 0" << Sql().number(keyBit(key));
    }
    return sql << "SELECT NULL WHERE 0";
  }

  Sql leafCheck(const Term& term) {
    Sql sql;
    if (term.kind == Term::Words) {
      return sql << "EXISTS (SELECT 1 FROM words WHERE words MATCH ? AND rowid BETWEEN f.id << 32 "
                    "AND (f.id << 32) + 4294967295)"
                 << Sql().bytes(match(term));
    }
    if (term.fact == Term::Path || term.fact == Term::Name) {
      return sql << "EXISTS (SELECT 1 FROM names WHERE names MATCH ? AND rowid = f.id)"
                 << Sql().bytes(match(term));
    }
    if (term.fact == Term::Source) return sql << (term.text == m_source ? "1" : "0");
    if (term.fact != Term::Value) {
      sql << "f." << factColumn(term.fact);
      if (term.kind == Term::Equals) return sql << " = ?" << Sql().bytes(term.text);
      return sql << " BETWEEN ? AND ?" << Sql().number(term.low).number(term.high);
    }
    const int64_t key = keyOf(term);
    if (key == 0) return sql << "0";
    Sql k;
    k.number(key);
    switch (term.kind) {
      case Term::Words:
      case Term::FieldWords:
        return sql << "EXISTS (SELECT 1 FROM words WHERE words MATCH ? AND rowid BETWEEN "
                      "(f.id << 32) + ? AND (f.id << 32) + ?)"
                   << Sql().bytes(match(term)).number(key << kKeyShift)
                   << Sql().number(key << kKeyShift | kMaxOrdinal);
      case Term::Equals: {
        sql << "(mp4index_has_text(f.report, ?, ?)" << k << Sql().bytes(term.text);
        int64_t n;
        if (wholeNumber(term.text, &n)) {
          sql << " OR EXISTS (SELECT 1 FROM nums WHERE key = ? AND value = ? AND file = f.id)" << k
              << Sql().number(n);
        }
        return sql << ")";
      }
      case Term::Range:
        return sql << "mp4index_has_number(f.report, ?, ?, ?)" << k
                   << Sql().number(term.low).number(term.high);
      case Term::TextRange:
        return sql << "mp4index_has_text_in(f.report, ?, ?, ?)" << k
                   << Sql().bytes(term.textLow).bytes(term.textHigh);
      case Term::Has:
        if (keyBit(key) == 0) return sql << "mp4index_has_key(f.report, ?)" << k;
        return sql << "f.keys & ? != 0" << Sql().number(keyBit(key));
    }
    return sql << "0";
  }

  const KeyId& m_keyId;
  const Scalar& m_scalar;
  const std::string& m_source;
  const OneWord& m_oneWord;
  std::unordered_map<const QueryNode*, int64_t> m_estimates;
};

class SqliteStore : public Store {
 public:
  SqliteStore(const std::string& path, bool forWriting)
      : m_db(path, forWriting ? Database::CreateOrOpen : Database::OpenExisting),
        m_ownPath(absolutePath(path)) {
    if (forWriting) {
      // Checkpoints (each ending in an fsync) every 64 MB of log rather
      // than every 4 MB; closing the index checkpoints the rest. Up to 64
      // MB of pages cached, so that a large index's inner pages stay in
      // memory.
      m_db.execute("PRAGMA wal_autocheckpoint = 16384");
      m_db.execute("PRAGMA cache_size = -65536");
    }
    const auto define = [&](const char* name, int arguments,
                            void (*function)(sqlite3_context*, int, sqlite3_value**)) {
      sqlite3_create_function(m_db.handle(), name, arguments,
                              SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                              function, nullptr, nullptr);
    };
    define("mp4index_has_key", 2, hasKeyFunction);
    define("mp4index_has_text", 3, hasText);
    define("mp4index_has_number", 4, hasNumber);
    define("mp4index_has_text_in", 4, hasTextIn);
    sqlite3_create_function(m_db.handle(), "mp4index_count", 1,
                            SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                            nullptr, countStep, countFinal);
  }

  ~SqliteStore() override { rollbackWrite(); }

  int64_t rebuiltFrom() const { return m_db.rebuiltFrom(); }

  bool isOwnFile(const std::string& path) const override {
    if (path.compare(0, m_ownPath.size(), m_ownPath) != 0) return false;
    const std::string suffix = path.substr(m_ownPath.size());
    return suffix.empty() || suffix == "-wal" || suffix == "-shm" || suffix == "-journal";
  }

  void beginWrite() override {
    if (m_inTransaction) return;
    try {
      m_db.execute("BEGIN IMMEDIATE");
    } catch (const DatabaseError&) {
      if (sqlite3_errcode(m_db.handle()) != SQLITE_BUSY) throw;
      throw DatabaseError("the index is busy: another writer has kept it locked for more than " +
                          std::to_string(Database::kBusyTimeoutMs / 1000) + " s");
    }
    m_inTransaction = true;
    m_archivesChecked = false;
  }

  void commitWrite() override {
    if (!m_inTransaction) return;
    writeWordRows();
    writeKeyCounts();
    writeWordCounts();
    m_db.execute("COMMIT");
    m_inTransaction = false;
  }

  void rollbackWrite() override {
    if (!m_inTransaction) return;
    sqlite3_exec(m_db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    m_inTransaction = false;
    m_words.clear();
    m_wordBytes.clear();
    m_keyFiles.clear();
    m_wordFiles.clear();
    // Keys made in the transaction are gone with it, and so may be the
    // archives table.
    m_keys.forget();
    m_archivesKept = false;
  }

  bool find(const std::string& path, FileState* state) override {
    Statement& s = statement(m_find,
                             "SELECT size, mtime_ns, error IS NOT NULL, length(report) = 0 FROM "
                             "files WHERE path = ?");
    s.bindBlob(1, path);
    if (s.step()) {
      *state = FileState{s.integer(0), s.integer(1), s.integer(2) != 0, false, s.integer(3) != 0};
      s.reset();
      return true;
    }
    if (!archivesKept()) return false;
    Statement& a = statement(m_findArchive, "SELECT size, mtime_ns FROM archives WHERE path = ?");
    a.bindBlob(1, path);
    if (!a.step()) return false;
    *state = FileState{a.integer(0), a.integer(1), false, true};
    a.reset();
    return true;
  }

  void listUnder(const std::string& path, const StateSink& each) override {
    Statement under(m_db.handle(),
                    "SELECT path, size, mtime_ns, error IS NOT NULL, length(report) = 0 FROM files "
                    "WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
    bindPathsUnder(under, path);
    while (under.step()) {
      each(std::string(under.bytes(0), under.length(0)),
           FileState{under.integer(1), under.integer(2), under.integer(3) != 0, false,
                     under.integer(4) != 0});
    }
    if (!archivesKept()) return;
    Statement archives(m_db.handle(),
                       "SELECT path, size, mtime_ns FROM archives "
                       "WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
    bindPathsUnder(archives, path);
    while (archives.step()) {
      each(std::string(archives.bytes(0), archives.length(0)),
           FileState{archives.integer(1), archives.integer(2), false, true});
    }
  }

  void put(const std::string& path, const FileState& state, const mp4host::ValueRecorder* values,
           const std::string& error) override {
    if (archivesKept()) removeArchive(path);
    const int64_t old = idOf(path);
    if (state.archive) {
      if (old != 0) removeId(old);
      keepArchives();
      Statement& s = statement(m_insertArchive, "INSERT INTO archives VALUES (?, ?, ?)");
      s.bindBlob(1, path);
      s.bindInteger(2, state.size);
      s.bindInteger(3, state.mtime);
      s.step();
      s.reset();
      return;
    }
    if (old != 0) unindex(old);
    m_packed.clear();
    if (values) {
      packReport(
          *values, [&](const std::string& key) { return m_keys.id(key); },
          [&](std::string_view bytes) { return holdBlob(bytes); }, m_packed);
    }
    Statement& s = old != 0 ? statement(m_updateFile,
                                        "UPDATE files SET size = ?, mtime_ns = ?, keys = ?, "
                                        "error = ?, report = ? WHERE id = ?")
                            : statement(m_insertFile,
                                        "INSERT INTO files(path, ext, size, mtime_ns, keys, "
                                        "error, report) VALUES (?, ?, ?, ?, ?, ?, ?)");
    int column = 1;
    const std::string ext = extensionOf(path);
    if (old == 0) {
      s.bindBlob(column++, path);
      s.bindText(column++, ext.data(), ext.size());
    }
    s.bindInteger(column++, state.size);
    s.bindInteger(column++, state.mtime);
    int64_t keys = 0;
    PackedValue v;
    for (PackedReader packed(m_packed); packed.next(&v);) keys |= keyBit(v.key);
    s.bindInteger(column++, keys);
    if (values) {
      s.bindNull(column++);
      s.bindBlob(column++, m_packed.data(), m_packed.size());
    } else {
      s.bindBytes(column++, error.data(), error.size());
      s.bindNull(column++);
    }
    if (old != 0) s.bindInteger(column, old);
    s.step();
    s.reset();
    const int64_t id = old != 0 ? old : sqlite3_last_insert_rowid(m_db.handle());
    if (old == 0) indexName(id, path, false);
    if (values) index(id, m_packed, false);
  }

  void remove(const std::string& path) override {
    const int64_t id = idOf(path);
    if (id != 0) removeId(id);
    if (archivesKept()) removeArchive(path);
  }

  void move(const std::string& from, const std::string& to) override {
    // A folder cannot move into itself nor onto a folder that holds it.
    if (isUnder(to, from) || isUnder(from, to)) return;
    std::vector<std::pair<int64_t, std::string>> moving, replaced;
    const auto collect = [&](const std::string& path,
                             std::vector<std::pair<int64_t, std::string>>& out) {
      Statement under(m_db.handle(),
                      "SELECT id, path FROM files WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
      bindPathsUnder(under, path);
      while (under.step())
        out.emplace_back(under.integer(0), std::string(under.bytes(1), under.length(1)));
    };
    collect(from, moving);
    collect(to, replaced);
    for (const auto& [id, path] : replaced) {
      if (!isUnder(path, from)) removeId(id);
    }
    Statement rename(m_db.handle(), "UPDATE files SET path = ?, ext = ? WHERE id = ?");
    for (const auto& [id, path] : moving) {
      const std::string moved = to + path.substr(from.size());
      const std::string ext = extensionOf(moved);
      rename.bindBlob(1, moved);
      rename.bindText(2, ext.data(), ext.size());
      rename.bindInteger(3, id);
      rename.step();
      rename.reset();
      indexName(id, path, true);
      indexName(id, moved, false);
    }
    if (!archivesKept()) return;
    Statement gone(m_db.handle(),
                   "DELETE FROM archives WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
    bindPathsUnder(gone, to);
    gone.step();
    std::vector<std::string> archives;
    Statement under(m_db.handle(),
                    "SELECT path FROM archives WHERE path = ?1 OR (path >= ?2 AND path < ?3)");
    bindPathsUnder(under, from);
    while (under.step()) archives.emplace_back(under.bytes(0), under.length(0));
    Statement renameArchive(m_db.handle(), "UPDATE archives SET path = ? WHERE path = ?");
    for (const std::string& path : archives) {
      renameArchive.bindBlob(1, to + path.substr(from.size()));
      renameArchive.bindBlob(2, path);
      renameArchive.step();
      renameArchive.reset();
    }
  }

  void releaseMemory() override { sqlite3_db_release_memory(m_db.handle()); }

  void beginRead() override {
    m_db.execute("BEGIN");
    m_keys.forget();  // read again, in the snapshot
  }
  void endRead() override { m_db.execute("COMMIT"); }

  bool hasField(const std::string& key) override {
    const int64_t id = m_keys.known(key);
    if (id == 0) return false;
    Statement any(m_db.handle(), "SELECT 1 FROM keys WHERE id = ? AND files > 0");
    any.bindInteger(1, id);
    return any.step();
  }

  void search(const QueryNode& query, const SearchOptions& options, const FileSink& each) override {
    Sql sql;
    sql << "SELECT f.path, f.size, f.mtime_ns, f.error, " << (options.values ? "f.report" : "NULL")
        << " FROM files f WHERE " << render(query) << " ORDER BY f.path";
    if (options.limit < UINT64_MAX) {
      sql << " LIMIT ?"
          << Sql().number(static_cast<int64_t>(std::min<uint64_t>(options.limit, INT64_MAX)));
    }
    Statement files(m_db.handle(), sql.text.c_str());
    sql.bind(files);
    std::unordered_set<int64_t> wanted;
    for (const std::string& key : options.keys) wanted.insert(m_keys.known(key));
    deliver(files, each, options.values, options.keys.empty() ? nullptr : &wanted);
  }

  uint64_t count(const QueryNode& query) override {
    const QueryRenderer::KeyId keyId = [&](const std::string& key) { return m_keys.known(key); };
    const QueryRenderer::Scalar scalar = [&](const Sql& sql) { return this->scalar(sql); };
    const QueryRenderer::OneWord oneWord = [&](const std::string& text, std::string* word) {
      int words = 0;
      splitter().each(text, [&](std::string_view w) {
        if (words++ == 0) word->assign(w);
      });
      return words == 1;
    };
    return static_cast<uint64_t>(
        scalar(QueryRenderer(keyId, scalar, source(), oneWord).count(query)));
  }

  bool showUnder(const std::string& source, const std::string& path,
                 const FileSink& each) override {
    if (!source.empty()) return false;  // the files of one source only
    Statement files(m_db.handle(),
                    "SELECT path, size, mtime_ns, error, report FROM files "
                    "WHERE path = ?1 OR (path >= ?2 AND path < ?3) ORDER BY path");
    bindPathsUnder(files, path);
    return deliver(files, each, true);
  }

 private:
  Statement& statement(std::unique_ptr<Statement>& slot, const char* sql) {
    if (!slot) slot = std::make_unique<Statement>(m_db.handle(), sql);
    return *slot;
  }

  int64_t scalar(const Sql& sql) {
    Statement value(m_db.handle(), sql.text.c_str());
    sql.bind(value);
    return value.step() ? value.integer(0) : 0;
  }

  Sql render(const QueryNode& query) {
    const QueryRenderer::KeyId keyId = [&](const std::string& key) { return m_keys.known(key); };
    const QueryRenderer::Scalar scalar = [&](const Sql& sql) { return this->scalar(sql); };
    return QueryRenderer(keyId, scalar, source()).condition(query);
  }

  // Hands each row (path, size, mtime_ns, error, report) on, with values
  // its report replayed; false when there was none.
  bool deliver(Statement& files, const FileSink& each, bool values,
               const std::unordered_set<int64_t>* wanted = nullptr) {
    m_keys.load();
    bool any = false;
    while (files.step()) {
      any = true;
      const std::string path(files.bytes(0), files.length(0));
      StoredFile file;
      file.path = path;
      file.state = FileState{files.integer(1), files.integer(2), files.type(3) != SQLITE_NULL};
      std::string error;
      if (!values) {
        // the path and state alone
      } else if (file.state.failed) {
        error.assign(files.bytes(3), files.length(3));
        file.error = &error;
      } else {
        replay(path, std::string_view(files.bytes(4), files.length(4)), wanted);
        file.values = &m_recorder;
      }
      each(file);
    }
    return any;
  }

  void replay(const std::string& path, std::string_view report,
              const std::unordered_set<int64_t>* wanted) {
    m_recorder.clear();
    Statement& blob = statement(m_blob, "SELECT bytes FROM blobs WHERE id = ?");
    const bool whole = replayReport(
        report, [&](int64_t key) { return m_keys.field(key); },
        [&](int64_t id, std::string_view* bytes) {
          blob.reset();
          blob.bindInteger(1, id);
          if (!blob.step()) return false;
          *bytes = std::string_view(blob.bytes(0), blob.length(0));
          return true;
        },
        m_recorder,
        wanted ? std::function<bool(int64_t)>([&](int64_t key) { return wanted->count(key) != 0; })
               : nullptr);
    blob.reset();
    if (!whole) {
      throw DatabaseError("the index is damaged (the stored values of " + path +
                          " cannot be read): remove it and run update again");
    }
  }

  // The SQL of the key cache.
  void readKeys(const std::function<void(std::string, int64_t)>& each) {
    Statement keys(m_db.handle(), "SELECT id, key FROM keys");
    while (keys.step()) each(std::string(keys.bytes(1), keys.length(1)), keys.integer(0));
  }

  // Stores a new key. Another writer may have stored it since the keys
  // were read: the insert then gives way, and the key is looked up.
  int64_t insertKey(const std::string& key) {
    Statement& insert = statement(m_insertKey, "INSERT OR IGNORE INTO keys(key) VALUES (?)");
    insert.bindBytes(1, key.data(), key.size());
    insert.step();
    insert.reset();
    Statement& select = statement(m_selectKey, "SELECT id FROM keys WHERE key = ?");
    select.bindBytes(1, key.data(), key.size());
    if (!select.step()) throw DatabaseError("cannot store the field key " + key);
    const int64_t id = select.integer(0);
    select.reset();
    return id;
  }

  // Archives are kept in a table of their own, made by the first update
  // that stores one, so that the index of a collection without archives is
  // what it always was. Another writer may make it at any time: its absence
  // is learnt again in each transaction, and at each call outside one.
  bool archivesKept() {
    if (!m_archivesKept && !(m_inTransaction && m_archivesChecked)) {
      Statement table(m_db.handle(),
                      "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'archives'");
      m_archivesKept = table.step();
      m_archivesChecked = m_inTransaction;
    }
    return m_archivesKept;
  }

  void keepArchives() {
    if (m_archivesKept) return;
    m_db.execute(
        "CREATE TABLE IF NOT EXISTS archives(path BLOB PRIMARY KEY, size INTEGER NOT NULL, "
        "mtime_ns INTEGER NOT NULL) WITHOUT ROWID");
    m_archivesKept = true;
  }

  void removeArchive(const std::string& path) {
    Statement& s = statement(m_deleteArchive, "DELETE FROM archives WHERE path = ?");
    s.bindBlob(1, path);
    s.step();
    s.reset();
  }

  int64_t idOf(const std::string& path) {
    Statement& s = statement(m_findId, "SELECT id FROM files WHERE path = ?");
    s.bindBlob(1, path);
    if (!s.step()) return 0;
    const int64_t id = s.integer(0);
    s.reset();
    return id;
  }

  void removeId(int64_t id) {
    unindex(id);
    Statement& path = statement(m_pathOf, "SELECT path FROM files WHERE id = ?");
    path.bindInteger(1, id);
    if (path.step()) {
      const std::string old(path.bytes(0), path.length(0));
      path.reset();
      indexName(id, old, true);
    }
    Statement& s = statement(m_deleteFile, "DELETE FROM files WHERE id = ?");
    s.bindInteger(1, id);
    s.step();
    s.reset();
  }

  // What file id's stored report put in the indexes, taken out.
  void unindex(int64_t id) {
    Statement& s = statement(m_reportOf, "SELECT report FROM files WHERE id = ?");
    s.bindInteger(1, id);
    if (!s.step()) return;
    std::string old(s.bytes(0), s.length(0));
    s.reset();
    index(id, old, true);
  }

  // Adds to the indexes (or, remove, takes out) what a packed report of
  // file id holds: its numbers, its inline texts and their words, its keys'
  // and its words' counts of files and (removing) its references to blobs.
  void index(int64_t id, const std::string& packed, bool remove) {
    std::vector<std::pair<int64_t, int64_t>> texts;  // (key, inline texts so far)
    std::vector<int64_t> keys;                       // the keys seen
    m_fileWords.clear();
    PackedValue v;
    PackedReader values(packed);
    while (values.next(&v)) {
      if (std::find(keys.begin(), keys.end(), v.key) == keys.end()) {
        keys.push_back(v.key);
        m_keyFiles[v.key] += remove ? -1 : 1;
      }
      if (v.kind == PackedValue::Integer || v.kind == PackedValue::Real) {
        if (std::isnan(v.real)) continue;
        Statement& s =
            remove ? statement(m_deleteNumber,
                               "DELETE FROM nums WHERE key = ? AND value = ? AND file = ?")
                   : statement(m_insertNumber,
                               "INSERT OR IGNORE INTO nums(key, value, file) VALUES (?, ?, ?)");
        s.bindInteger(1, v.key);
        if (v.kind == PackedValue::Integer) {
          s.bindInteger(2, v.integer);
        } else {
          s.bindReal(2, v.real);
        }
        s.bindInteger(3, id);
        s.step();
        s.reset();
        continue;
      }
      if (v.inBlob) {
        if (remove) countBlob(v.integer, -1);
        continue;
      }
      if (v.kind != PackedValue::Text && v.kind != PackedValue::Pair) continue;
      Statement& text =
          remove ? statement(m_deleteText,
                             "DELETE FROM texts WHERE key = ? AND value = ? AND file = ?")
                 : statement(m_insertText,
                             "INSERT OR IGNORE INTO texts(key, value, file) VALUES (?, ?, ?)");
      text.bindInteger(1, v.key);
      text.bindText(2, v.bytes.data(), v.bytes.size());
      text.bindInteger(3, id);
      text.step();
      text.reset();
      auto count =
          std::find_if(texts.begin(), texts.end(), [&](const auto& t) { return t.first == v.key; });
      if (count == texts.end()) count = texts.insert(texts.end(), {v.key, 0});
      const int64_t rowid = wordRow(id, v.key, count->second++);
      if (rowid == 0) continue;
      queueWords(rowid, remove, v.bytes);
      splitter().each(v.bytes,
                      [&](std::string_view word) { m_fileWords.emplace_back(v.key, word); });
    }
    if (values.damaged()) {
      throw DatabaseError("the index is damaged (the stored values of file " + std::to_string(id) +
                          " cannot be read): remove it and run update again");
    }
    // Each word of a key counts the file once, however many times it has it.
    std::sort(m_fileWords.begin(), m_fileWords.end());
    m_fileWords.erase(std::unique(m_fileWords.begin(), m_fileWords.end()), m_fileWords.end());
    for (const KeyWord& word : m_fileWords) m_wordFiles[word] += remove ? -1 : 1;
  }

  WordSplitter& splitter() {
    if (!m_splitter) m_splitter = std::make_unique<WordSplitter>();
    return *m_splitter;
  }

  // Adds (or, remove, deletes) the words of a file's path and name.
  void indexName(int64_t id, const std::string& path, bool remove) {
    std::string whole, name;
    mp4host::appendDisplayText(whole, path.data(), path.size());
    const size_t slash = path.rfind('/');
    const size_t start = slash == std::string::npos ? 0 : slash + 1;
    mp4host::appendDisplayText(name, path.data() + start, path.size() - start);
    Statement& s =
        remove ? statement(m_deleteName,
                           "INSERT INTO names(names, rowid, path, name) "
                           "VALUES ('delete', ?, ?, ?)")
               : statement(m_insertName, "INSERT INTO names(rowid, path, name) VALUES (?, ?, ?)");
    s.bindInteger(1, id);
    s.bindText(2, whole.data(), whole.size());
    s.bindText(3, name.data(), name.size());
    s.step();
    s.reset();
  }

  void queueWords(int64_t rowid, bool remove, std::string_view text) {
    // Kept in a deque, whose strings do not move as it grows.
    m_wordBytes.emplace_back(text);
    m_words.push_back(WordRow{rowid, remove, m_wordBytes.back()});
  }

  // The transaction's word rows in rowid order: the full-text index writes
  // its pending rows out as a new segment whenever a rowid is lower than
  // the one before. The sort is stable, so that a rowid's rows are deleted
  // and added in the order they were queued.
  void writeWordRows() {
    std::stable_sort(m_words.begin(), m_words.end(),
                     [](const WordRow& a, const WordRow& b) { return a.rowid < b.rowid; });
    for (const WordRow& row : m_words) {
      Statement& s = row.remove
                         ? statement(m_deleteWords,
                                     "INSERT INTO words(words, rowid, v) VALUES ('delete', ?, ?)")
                         : statement(m_insertWords, "INSERT INTO words(rowid, v) VALUES (?, ?)");
      s.bindInteger(1, row.rowid);
      s.bindText(2, row.text.data(), row.text.size());
      s.step();
      s.reset();
    }
    m_words.clear();
    m_wordBytes.clear();
  }

  // The transaction's changes to the keys' counts of files.
  void writeKeyCounts() {
    for (const auto& [key, change] : m_keyFiles) {
      if (change == 0) continue;
      Statement& s = statement(m_countKey, "UPDATE keys SET files = files + ? WHERE id = ?");
      s.bindInteger(1, change);
      s.bindInteger(2, key);
      s.step();
      s.reset();
    }
    m_keyFiles.clear();
  }

  // The transaction's changes to the words' counts of files; a word no
  // file has any more goes.
  void writeWordCounts() {
    for (const auto& [word, change] : m_wordFiles) {
      if (change == 0) continue;
      Statement& s =
          statement(m_countWord,
                    "INSERT INTO word_files(key, word, files) VALUES (?, ?, ?) "
                    "ON CONFLICT(key, word) DO UPDATE SET files = files + excluded.files");
      s.bindInteger(1, word.first);
      s.bindText(2, word.second.data(), word.second.size());
      s.bindInteger(3, change);
      s.step();
      s.reset();
      if (change > 0) continue;
      Statement& drop =
          statement(m_dropWord, "DELETE FROM word_files WHERE key = ? AND word = ? AND files <= 0");
      drop.bindInteger(1, word.first);
      drop.bindText(2, word.second.data(), word.second.size());
      drop.step();
      drop.reset();
    }
    m_wordFiles.clear();
  }

  // The id of the stored blob with these bytes, stored now if there is
  // none, holding one more reference.
  int64_t holdBlob(std::string_view bytes) {
    // The hash only narrows the blobs to compare, so it need not cover
    // every byte of a large picture.
    const size_t hashed = std::min<size_t>(bytes.size(), 4096);
    const int64_t hash =
        static_cast<int64_t>(std::hash<std::string_view>()(bytes.substr(0, hashed)) ^ bytes.size());
    Statement& find = statement(m_findBlob, "SELECT id FROM blobs WHERE hash = ? AND bytes = ?");
    find.bindInteger(1, hash);
    find.bindBlob(2, bytes.data(), bytes.size());
    int64_t id;
    if (find.step()) {
      id = find.integer(0);
      find.reset();
    } else {
      Statement& insert =
          statement(m_insertBlob, "INSERT INTO blobs(hash, refs, bytes) VALUES (?, 0, ?)");
      insert.bindInteger(1, hash);
      insert.bindBlob(2, bytes.data(), bytes.size());
      insert.step();
      insert.reset();
      id = sqlite3_last_insert_rowid(m_db.handle());
    }
    countBlob(id, 1);
    return id;
  }

  // Adds change to a blob's count of references; a blob that none holds
  // any more goes.
  void countBlob(int64_t id, int64_t change) {
    Statement& count = statement(m_countBlob, "UPDATE blobs SET refs = refs + ? WHERE id = ?");
    count.bindInteger(1, change);
    count.bindInteger(2, id);
    count.step();
    count.reset();
    if (change >= 0) return;
    Statement& drop = statement(m_dropBlob, "DELETE FROM blobs WHERE id = ? AND refs <= 0");
    drop.bindInteger(1, id);
    drop.step();
    drop.reset();
  }

  // A word of a key's values.
  using KeyWord = std::pair<int64_t, std::string>;
  struct KeyWordHash {
    size_t operator()(const KeyWord& w) const {
      return std::hash<std::string>()(w.second) ^ static_cast<size_t>(w.first);
    }
  };

  // One row to add to or delete from the word index at the commit.
  struct WordRow {
    int64_t rowid;
    bool remove;
    std::string_view text;
  };

  Database m_db;
  const std::string m_ownPath;
  bool m_inTransaction = false;
  std::unique_ptr<Statement> m_find, m_findId, m_insertFile, m_updateFile, m_reportOf, m_deleteFile,
      m_insertKey, m_selectKey, m_insertWords, m_deleteWords, m_insertNumber, m_deleteNumber,
      m_findBlob, m_insertBlob, m_countBlob, m_dropBlob, m_blob, m_insertText, m_deleteText,
      m_insertName, m_deleteName, m_pathOf, m_countKey, m_findArchive, m_insertArchive,
      m_deleteArchive, m_countWord, m_dropWord;
  bool m_archivesKept = false;     // the archives table exists
  bool m_archivesChecked = false;  // its absence was learnt in this transaction
  KeyCache m_keys{[this](const auto& each) { readKeys(each); },
                  [this](const std::string& key) { return insertKey(key); }};
  mp4host::ValueRecorder m_recorder;                // the file replayed
  std::string m_packed;                             // the report being stored
  std::vector<WordRow> m_words;                     // the transaction's word rows, in queue order
  std::deque<std::string> m_wordBytes;              // their texts
  std::unordered_map<int64_t, int64_t> m_keyFiles;  // by key id: files gained less files lost
  std::unique_ptr<WordSplitter> m_splitter;         // the words of texts, as words splits them
  std::vector<KeyWord> m_fileWords;                 // one file's
  std::unordered_map<KeyWord, int64_t, KeyWordHash> m_wordFiles;  // files gained less files lost
};

}  // namespace

std::unique_ptr<Store> openSqliteStore(const std::string& path, bool forWriting,
                                       int64_t* rebuiltFrom) {
  auto store = std::make_unique<SqliteStore>(path, forWriting);
  if (rebuiltFrom) *rebuiltFrom = store->rebuiltFrom();
  return store;
}

}  // namespace mp4index
