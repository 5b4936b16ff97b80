#include "search.h"

#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string_view>

#include "store.h"
#include "update.h"

namespace mp4index {

namespace {

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

void printError(Output& out, const std::string& path, const std::string& reason) {
  out.flush();
  std::string line = "mp4index: ";
  mp4host::appendDisplayText(line, path.data(), path.size());
  line += ": " + reason + '\n';
  std::fwrite(line.data(), 1, line.size(), stderr);
}

// The modification time as local time, 2024-05-31T18:30:00.
std::string moment(int64_t ns) {
  const time_t seconds = static_cast<time_t>(ns / 1000000000 - (ns % 1000000000 < 0));
  std::tm tm{};
  localtime_r(&seconds, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &tm);
  return text;
}

bool isKey(const mp4host::RecordedValue& v, const std::string& key) {
  return v.field && v.field->key() == key;
}

// One file's value of a sort key: none, a number or text.
struct SortValue {
  enum Kind { Number, Text, None };
  Kind kind = None;
  long double number = 0;
  std::string text;
};

SortValue sortValue(const FieldRef& field, const StoredFile& file) {
  SortValue s;
  switch (field.fact) {
    case Term::Path:
    case Term::Name:
      s.kind = SortValue::Text;
      s.text = std::string(field.fact == Term::Path ? file.path : nameOf(file.path));
      return s;
    case Term::Extension:
      s.kind = SortValue::Text;
      s.text = extensionOf(file.path);
      return s;
    case Term::Source:
      s.kind = SortValue::Text;
      s.text = std::string(file.source);
      return s;
    case Term::Size:
    case Term::Modified:
      s.kind = SortValue::Number;
      s.number = field.fact == Term::Size ? file.state.size : file.state.mtime;
      return s;
    case Term::Value:
      break;
  }
  if (!file.values) return s;
  for (const mp4host::RecordedValue& v : file.values->values()) {
    if (!isKey(v, field.key)) continue;
    if (v.kind == v.Real && std::isnan(v.real)) return s;  // no order: as if none
    if (v.kind == v.Signed || v.kind == v.Unsigned || v.kind == v.Real) {
      s.kind = SortValue::Number;
      s.number = v.kind == v.Real ? static_cast<long double>(v.real) : v.integer;
    } else {
      s.kind = SortValue::Text;
      s.text.assign(file.values->bytes(v), v.length);
    }
    return s;
  }
  return s;
}

// Text as a person orders it: letters in any case alike, runs of digits
// by their value (track "9/12" before "10/12"); then the bytes.
int naturalCompare(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    const unsigned char x = a[i], y = b[j];
    if (std::isdigit(x) && std::isdigit(y)) {
      size_t ei = i, ej = j;
      while (ei < a.size() && a[ei] == '0') ++ei;
      while (ej < b.size() && b[ej] == '0') ++ej;
      size_t di = ei, dj = ej;
      while (di < a.size() && std::isdigit(static_cast<unsigned char>(a[di]))) ++di;
      while (dj < b.size() && std::isdigit(static_cast<unsigned char>(b[dj]))) ++dj;
      if (di - ei != dj - ej) return di - ei < dj - ej ? -1 : 1;
      const int digits = a.compare(ei, di - ei, b, ej, dj - ej);
      if (digits != 0) return digits;
      i = di;
      j = dj;
      continue;
    }
    const int fx = std::tolower(x), fy = std::tolower(y);
    if (fx != fy) return fx < fy ? -1 : 1;
    ++i;
    ++j;
  }
  if (i < a.size() || j < b.size()) return i < a.size() ? 1 : -1;
  return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}

// Negative when a goes before b in ascending order; none after both.
int compareValues(const SortValue& a, const SortValue& b) {
  if (a.kind != b.kind) return a.kind < b.kind ? -1 : 1;
  if (a.kind == SortValue::Number) return a.number < b.number ? -1 : a.number > b.number ? 1 : 0;
  return a.kind == SortValue::Text ? naturalCompare(a.text, b.text) : 0;
}

// A file's path as text output shows it: a file of another source than
// the running one as SOURCE:PATH.
std::string shownPath(const StoredFile& file, const std::string& running) {
  std::string path;
  if (!file.source.empty() && file.source != running) {
    path.assign(file.source);
    path += ':';
  }
  path.append(file.path);
  return path;
}

// Puts a "source" member first in the JSON object that begins at start.
void addSource(std::string& out, size_t start, std::string_view source) {
  if (source.empty()) return;
  std::string member = "\"source\": ";
  mp4host::appendJsonValue(member, source.data(), source.size());
  out.insert(start + 1, member + ", ");
}

// Formats matched files: paths, mp4meta's reports, or rows of fields.
class Formatter {
 public:
  Formatter(const OutputOptions& options, const std::string& running)
      : m_options(options), m_running(running) {}

  void header(std::string& out) const {
    if (m_options.format != OutputOptions::Tsv && m_options.format != OutputOptions::Csv) return;
    for (size_t i = 0; i < m_options.fields.size(); ++i) {
      if (i) out += separator();
      appendCell(out, m_options.fields[i].name);
    }
    out += '\n';
  }

