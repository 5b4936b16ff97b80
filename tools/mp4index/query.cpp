#include "query.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

namespace mp4index {

namespace {

// How a field's values are written in a term.
enum class Type {
  Text,      // words with ':', bytes with '='
  Number,    // a whole number
  Duration,  // seconds: 90, 90s, 5m, 1h30m, 1:30:00
  Date,      // text such as 2004-05-12T08:00:00Z, compared by its date
  Ordinal,   // "N/TOTAL" text: '=' compares N
  Binary,    // presence only
  Generic,   // a full key without a short name: words, bytes or numbers
};

struct ShortName {
  const char* name;
  const char* key;  // null for a fact of the file
  Type type;
  Term::Fact fact;
};

// The names a person types, beside the plug-in's keys (which keep
// working). Several names may share a key.
constexpr ShortName kShortNames[] = {
    {"title", "audio.title", Type::Text, Term::Value},
    {"artist", "audio.artist", Type::Text, Term::Value},
    {"albumartist", "TODO_audio.albumartist", Type::Text, Term::Value},
    {"album", "audio.album", Type::Text, Term::Value},
    {"composer", "content.author", Type::Text, Term::Value},
    {"comment", "content.comment", Type::Text, Term::Value},
    {"genre", "content.genre", Type::Text, Term::Value},
    {"year", "content.creation_time", Type::Date, Term::Value},
    {"date", "content.creation_time", Type::Date, Term::Value},
    {"track", "TODO_trackNumber", Type::Ordinal, Term::Value},
    {"disc", "TODO_discNumber", Type::Ordinal, Term::Value},
    {"tool", "content.generator", Type::Text, Term::Value},
    {"copyright", "content.copyright", Type::Text, Term::Value},
    {"keyword", "content.keyword", Type::Text, Term::Value},
    {"description", "content.description", Type::Text, Term::Value},
    {"purchaser", "TODO_content.purchaser", Type::Text, Term::Value},
    {"purchased", "TODO_content.purchasedate", Type::Date, Term::Value},
    {"link", "content.links", Type::Text, Term::Value},
    {"rating", "user.rating", Type::Number, Term::Value},
    {"cover", "content.thumbnail", Type::Binary, Term::Value},
    {"duration", "TODO_video.duration", Type::Duration, Term::Value},
    {"width", "image.width", Type::Number, Term::Value},
    {"height", "image.height", Type::Number, Term::Value},
    {"videocodec", "av.video_codec", Type::Text, Term::Value},
    {"audiocodec", "av.audio_codec", Type::Text, Term::Value},
    {"channels", "audio.channel_count", Type::Number, Term::Value},
    {"samplerate", "media.sample_rate", Type::Number, Term::Value},
    {"sampleformat", "media.sample_format", Type::Text, Term::Value},
    {"type", "content.mime_type", Type::Text, Term::Value},
    {"path", nullptr, Type::Text, Term::Path},
    {"name", nullptr, Type::Text, Term::Name},
    {"ext", nullptr, Type::Text, Term::Extension},
    {"extension", nullptr, Type::Text, Term::Extension},
    {"size", nullptr, Type::Number, Term::Size},
    {"modified", nullptr, Type::Date, Term::Modified},
    {"source", nullptr, Type::Text, Term::Source},
};

constexpr int64_t kMin = std::numeric_limits<int64_t>::min();
constexpr int64_t kMax = std::numeric_limits<int64_t>::max();

bool isKeyChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.';
}

bool validKey(const std::string& key) {
  if (key.empty() || !std::isalpha(static_cast<unsigned char>(key[0]))) return false;
  return std::all_of(key.begin(), key.end(), isKeyChar);
}

// A full key as the plug-in names fields: never a short name.
bool looksLikeKey(const std::string& name) {
  return validKey(name) && name.find_first_of("._") != std::string::npos;
}

const ShortName* shortName(const std::string& name) {
  for (const ShortName& s : kShortNames) {
    if (name == s.name) return &s;
  }
  return nullptr;
}

size_t editDistance(const std::string& a, const std::string& b) {
  std::vector<size_t> row(b.size() + 1);
  for (size_t j = 0; j <= b.size(); ++j) row[j] = j;
  for (size_t i = 1; i <= a.size(); ++i) {
    size_t diagonal = row[0];
    row[0] = i;
    for (size_t j = 1; j <= b.size(); ++j) {
      const size_t above = row[j];
      row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] != b[j - 1])});
      diagonal = above;
    }
  }
  return row[b.size()];
}

