#include "query.h"

#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <string_view>

#include "store.h"
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

// Prints stored files as mp4meta prints analysed ones: their reports, or
// (list) their paths alone; a file whose analysis failed as mp4meta reports
// one that cannot be read.
class Printer {
 public:
  Printer(Output& out, bool json, bool list) : m_out(out), m_json(json), m_list(list) {}

  void print(const StoredFile& file) {
    const std::string path(file.path);
    if (m_list) {
      mp4host::appendDisplayText(m_out.text(), path.data(), path.size());
      m_out.text() += '\n';
    } else if (file.error) {
      if (m_json) {
        m_formatter.appendJsonError(m_out.text(), path, *file.error);
      } else {
        m_out.flush();
        std::string line = "mp4index: ";
        mp4host::appendDisplayText(line, path.data(), path.size());
        line += ": " + *file.error + '\n';
        std::fwrite(line.data(), 1, line.size(), stderr);
      }
    } else if (m_json) {
      m_formatter.appendJson(m_out.text(), path, *file.values);
    } else {
      if (m_printed) m_out.text() += '\n';
      m_formatter.appendText(m_out.text(), path, *file.values);
      m_printed = true;
    }
    m_out.maybeFlush();
  }

 private:
  Output& m_out;
  bool m_json;
  bool m_list;
  bool m_printed = false;
  mp4host::ReportFormatter m_formatter;
};

// Notes the field keys of query's terms that no stored file has.
void noteMissingFields(Store& store, const QueryNode& node) {
  if (node.kind != QueryNode::Match) {
    for (const QueryNode& child : node.children) noteMissingFields(store, child);
    return;
  }
  const Term& term = node.term;
  if (term.kind == Term::Words || term.kind == Term::Missing || store.hasField(term.key)) return;
  std::fprintf(stderr, "mp4index: note: no file in the index has the field '%s'\n",
               term.key.c_str());
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

void search(Store& store, const QueryNode& query, bool json) {
  // One snapshot for the keys, the match and the reports, while an update
  // may commit batches with new keys.
  store.beginRead();
  noteMissingFields(store, query);
  Output out;
  Printer printer(out, json, !json);
  store.search(query, [&](const StoredFile& file) { printer.print(file); });
  store.endRead();
}

bool show(Store& store, const std::vector<std::string>& paths, bool json) {
  store.beginRead();  // one snapshot, as for search
  Output out;
  Printer printer(out, json, false);
  bool ok = true;
  for (const std::string& given : paths) {
    if (!store.showUnder(absolutePath(given),
                         [&](const StoredFile& file) { printer.print(file); })) {
      out.flush();
      std::string line = "mp4index: ";
      mp4host::appendDisplayText(line, given.data(), given.size());
      line += ": not in the index\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
      ok = false;
    }
  }
  store.endRead();
  return ok;
}

}  // namespace mp4index
