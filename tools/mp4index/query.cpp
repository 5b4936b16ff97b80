#include "query.h"

#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <string_view>
#include <unordered_map>

#include "database.h"
#include "report.h"
#include "update.h"

namespace mp4index {

namespace {

bool isKeyChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

bool validKey(const std::string& key) {
  if (key.empty() || !std::isalpha(static_cast<unsigned char>(key[0]))) return false;
  for (char c : key) {
    if (!isKeyChar(c)) return false;
  }
  return true;
}

// Words as one FTS5 phrase: the tokenizer splits them, nothing in them is
// query syntax.
std::string ftsPhrase(const std::string& words) {
  std::string phrase = "\"";
  for (char c : words) {
    if (c == '"') phrase += '"';
    phrase += c;
  }
  phrase += '"';
  return phrase;
}

// Standard output through a buffer.
class Output {
 public:
  ~Output() { flush(); }
  std::string& text() { return m_text; }
  void maybeFlush() {
    if (m_text.size() >= 64 * 1024) flush();
  }
  void flush() {
    std::fwrite(m_text.data(), 1, m_text.size(), stdout);
    std::fflush(stdout);
    m_text.clear();
  }

 private:
  std::string m_text;
};

// Stored reports replayed into a recorder, so that they are formatted by
// the code that formats an analysis.
class Reports {
 public:
  Reports(Database& db, bool json)
      : m_blob(db.handle(), "SELECT bytes FROM blobs WHERE id = ?"), m_json(json) {
    Statement keys(db.handle(), "SELECT id, key FROM keys");
    while (keys.step()) {
      m_keys[keys.integer(0)] = m_fields.registerField(std::string(keys.bytes(1), keys.length(1)));
    }
  }

  void print(Output& out, const std::string& path, const std::string* error,
             std::string_view report) {
    if (error) {
      if (m_json) {
        m_formatter.appendJsonError(out.text(), path, *error);
      } else {
        // As mp4meta reports a file that could not be read.
        out.flush();
        std::string line = "mp4index: ";
        mp4host::appendDisplayText(line, path.data(), path.size());
        line += ": " + *error + '\n';
        std::fwrite(line.data(), 1, line.size(), stderr);
      }
      return;
    }
    replay(path, report);
    if (m_json) {
      m_formatter.appendJson(out.text(), path, m_recorder);
    } else {
      if (m_printed) out.text() += '\n';
      m_formatter.appendText(out.text(), path, m_recorder);
    }
    m_printed = true;
    out.maybeFlush();
  }

 private:
  void replay(const std::string& path, std::string_view report) {
    m_recorder.clear();
    PackedReader values(report);
    PackedValue v;
    bool whole = true;
    while (whole && values.next(&v)) {
      const auto key = m_keys.find(v.key);
      whole = key != m_keys.end();
      if (!whole) break;
      const Strigi::RegisteredField* field = key->second;
      std::string_view bytes = v.bytes;
      if (v.inBlob) {
        m_blob.reset();
        m_blob.bindInteger(1, v.integer);
        whole = m_blob.step();
        if (!whole) break;
        bytes = std::string_view(m_blob.bytes(0), m_blob.length(0));
      }
      switch (v.kind) {
        case PackedValue::Text:
          m_recorder.recordText(field, bytes.data(), bytes.size());
          break;
        case PackedValue::Integer:
          m_recorder.recordInteger(field, v.integer);
          break;
        case PackedValue::Real:
          m_recorder.recordReal(field, v.real);
          break;
        case PackedValue::Pair:
          m_recorder.recordPair(field, v.name.data(), v.name.size(), bytes.data(), bytes.size());
          break;
      }
    }
    m_blob.reset();
    if (whole && !values.damaged()) return;
    throw DatabaseError("the index is damaged (the stored values of " + path +
                        " cannot be read): remove it and run update again");
  }