// "unknown field 'artst' (did you mean 'artist'?)": the names within two
// edits, or that begin with what was typed.
std::string unknownField(const std::string& name) {
  std::vector<std::pair<size_t, const char*>> near;
  for (const ShortName& s : kShortNames) {
    const size_t d = editDistance(name, s.name);
    if (d <= 2 || std::string(s.name).compare(0, name.size(), name) == 0)
      near.emplace_back(d, s.name);
  }
  std::stable_sort(near.begin(), near.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::string message = "unknown field '" + name + "'";
  if (near.empty()) return message + " (mp4index --help lists the field names)";
  message += " (did you mean ";
  for (size_t i = 0; i < near.size() && i < 3; ++i) {
    if (i) message += i + 1 == std::min<size_t>(near.size(), 3) ? " or " : ", ";
    message += std::string("'") + near[i].second + "'";
  }
  return message + "?)";
}

struct Field {
  FieldRef ref;
  Type type = Type::Generic;
};

bool findField(const std::string& name, Field* field, std::string* error) {
  field->ref.name = name;
  if (const ShortName* s = shortName(name)) {
    field->ref.fact = s->fact;
    field->ref.key = s->key ? s->key : "";
    field->type = s->type;
    return true;
  }
  if (!looksLikeKey(name)) {
    *error = validKey(name) ? unknownField(name) : "'" + name + "' is not a field name";
    return false;
  }
  field->ref.key = name;
  for (const ShortName& s : kShortNames) {
    if (s.key && name == s.key) field->type = s.type;
  }
  return true;
}

QueryNode match(Term term) {
  QueryNode node;
  node.kind = QueryNode::Match;
  node.term = std::move(term);
  return node;
}

QueryNode negated(QueryNode child) {
  QueryNode node;
  node.kind = QueryNode::Not;
  node.children.push_back(std::move(child));
  return node;
}

Term fieldTerm(const Field& field, Term::Kind kind) {
  Term term;
  term.kind = kind;
  term.fact = field.ref.fact;
  term.key = field.ref.key;
  term.name = field.ref.name;
  return term;
}

// Words as typed: a phrase in quotes loses them, and a '*' at the end
// makes the last word a prefix.
bool readWords(std::string text, Term* term, std::string* error) {
  term->prefix = text.size() > 1 && text.back() == '*';
  if (term->prefix) text.pop_back();
  if (!text.empty() && text.front() == '"') {
    if (text.size() < 2 || text.back() != '"') {
      *error = "a quote without its end";
      return false;
    }
    text = text.substr(1, text.size() - 2);
  }
  if (text.empty()) {
    *error = "no words";
    return false;
  }
  term->text = std::move(text);
  return true;
}

bool unquoted(const std::string& text, std::string* out, std::string* error) {
  if (text.size() >= 2 && text.front() == '"' && text.back() == '"') {
    *out = text.substr(1, text.size() - 2);
  } else if (!text.empty() && text.front() == '"') {
    *error = "a quote without its end";
    return false;
  } else {
    *out = text;
  }
  return true;
}

// A size: a number (a fraction allowed) and a unit in powers of 1024 (K,
// M, G, T, with or without B or iB; B or none for bytes).
bool parseSize(const std::string& text, int64_t* bytes) {
  size_t end = 0;
  while (end < text.size() &&
         (std::isdigit(static_cast<unsigned char>(text[end])) || text[end] == '.'))
    ++end;
  if (end == 0) return false;
  double number = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + end, number);
  if (parsed.ec != std::errc() || parsed.ptr != text.data() + end) return false;
  std::string unit = text.substr(end);
  for (char& c : unit) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  static const char* const kUnits = "KMGT";
  double scale = 1;
  if (!unit.empty() && unit != "B") {
    const char* at = std::strchr(kUnits, unit[0]);
    if (!at || !(unit.size() == 1 || unit.substr(1) == "B" || unit.substr(1) == "IB")) return false;
    scale = std::ldexp(1.0, 10 * static_cast<int>(at - kUnits + 1));
  }
  const double value = std::round(number * scale);
  if (!(value < 9.2e18)) return false;
  *bytes = static_cast<int64_t>(value);
  return true;
}

