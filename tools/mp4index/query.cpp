#include "query.h"

#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>

#include "database.h"
#include "packed_report.h"
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
      : m_blob(db.handle(), "SELECT bytes FROM blobs WHERE id = ?"), m_json(json) {}

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
    m_recorder.clear();
    PackedReader reader(report);
    PackedValue v;
    while (reader.next(&v)) {
      const Strigi::RegisteredField* field = m_fields.registerField(std::string(v.key));
      if (v.kind == PackedValue::Integer) {
        m_recorder.recordInteger(field, v.integer);
      } else if (v.kind == PackedValue::Real) {
        m_recorder.recordReal(field, v.real);
      } else {
        std::string_view bytes = v.bytes;
        if (v.blob != 0) {
          m_blob.bindInteger(1, v.blob);
          if (!m_blob.step()) throw DatabaseError("damaged index: a cover or other bytes are gone");
          m_blobBytes.assign(m_blob.bytes(0), m_blob.length(0));
          m_blob.reset();
          bytes = m_blobBytes;
        }
        if (v.kind == PackedValue::Pair) {
          m_recorder.recordPair(field, v.name.data(), v.name.size(), bytes.data(), bytes.size());
        } else {
          m_recorder.recordText(field, bytes.data(), bytes.size());
        }
      }
    }
    if (reader.damaged()) throw DatabaseError("damaged index: the stored report of a file");
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
  Statement m_blob;
  std::string m_blobBytes;
  bool m_json;
  bool m_printed = false;
  Strigi::FieldRegister m_fields;
  mp4host::ValueRecorder m_recorder;
  mp4host::ReportFormatter m_formatter;
};

// Prints every row of files (id, path, error, report) that statement gives: each
// file's report, or (list) only the paths of those that were analysed.
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
  struct Parameter {
    bool isNumber;
    std::string text;
    int64_t number;
  };
  std::vector<Parameter> parameters;
  std::string sql = "SELECT f.id, f.path, f.error, f.report FROM files f WHERE 1";
  Statement hasKey(db.handle(), "SELECT 1 FROM fields WHERE key = ? AND files > 0");
  for (const Term& term : terms) {
    if (term.kind != Term::Words && term.kind != Term::Missing) {
      hasKey.bindBytes(1, term.key.data(), term.key.size());
      if (hasKey.step()) {
        hasKey.reset();
      } else {
        std::fprintf(stderr, "mp4index: note: no file in the index has the field '%s'\n",
                     term.key.c_str());
      }
    }
    switch (term.kind) {
      case Term::Words:
        sql += " AND f.id IN (SELECT rowid >> 20 FROM texts WHERE texts MATCH ?)";
        parameters.push_back({false, ftsPhrase(term.text), 0});
        break;
      case Term::FieldWords:
        // The words' rows, then the value's key from the file's report.
        sql +=
            " AND f.id IN (SELECT t.rowid >> 20 FROM texts t JOIN files g ON g.id = t.rowid >> 20 "
            "WHERE texts MATCH ? AND report_has(g.report, t.rowid & 1048575, ?))";
        parameters.push_back({false, ftsPhrase(term.text), 0});
        parameters.push_back({false, term.key, 0});
        break;
      case Term::Equals: {
        // A number, or text. Text is found through its words; text with no
        // word the full-text index knows (say "-") by reading every report.
        Term number;
        std::string ignored;
        const bool isNumber = parseTerm("k>" + term.text, &number, &ignored);
        const bool hasWord = std::any_of(term.text.begin(), term.text.end(), [](char c) {
          return std::isalnum(static_cast<unsigned char>(c)) != 0;
        });
        sql += " AND (f.id IN (SELECT file FROM nums WHERE key = ? AND value = ?) OR ";
        parameters.push_back({false, term.key, 0});
        parameters.push_back({isNumber, term.text, number.number});
        if (hasWord) {
          sql +=
              "f.id IN (SELECT t.rowid >> 20 FROM texts t JOIN files g ON g.id = t.rowid >> 20 "
              "WHERE texts MATCH ? AND report_has(g.report, t.rowid & 1048575, ?, ?)))";
          parameters.push_back({false, ftsPhrase(term.text), 0});
        } else {
          sql += "report_has_text(f.report, ?, ?))";
        }
        parameters.push_back({false, term.key, 0});
        parameters.push_back({false, term.text, 0});
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
        parameters.push_back({false, term.key, 0});
        parameters.push_back({true, "", term.number});
        break;
      }
      case Term::Missing:
        sql += " AND NOT report_has_key(f.report, ?)";
        parameters.push_back({false, term.key, 0});
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
}

bool show(Database& db, const std::vector<std::string>& paths, bool json) {
  Statement files(db.handle(),
                  "SELECT id, path, error, report FROM files "
                  "WHERE path = ?1 OR (path >= ?2 AND path < ?3) "
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
  return ok;
}

}  // namespace mp4index
