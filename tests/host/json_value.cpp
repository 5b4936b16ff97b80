#include "json_value.h"

#include <algorithm>
#include <cstdlib>
#include <stdexcept>

namespace hosttest {

namespace {

class Parser {
 public:
  explicit Parser(const std::string& text) : m_text(text) {}

  JsonValue document() {
    JsonValue v = value();
    skipSpace();
    if (m_pos != m_text.size()) fail("trailing text");
    return v;
  }

 private:
  [[noreturn]] void fail(const char* what) const {
    throw std::runtime_error(std::string("bad JSON (") + what + ") at " + std::to_string(m_pos) +
                             ": " + m_text);
  }
  void skipSpace() {
    while (m_pos < m_text.size() && (m_text[m_pos] == ' ' || m_text[m_pos] == '\n' ||
                                     m_text[m_pos] == '\t' || m_text[m_pos] == '\r')) {
      ++m_pos;
    }
  }
  bool take(char c) {
    skipSpace();
    if (m_pos < m_text.size() && m_text[m_pos] == c) {
      ++m_pos;
      return true;
    }
    return false;
  }
  void expect(char c) {
    if (!take(c)) fail("unexpected character");
  }
  bool literal(const char* word) {
    const std::string w(word);
    if (m_text.compare(m_pos, w.size(), w) != 0) return false;
    m_pos += w.size();
    return true;
  }

  JsonValue value() {
    skipSpace();
    JsonValue v;
    if (m_pos >= m_text.size()) fail("end of input");
    const char c = m_text[m_pos];
    if (c == '{') {
      ++m_pos;
      v.type = JsonValue::Object;
      if (take('}')) return v;
      do {
        skipSpace();
        std::string key = string();
        expect(':');
        v.members.emplace_back(std::move(key), value());
      } while (take(','));
      expect('}');
    } else if (c == '[') {
      ++m_pos;
      v.type = JsonValue::Array;
      if (take(']')) return v;
      do {
        v.items.push_back(value());
      } while (take(','));
      expect(']');
    } else if (c == '"') {
      v.type = JsonValue::String;
      v.text = string();
    } else if (literal("null")) {
      v.type = JsonValue::Null;
    } else {
      const size_t start = m_pos;
      if (m_text[m_pos] == '-') ++m_pos;
      while (m_pos < m_text.size() &&
             std::string("0123456789.eE+-").find(m_text[m_pos]) != std::string::npos) {
        ++m_pos;
      }
      if (m_pos == start) fail("unexpected character");
      v.type = JsonValue::Number;
      v.text = m_text.substr(start, m_pos - start);
    }
    return v;
  }

  unsigned hex4() {
    if (m_pos + 4 > m_text.size()) fail("short \\u escape");
    const unsigned v =
        static_cast<unsigned>(std::strtoul(m_text.substr(m_pos, 4).c_str(), nullptr, 16));
    m_pos += 4;
    return v;
  }

  static void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::string string() {
    if (m_pos >= m_text.size() || m_text[m_pos] != '"') fail("expected a string");
    ++m_pos;
    std::string out;
    for (;;) {
      if (m_pos >= m_text.size()) fail("unterminated string");
      const char c = m_text[m_pos++];
      if (c == '"') return out;
      if (static_cast<unsigned char>(c) < 0x20) fail("raw control character");
      if (c != '\\') {
        out += c;
        continue;
      }
      if (m_pos >= m_text.size()) fail("unterminated escape");
      const char e = m_text[m_pos++];
      switch (e) {
        case '"':
          out += '"';
          break;
        case '\\':
          out += '\\';
          break;
        case '/':
          out += '/';
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          unsigned cp = hex4();
          if (cp >= 0xD800 && cp < 0xDC00 && literal("\\u")) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (hex4() - 0xDC00);
          }
          appendUtf8(out, cp);
          break;
        }
        default:
          fail("unknown escape");
      }
    }
  }

  const std::string& m_text;
  size_t m_pos = 0;
};

}  // namespace

const JsonValue& JsonValue::operator[](const std::string& key) const {
  for (const auto& member : members) {
    if (member.first == key) return member.second;
  }
  throw std::runtime_error("no member " + key);
}

bool JsonValue::has(const std::string& key) const {
  return std::any_of(members.begin(), members.end(),
                     [&key](const auto& member) { return member.first == key; });
}

JsonValue parseJson(const std::string& text) { return Parser(text).document(); }

}  // namespace hosttest