// A duration in seconds: 90, 90s, 5m, 1h30m, 1h30m15s, 1:30 or 1:30:00.
bool parseDuration(const std::string& text, int64_t* seconds) {
  if (text.empty()) return false;
  int64_t total = 0;
  const bool clock = text.find(':') != std::string::npos;
  const char* units = "hms";
  int parts = 0;
  for (size_t i = 0; i < text.size();) {
    size_t end = i;
    while (end < text.size() && std::isdigit(static_cast<unsigned char>(text[end]))) ++end;
    if (end == i || end - i > 12) return false;
    int64_t n = 0;
    std::from_chars(text.data() + i, text.data() + end, n);
    if (clock) {
      if (++parts > 3 || (parts > 1 && n >= 60)) return false;
      total = total * 60 + n;
      if (end < text.size() && text[end] != ':') return false;
      i = end + (end < text.size());
      if (i == text.size() && text.back() == ':') return false;
      continue;
    }
    // A number without a unit is seconds, or after another the next unit
    // down (1h30 is 1h30m).
    const char unit = end < text.size() ? text[end] : i == 0 ? 's' : units[0];
    const char* at = unit ? std::strchr(units, unit) : nullptr;
    if (!at) return false;
    units = at + 1;  // h before m before s, each once
    total += n * (unit == 'h' ? 3600 : unit == 'm' ? 60 : 1);
    i = end + 1;
  }
  *seconds = total;
  return true;
}

// A date or a moment, to the precision written: YYYY, YYYY-MM, YYYY-MM-DD,
// then THH:MM or THH:MM:SS (or a space for the T). Gives the fields, how
// many were given, and the text of them as a stored date writes it.
struct Moment {
  int part[6] = {0, 1, 1, 0, 0, 0};
  int given = 0;
  std::string text;
};

bool parseMoment(const std::string& input, Moment* m) {
  static const char kSeparators[] = "--T::";
  static const int kWidths[] = {4, 2, 2, 2, 2, 2};
  static const int kLow[] = {0, 1, 1, 0, 0, 0};
  static const int kHigh[] = {9999, 12, 31, 23, 59, 59};
  size_t i = 0;
  while (m->given < 6) {
    const int width = kWidths[m->given];
    if (input.size() < i + width) return false;
    int value = 0;
    for (int k = 0; k < width; ++k) {
      const char c = input[i + k];
      if (!std::isdigit(static_cast<unsigned char>(c))) return false;
      value = value * 10 + (c - '0');
    }
    if (value < kLow[m->given] || value > kHigh[m->given]) return false;
    m->part[m->given++] = value;
    m->text.append(input, i, width);
    i += width;
    if (i == input.size()) break;
    const char separator = kSeparators[m->given - 1];
    if (m->given == 6 || !(input[i] == separator || (separator == 'T' && input[i] == ' '))) {
      return false;
    }
    m->text += separator;
    ++i;
  }
  if (m->given == 4 || i != input.size()) return false;  // an hour needs its minutes
  if (m->given >= 3) {
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const int year = m->part[0], month = m->part[1];
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    if (m->part[2] > kDays[month - 1] || (month == 2 && !leap && m->part[2] > 28)) return false;
  }
  return true;
}