  Statement m_blob;
  bool m_json;
  bool m_printed = false;
  Strigi::FieldRegister m_fields;
  std::unordered_map<int64_t, const Strigi::RegisteredField*> m_keys;
  mp4host::ValueRecorder m_recorder;
  mp4host::ReportFormatter m_formatter;
};

// Prints every row of files (id, path, error, report) that statement
// gives: each file's report, or (list) only the paths of those that were
// analysed.
bool printFiles(Statement& files, Reports& reports, Output& out, bool list) {
  bool any = false;
  while (files.step()) {
    any = true;
    const std::string path(files.bytes(1), files.length(1));
    const bool failed = files.type(2) != SQLITE_NULL;
    const std::string error = failed ? std::string(files.bytes(2), files.length(2)) : "";
    if (list) {
      mp4host::appendDisplayText(out.text(), path.data(), path.size());
      out.text() += '\n';
      out.maybeFlush();
    } else {
      reports.print(out, path, failed ? &error : nullptr,
                    std::string_view(files.bytes(3), files.length(3)));
    }
  }
  return any;
}

// mp4index_has_text(report, key, text): whether the packed report holds an
// inline text value (or pair value) of that key whose bytes are text's.
void hasText(sqlite3_context* context, int, sqlite3_value** args) {
  const auto bytes = [&](int i) {
    const void* data = sqlite3_value_blob(args[i]);
    return std::string_view(static_cast<const char*>(data),
                            data ? sqlite3_value_bytes(args[i]) : 0);
  };
  const std::string_view report = bytes(0);
  const int64_t key = sqlite3_value_int64(args[1]);
  const std::string_view text = bytes(2);
  PackedValue v;
  for (PackedReader values(report); values.next(&v);) {
    if (v.key == key && !v.inBlob && (v.kind == PackedValue::Text || v.kind == PackedValue::Pair) &&
        v.bytes == text) {
      sqlite3_result_int(context, 1);
      return;
    }
  }
  sqlite3_result_int(context, 0);
}

// mp4index_has_key(report, key): whether the packed report holds a value
// of that key.
void hasKeyFunction(sqlite3_context* context, int, sqlite3_value** args) {
  const void* data = sqlite3_value_blob(args[0]);
  const std::string_view report(static_cast<const char*>(data),
                                data ? sqlite3_value_bytes(args[0]) : 0);
  sqlite3_result_int(context, hasKey(report, sqlite3_value_int64(args[1])));
}

bool hasAsciiWordChar(const std::string& text) {
  for (char c : text) {
    if (std::isalnum(static_cast<unsigned char>(c))) return true;
  }
  return false;
}

}  // namespace

bool parseTerm(const std::string& text, Term* term, std::string* error) {
  *term = Term();
  if (text.empty()) {
    *error = "an empty term";
    return false;
  }
  const bool dash = text.size() > 1 && text[0] == '-';
  if (dash || text.compare(0, 8, "missing:") == 0) {
    term->kind = Term::Missing;
    term->key = text.substr(dash ? 1 : 8);
    if (!validKey(term->key)) {
      *error = "'" + term->key + "' is not a field name";
      return false;
    }
    return true;
  }
  size_t end = 0;
  while (end < text.size() && isKeyChar(text[end])) ++end;
  if (end == text.size() || !validKey(text.substr(0, end)) ||
      std::string(":=<>").find(text[end]) == std::string::npos) {
    term->text = text;  // plain words
    return true;
  }
  term->key = text.substr(0, end);
  const char op = text[end];
  const bool orEqual = (op == '<' || op == '>') && end + 1 < text.size() && text[end + 1] == '=';
  term->text = text.substr(end + (orEqual ? 2 : 1));
  switch (op) {
    case ':':
      term->kind = Term::FieldWords;
      if (term->text.empty()) {
        *error = "no words after ':'";
        return false;
      }
      return true;
    case '=':
      term->kind = Term::Equals;
      return true;
    default:
      term->kind = op == '<' ? (orEqual ? Term::LessEqual : Term::Less)
                             : (orEqual ? Term::GreaterEqual : Term::Greater);
      const char* first = term->text.data();
      const char* last = first + term->text.size();
      const auto result = std::from_chars(first, last, term->number);
      if (result.ec != std::errc() || result.ptr != last) {
        *error = "'" + term->text + "' is not a whole number";
        return false;
      }
      return true;
  }
}

void search(Database& db, const std::vector<Term>& terms, bool json) {
  static_assert(kFileShift == 32 && kKeyShift == 20, "the queries below take a word row apart");
  // One snapshot for the keys, the match and the reports, while an update
  // may commit batches with new keys.
  db.execute("BEGIN");
  sqlite3_create_function(db.handle(), "mp4index_has_text", 3,
                          SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr, hasText,
                          nullptr, nullptr);
  sqlite3_create_function(db.handle(), "mp4index_has_key", 2,
                          SQLITE_UTF8 | SQLITE_DETERMINISTIC | SQLITE_DIRECTONLY, nullptr,
                          hasKeyFunction, nullptr, nullptr);
  struct Parameter {
    bool isNumber;
    std::string text;
    int64_t number;
  };
  std::vector<Parameter> parameters;
  const auto text = [&](std::string t) { parameters.push_back({false, std::move(t), 0}); };
  const auto number = [&](int64_t n) { parameters.push_back({true, "", n}); };
  std::string sql = "SELECT f.id, f.path, f.error, f.report FROM files f WHERE 1";
  Statement keyId(db.handle(), "SELECT id FROM keys WHERE key = ?");
  Statement anyHas(db.handle(), "SELECT 1 FROM files WHERE mp4index_has_key(report, ?) LIMIT 1");
  for (const Term& term : terms) {
    int64_t key = 0;
    if (term.kind != Term::Words) {
      keyId.bindBytes(1, term.key.data(), term.key.size());
      if (keyId.step()) key = keyId.integer(0);
      keyId.reset();
    }
    if (term.kind != Term::Words && term.kind != Term::Missing) {
      bool found = false;
      if (key != 0) {
        anyHas.bindInteger(1, key);
        found = anyHas.step();
        anyHas.reset();
      }
      if (!found) {
        std::fprintf(stderr, "mp4index: note: no file in the index has the field '%s'\n",
                     term.key.c_str());
      }
    }
    if (key == 0 && term.kind != Term::Words) {
      // No file has ever had the field.
      if (term.kind != Term::Missing) sql += " AND 0";
      continue;
    }
    switch (term.kind) {
      case Term::Words:
        sql += " AND f.id IN (SELECT rowid >> 32 FROM words WHERE words MATCH ?)";
        text(ftsPhrase(term.text));
        break;
      case Term::FieldWords:
        sql +=
            " AND f.id IN (SELECT rowid >> 32 FROM words WHERE words MATCH ? "
            "AND (rowid >> 20) & 4095 = ?)";
        text(ftsPhrase(term.text));
        number(key);
        break;
      case Term::Equals: {
        // Text values exactly: the words of the value narrow the files to
        // look at, when it has any (text without, such as "-", has every
        // file looked at). And numbers, when the value is one, since they
        // are stored as numbers.
        if (hasAsciiWordChar(term.text)) {
          sql +=
              " AND f.id IN (SELECT g.id FROM words CROSS JOIN files AS g "
              "ON g.id = words.rowid >> 32 WHERE words MATCH ? AND (words.rowid >> 20) & 4095 = ? "
              "AND mp4index_has_text(g.report, ?, ?)";
          text(ftsPhrase(term.text));
          number(key);
        } else {
          sql += " AND f.id IN (SELECT id FROM files WHERE mp4index_has_text(report, ?, ?)";
        }
        number(key);
        text(term.text);
        Term asNumber;
        std::string ignored;
        if (parseTerm("k>" + term.text, &asNumber, &ignored)) {
          sql += " UNION SELECT file FROM nums WHERE key = ? AND value = ?";
          number(key);
          number(asNumber.number);
        }
        sql += ')';
        break;
      }
      case Term::Less:
      case Term::LessEqual:
      case Term::Greater:
      case Term::GreaterEqual: {
        static const char* const kOperators[] = {"<", "<=", ">", ">="};
        sql += " AND f.id IN (SELECT file FROM nums WHERE key = ? AND value ";
        sql += kOperators[term.kind - Term::Less];
        sql += " ?)";
        number(key);
        number(term.number);
        break;
      }
      case Term::Missing:
        sql += " AND NOT mp4index_has_key(f.report, ?)";
        number(key);
        break;
    }
  }
  sql += " ORDER BY f.path";
  Statement files(db.handle(), sql.c_str());
  for (size_t i = 0; i < parameters.size(); ++i) {
    const int index = static_cast<int>(i + 1);
    if (parameters[i].isNumber) {
      files.bindInteger(index, parameters[i].number);
    } else {
      files.bindBytes(index, parameters[i].text.data(), parameters[i].text.size());
    }
  }
  Output out;
  Reports reports(db, json);
  printFiles(files, reports, out, !json);
  db.execute("COMMIT");
}

bool show(Database& db, const std::vector<std::string>& paths, bool json) {
  db.execute("BEGIN");  // one snapshot, as for search
  Statement files(
      db.handle(),
      "SELECT id, path, error, report FROM files WHERE path = ?1 OR (path >= ?2 AND path < ?3) "
      "ORDER BY path");
  Output out;
  Reports reports(db, json);
  bool ok = true;
  for (const std::string& given : paths) {
    const std::string path = absolutePath(given);
    bindPathsUnder(files, path);
    if (!printFiles(files, reports, out, false)) {
      out.flush();
      std::string line = "mp4index: ";
      mp4host::appendDisplayText(line, given.data(), given.size());
      line += ": not in the index\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
      ok = false;
    }
  }
  db.execute("COMMIT");
  return ok;
}

}  // namespace mp4index