  void format(std::string& out, const StoredFile& file) {
    const std::string path(file.path);
    const size_t start = out.size();
    switch (m_options.format) {
      case OutputOptions::Paths: {
        const std::string shown = shownPath(file, m_running);
        mp4host::appendDisplayText(out, shown.data(), shown.size());
        out += '\n';
        return;
      }
      case OutputOptions::Json:
        if (file.error) {
          m_reports.appendJsonError(out, path, *file.error);
        } else {
          m_reports.appendJson(out, path, *file.values);
        }
        addSource(out, start, file.source);
        return;
      case OutputOptions::JsonRows:
        jsonRow(out, file);
        addSource(out, start, file.source);
        return;
      case OutputOptions::Tsv:
      case OutputOptions::Csv:
        for (size_t i = 0; i < m_options.fields.size(); ++i) {
          if (i) out += separator();
          m_cell.clear();
          textCell(m_cell, m_options.fields[i], file);
          appendCell(out, m_cell);
        }
        out += '\n';
        return;
    }
  }

 private:
  char separator() const { return m_options.format == OutputOptions::Csv ? ',' : '\t'; }

  // CSV quotes a cell that holds its separator or a quote; TSV cells never
  // hold a tab or a line end (they are escaped).
  void appendCell(std::string& out, const std::string& cell) const {
    if (m_options.format != OutputOptions::Csv || cell.find_first_of(",\"") == std::string::npos) {
      out += cell;
      return;
    }
    out += '"';
    for (char c : cell) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }

  // A cell as mp4meta's text shows values; several values of a field are
  // joined by '|', and a '|' in a value is written "\|".
  void textCell(std::string& cell, const FieldRef& field, const StoredFile& file) {
    switch (field.fact) {
      case Term::Path:
      case Term::Name: {
        const std::string shown = shownPath(file, m_running);
        const std::string_view text =
            field.fact == Term::Path ? std::string_view(shown) : nameOf(file.path);
        mp4host::appendDisplayText(cell, text.data(), text.size());
        return;
      }
      case Term::Extension:
        cell += extensionOf(file.path);
        return;
      case Term::Source:
        mp4host::appendDisplayText(cell, file.source.data(), file.source.size());
        return;
      case Term::Size:
        cell += std::to_string(file.state.size);
        return;
      case Term::Modified:
        cell += moment(file.state.mtime);
        return;
      case Term::Value:
        break;
    }
    if (!file.values) return;
    bool first = true;
    for (const mp4host::RecordedValue& v : file.values->values()) {
      if (!isKey(v, field.key)) continue;
      if (!first) cell += '|';
      first = false;
      m_value.clear();
      mp4host::appendValueText(m_value, *file.values, v);
      for (char c : m_value) {
        if (c == '|') cell += '\\';
        cell += c;
      }
    }
  }

  void jsonRow(std::string& out, const StoredFile& file) {
    out += '{';
    for (size_t i = 0; i < m_options.fields.size(); ++i) {
      const FieldRef& field = m_options.fields[i];
      if (i) out += ", ";
      mp4host::appendJsonValue(out, field.name.data(), field.name.size());
      out += ": ";
      switch (field.fact) {
        case Term::Path:
        case Term::Name: {
          const std::string_view text = field.fact == Term::Path ? file.path : nameOf(file.path);
          mp4host::appendJsonValue(out, text.data(), text.size());
          continue;
        }
        case Term::Source:
          mp4host::appendJsonValue(out, file.source.data(), file.source.size());
          continue;
        case Term::Extension:
        case Term::Modified: {
          const std::string text =
              field.fact == Term::Extension ? extensionOf(file.path) : moment(file.state.mtime);
          mp4host::appendJsonValue(out, text.data(), text.size());
          continue;
        }
        case Term::Size:
          out += std::to_string(file.state.size);
          continue;
        case Term::Value:
          break;
      }
      out += '[';
      bool first = true;
      if (file.values) {
        for (const mp4host::RecordedValue& v : file.values->values()) {
          if (!isKey(v, field.key)) continue;
          if (!first) out += ", ";
          first = false;
          mp4host::appendValueJson(out, *file.values, v);
        }
      }
      out += ']';
    }
    out += "}\n";
  }