// Seconds since the epoch of a moment in local time; with next, of the
// moment one unit of its precision later.
int64_t localSeconds(const Moment& m, bool next) {
  int part[6];
  std::copy(m.part, m.part + 6, part);
  if (next) ++part[m.given - 1];
  std::tm tm{};
  tm.tm_year = part[0] - 1900;
  tm.tm_mon = part[1] - 1;
  tm.tm_mday = part[2];
  tm.tm_hour = part[3];
  tm.tm_min = part[4];
  tm.tm_sec = part[5];
  tm.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&tm));
}

// The smallest text above every text that starts with prefix.
std::string pastPrefix(std::string prefix) {
  ++prefix.back();
  return prefix;
}

// A comparison of values that span [first, last] (a number: one point).
void setRange(Term* term, const std::string& op, int64_t first, int64_t last) {
  term->kind = Term::Range;
  if (op == "=" || op == ":") {
    term->low = first;
    term->high = last;
  } else if (op == ">") {
    term->low = last == kMax ? kMax : last + 1;
    if (last == kMax) term->high = kMax - 1;  // nothing is above
  } else if (op == ">=") {
    term->low = first;
  } else if (op == "<") {
    term->high = first == kMin ? kMin : first - 1;
    if (first == kMin) term->low = kMin + 1;
  } else {
    term->high = last;
  }
}

class Parser {
 public:
  Parser(const std::vector<std::string>& args, std::string* error) : m_args(args), m_error(error) {}

  bool parse(QueryNode* query) {
    if (!parseAll(query, 0)) return false;
    if (m_pos < m_args.size()) return fail("')' without its '('");
    return true;
  }

 private:
  bool atEnd() const { return m_pos == m_args.size(); }
  bool at(const char* word) const { return !atEnd() && m_args[m_pos] == word; }
  bool fail(const std::string& message) {
    *m_error = message;
    return false;
  }
  bool failTerm(const std::string& arg, const std::string& message) {
    return fail("term '" + arg + "': " + message);
  }

  bool parseAll(QueryNode* out, int depth) {
    out->kind = QueryNode::All;
    while (!atEnd() && !at(")")) {
      if (at("AND")) {
        if (out->children.empty()) return fail("AND without a term before it");
        ++m_pos;
        if (atEnd() || at(")")) return fail("AND without a term after it");
      }
      QueryNode child;
      if (!parseAny(&child, depth)) return false;
      out->children.push_back(std::move(child));
    }
    if (out->children.empty())
      return fail(depth == 0 ? "no search terms given" : "'(' with nothing inside");
    if (out->children.size() == 1) {
      QueryNode only = std::move(out->children.front());
      *out = std::move(only);
    }
    return true;
  }

  bool parseAny(QueryNode* out, int depth) {
    QueryNode first;
    if (!parseUnary(&first, depth)) return false;
    if (!at("OR")) {
      *out = std::move(first);
      return true;
    }
    out->kind = QueryNode::Any;
    out->children.push_back(std::move(first));
    while (at("OR")) {
      ++m_pos;
      if (atEnd() || at(")") || at("OR") || at("AND")) return fail("OR without a term after it");
      QueryNode next;
      if (!parseUnary(&next, depth)) return false;
      out->children.push_back(std::move(next));
    }
    return true;
  }

  bool parseUnary(QueryNode* out, int depth) {
    if (depth >= kMaxDepth) {
      return fail("the query is nested too deeply (at most " + std::to_string(kMaxDepth) +
                  " levels of parentheses and NOT)");
    }
    if (at("NOT")) {
      ++m_pos;
      if (atEnd() || at(")") || at("OR") || at("AND")) return fail("NOT without a term after it");
      QueryNode child;
      if (!parseUnary(&child, depth + 1)) return false;
      *out = negated(std::move(child));
      return true;
    }
    if (at("(")) {
      ++m_pos;
      if (!parseAll(out, depth + 1)) return false;
      if (!at(")")) return fail("'(' without its ')'");
      ++m_pos;
      return true;
    }
    if (at("OR") || at("AND")) return fail(m_args[m_pos] + " without a term before it");
    if (++m_terms > kMaxTerms) {
      return fail("too many terms (at most " + std::to_string(kMaxTerms) + ")");
    }
    const std::string& arg = m_args[m_pos++];
    std::string error;
    if (!parseTerm(arg, out, &error)) return failTerm(arg, error);
    return true;
  }

