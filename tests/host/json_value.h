// A small JSON reader for checking mp4meta's output in tests. Objects keep
// their members in document order.
#ifndef MP4HOST_JSON_VALUE_H
#define MP4HOST_JSON_VALUE_H

#include <string>
#include <utility>
#include <vector>

namespace hosttest {

struct JsonValue {
  enum Type { Null, Number, String, Array, Object } type = Null;
  std::string text;  // String: the decoded UTF-8; Number: the literal
  std::vector<JsonValue> items;
  std::vector<std::pair<std::string, JsonValue>> members;

  // The member called key; throws when there is none.
  const JsonValue& operator[](const std::string& key) const;
  bool has(const std::string& key) const;
};

// Parses one JSON document; throws std::runtime_error on malformed input,
// trailing text included.
JsonValue parseJson(const std::string& text);

}  // namespace hosttest

#endif