  const OutputOptions& m_options;
  const std::string& m_running;
  mp4host::ReportFormatter m_reports;
  std::string m_cell, m_value;
};

// Notes the fields of the query's terms that no stored file has, each once.
void noteMissingFields(Store& store, const QueryNode& node, std::set<std::string>* noted) {
  if (node.kind != QueryNode::Match) {
    for (const QueryNode& child : node.children) noteMissingFields(store, child, noted);
    return;
  }
  const Term& term = node.term;
  if (term.fact != Term::Value || term.key.empty() || term.kind == Term::Has ||
      !noted->insert(term.key).second || store.hasField(term.key)) {
    return;
  }
  std::string field = "'" + term.name + "'";
  if (term.name != term.key) field += " (" + term.key + ")";
  std::fprintf(stderr, "mp4index: note: no file in the index has the field %s\n", field.c_str());
}

bool splitList(const std::string& list, std::vector<std::string>* names, std::string* error) {
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const std::string name = list.substr(start, comma == std::string::npos ? comma : comma - start);
    if (name.empty()) {
      *error = "an empty field name in '" + list + "'";
      return false;
    }
    names->push_back(name);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

}  // namespace

bool parseFieldList(const std::string& list, std::vector<FieldRef>* fields, std::string* error) {
  std::vector<std::string> names;
  if (!splitList(list, &names, error)) return false;
  for (const std::string& name : names) {
    FieldRef field;
    if (!resolveField(name, &field, error)) return false;
    fields->push_back(field);
  }
  return true;
}

bool parseSortList(const std::string& list, std::vector<SortKey>* keys, std::string* error) {
  std::vector<std::string> names;
  if (!splitList(list, &names, error)) return false;
  for (const std::string& name : names) {
    SortKey key;
    key.descending = name.size() > 1 && name[0] == '-';
    if (!resolveField(name.substr(key.descending ? 1 : 0), &key.field, error)) return false;
    keys->push_back(key);
  }
  return true;
}

void search(Store& store, const QueryNode& query, const OutputOptions& options) {
  // One snapshot for the keys, the match and the reports, while an update
  // may commit batches with new keys.
  store.beginRead();
  std::set<std::string> noted;
  noteMissingFields(store, query, &noted);
  Output out;
  if (options.count) {
    out.text() = std::to_string(store.count(query)) + '\n';
    store.endRead();
    return;
  }
  Formatter formatter(options, store.source());
  formatter.header(out.text());
  // Whole reports for --json; else the values of the fields shown or
  // sorted by, and none when they are all facts of the file.
  SearchOptions request;
  request.values = options.format == OutputOptions::Json;
  if (!request.values) {
    for (const FieldRef& field : options.fields) request.keys.push_back(field.key);
    for (const SortKey& key : options.sort) request.keys.push_back(key.field.key);
    request.keys.erase(std::remove(request.keys.begin(), request.keys.end(), std::string()),
                       request.keys.end());
    request.values = !request.keys.empty();
  }
  if (options.sort.empty()) {
    request.limit = options.limit;
    store.search(query, request, [&](const StoredFile& file) {
      formatter.format(out.text(), file);
      out.maybeFlush();
    });
    store.endRead();
    return;
  }
  // Sorted: every match with its keys and its output, then the first ones.
  struct Row {
    std::vector<SortValue> keys;
    std::string text;
  };
  std::vector<Row> rows;
  store.search(query, request, [&](const StoredFile& file) {
    Row row;
    for (const SortKey& key : options.sort) row.keys.push_back(sortValue(key.field, file));
    formatter.format(row.text, file);
    rows.push_back(std::move(row));
  });
  store.endRead();
  std::vector<const Row*> order;
  for (const Row& row : rows) order.push_back(&row);
  std::stable_sort(order.begin(), order.end(), [&](const Row* a, const Row* b) {
    for (size_t i = 0; i < options.sort.size(); ++i) {
      const SortValue &x = a->keys[i], &y = b->keys[i];
      int c = compareValues(x, y);
      // Descending reverses values, never where the missing ones go.
      if (options.sort[i].descending && x.kind != SortValue::None && y.kind != SortValue::None)
        c = -c;
      if (c != 0) return c < 0;
    }
    return false;
  });
  for (size_t i = 0; i < order.size() && i < options.limit; ++i) {
    out.text() += order[i]->text;
    out.maybeFlush();
  }
}

bool show(Store& store, const std::vector<std::string>& paths, bool json) {
  store.beginRead();  // one snapshot, as for search
  Output out;
  mp4host::ReportFormatter formatter;
  bool ok = true;
  bool printed = false;
  for (const std::string& given : paths) {
    // SOURCE:/PATH names a file of another source.
    std::string source;
    std::string_view local = given;
    const size_t colon = given.find(":/");
    if (colon != std::string::npos && colon > 0 && given.find('/') == colon + 1) {
      source = given.substr(0, colon);
      local.remove_prefix(colon + 1);
    }
    if (source == store.source()) source.clear();
    const bool found =
        store.showUnder(source, absolutePath(std::string(local)), [&](const StoredFile& file) {
          const std::string path = shownPath(file, store.source());
          const size_t start = out.text().size();
          if (file.error && !json) {
            printError(out, path, *file.error);
          } else if (json) {
            const std::string plain(file.path);
            if (file.error) {
              formatter.appendJsonError(out.text(), plain, *file.error);
            } else {
              formatter.appendJson(out.text(), plain, *file.values);
            }
            addSource(out.text(), start, file.source);
          } else {
            if (printed) out.text() += '\n';
            formatter.appendText(out.text(), path, *file.values);
            printed = true;
          }
          out.maybeFlush();
        });
    if (!found) {
      printError(out, given, "not in the index");
      ok = false;
    }
  }
  store.endRead();
  return ok;
}

}  // namespace mp4index