  // -TERM: without it; -NAME of a field: without a value of that field.
  static bool parseTerm(const std::string& arg, QueryNode* out, std::string* error) {
    if (arg.empty()) {
      *error = "an empty term";
      return false;
    }
    if (arg.size() > 1 && arg[0] == '-') {
      const std::string rest = arg.substr(1);
      if (validKey(rest) && (shortName(rest) || looksLikeKey(rest))) {
        QueryNode has;
        if (!presence(rest, &has, error)) return false;
        *out = negated(std::move(has));
        return true;
      }
      QueryNode positive;
      if (!parsePositive(rest, &positive, error)) return false;
      *out = negated(std::move(positive));
      return true;
    }
    return parsePositive(arg, out, error);
  }

  // A field's presence: has:NAME.
  static bool presence(const std::string& name, QueryNode* out, std::string* error) {
    Field field;
    if (!findField(name, &field, error)) return false;
    if (field.ref.fact != Term::Value) {
      *error = "'" + name + "' is known for every file";
      return false;
    }
    *out = match(fieldTerm(field, Term::Has));
    return true;
  }

  static bool parsePositive(const std::string& arg, QueryNode* out, std::string* error) {
    for (const char* form : {"missing:", "has:"}) {
      const size_t length = std::strlen(form);
      if (arg.compare(0, length, form) != 0) continue;
      if (!presence(arg.substr(length), out, error)) return false;
      if (form[0] == 'm') *out = negated(std::move(*out));
      return true;
    }
    size_t end = 0;
    while (end < arg.size() && isKeyChar(arg[end])) ++end;
    if (end == arg.size() || !validKey(arg.substr(0, end)) ||
        std::string(":=<>").find(arg[end]) == std::string::npos) {
      Term words;
      if (!readWords(arg, &words, error)) return false;
      *out = match(std::move(words));
      return true;
    }
    Field field;
    if (!findField(arg.substr(0, end), &field, error)) return false;
    const bool orEqual =
        (arg[end] == '<' || arg[end] == '>') && end + 1 < arg.size() && arg[end + 1] == '=';
    const std::string op = arg.substr(end, orEqual ? 2 : 1);
    const std::string value = arg.substr(end + op.size());
    return fieldValue(field, op, value, out, error);
  }

  static bool fieldValue(const Field& field, const std::string& op, const std::string& value,
                         QueryNode* out, std::string* error) {
    const bool compares = op[0] == '<' || op[0] == '>';
    const Term::Fact fact = field.ref.fact;
    if (op == ":" && value.empty()) {
      *error = "no words after ':'";
      return false;
    }
    if (field.type == Type::Binary) {
      if (value == "yes" || value == "no") {
        *out = match(fieldTerm(field, Term::Has));
        if (value == "no") *out = negated(std::move(*out));
        return true;
      }
      *error = "'" + field.ref.name + "' is yes or no (or use has:, missing: or -" +
               field.ref.name + ")";
      return false;
    }
    if (compares && (field.type == Type::Text || field.type == Type::Ordinal)) {
      *error = "'" + field.ref.name + "' is text: compare it with ':' (words) or '=' (exactly)";
      return false;
    }
    Term term = fieldTerm(field, Term::Equals);
    if (fact == Term::Path || fact == Term::Name) {
      if (op != ":") {
        *error = "'" + field.ref.name + "' is searched by its words: " + field.ref.name + ":WORDS";
        return false;
      }
      term.kind = Term::FieldWords;
      if (!readWords(value, &term, error)) return false;
      *out = match(std::move(term));
      return true;
    }
    if (fact == Term::Source) {
      *out = match(std::move(term));
      return unquoted(value, &out->term.text, error);
    }
    if (fact == Term::Extension) {
      if (!unquoted(value, &term.text, error)) return false;
      if (!term.text.empty() && term.text[0] == '.') term.text.erase(0, 1);
      for (char& c : term.text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      *out = match(std::move(term));
      return true;
    }
    if (op == ":" && fact == Term::Value &&
        (field.type == Type::Text || field.type == Type::Generic || field.type == Type::Date ||
         field.type == Type::Ordinal)) {
      term.kind = Term::FieldWords;
      if (!readWords(value, &term, error)) return false;
      *out = match(std::move(term));
      return true;
    }
    switch (field.type) {
      case Type::Number:
      case Type::Duration:
      case Type::Generic: {
        int64_t n = 0;
        if (fact == Term::Size) {
          if (!parseSize(value, &n)) {
            *error = "'" + value + "' is not a size (such as 4096, 700K, 1.5G)";
            return false;
          }
        } else if (field.type == Type::Duration) {
          if (!parseDuration(value, &n)) {
            *error = "'" + value + "' is not a duration (such as 90, 5m, 1h30m, 1:30:00)";
            return false;
          }
        } else if (field.type == Type::Generic && !compares) {
          if (!unquoted(value, &term.text, error)) return false;
          *out = match(std::move(term));  // text, or a number
          return true;
        } else if (!wholeNumber(value, &n)) {
          *error = "'" + value + "' is not a whole number";
          return false;
        }
        setRange(&term, op, n, n);
        *out = match(std::move(term));
        return true;
      }
      case Type::Date: {
        Moment m;
        if (!parseMoment(value, &m)) {
          *error =
              "'" + value + "' is not a date (such as 2024, 2024-05, 2024-05-31, 2024-05-31T18:30)";
          return false;
        }
        if (fact == Term::Modified) {
          const int64_t ns = 1000000000;
          setRange(&term, op, localSeconds(m, false) * ns, localSeconds(m, true) * ns - 1);
        } else {
          term.kind = Term::TextRange;
          const std::string past = pastPrefix(m.text);
          // Every date begins with a digit: "0" and ":" bound them all.
          term.textLow = op == "=" || op == ">=" ? m.text : op == ">" ? past : "0";
          term.textHigh = op == "=" || op == "<=" ? past : op == "<" ? m.text : ":";
        }
        *out = match(std::move(term));
        return true;
      }
      case Type::Ordinal: {
        // N matches "N" and "N/TOTAL"; anything else is the text exactly.
        if (!unquoted(value, &term.text, error)) return false;
        int64_t n = 0;
        if (!wholeNumber(term.text, &n) || n < 0) {
          *out = match(std::move(term));
          return true;
        }
        term.text = std::to_string(n);
        Term slash = fieldTerm(field, Term::TextRange);
        slash.textLow = term.text + "/";
        slash.textHigh = pastPrefix(slash.textLow);
        out->kind = QueryNode::Any;
        out->children.push_back(match(std::move(term)));
        out->children.push_back(match(std::move(slash)));
        return true;
      }
      default:
        if (!unquoted(value, &term.text, error)) return false;
        *out = match(std::move(term));
        return true;
    }
  }

  const std::vector<std::string>& m_args;
  std::string* m_error;
  size_t m_pos = 0;
  size_t m_terms = 0;
};

}  // namespace

std::string_view nameOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

std::string extensionOf(std::string_view path) {
  const std::string_view name = nameOf(path);
  const size_t dot = name.rfind('.');
  std::string ext(dot == std::string_view::npos || dot == 0 ? std::string_view()
                                                            : name.substr(dot + 1));
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return ext;
}

bool wholeNumber(const std::string& text, int64_t* number) {
  const char* first = text.data();
  const char* last = first + text.size();
  if (first != last && *first == '+') ++first;
  const auto result = std::from_chars(first, last, *number);
  return first != last && result.ec == std::errc() && result.ptr == last;
}

bool resolveField(const std::string& name, FieldRef* field, std::string* error) {
  Field found;
  if (!findField(name, &found, error)) return false;
  *field = found.ref;
  return true;
}

bool parseQuery(const std::vector<std::string>& args, QueryNode* query, std::string* error) {
  *query = QueryNode();
  return Parser(args, error).parse(query);
}

}  // namespace mp4index
