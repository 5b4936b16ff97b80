// Renders the values of one file for people (text) or for programs (JSON).
#ifndef MP4HOST_REPORT_FORMAT_H
#define MP4HOST_REPORT_FORMAT_H

#include <mp4host/value_recorder.h>

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace mp4host {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF,
// no truncated sequences. Zero bytes are valid (U+0000).
bool isValidUtf8(const char* data, size_t length);

// Standard base64 (RFC 4648 alphabet, with padding).
void appendBase64(std::string& out, const char* data, size_t length);

// "JPEG image", "PNG image", "GIF image" or "BMP image" when the bytes start
// like one, otherwise null.
const char* imageKind(const char* data, size_t length);

// A JSON string for valid UTF-8 (control characters, quote and backslash
// escaped), otherwise an object {"base64": "..."}.
void appendJsonValue(std::string& out, const char* data, size_t length);

// Bytes made safe for one line of a terminal: backslash, control characters
// and DEL are escaped (\\, \n, \t, \r, \xNN), and so is every byte that is
// not part of valid UTF-8. Used for paths and text values.
void appendDisplayText(std::string& out, const char* data, size_t length);

// One recorded value as appendJson and appendText write it.
void appendValueJson(std::string& out, const ValueRecorder& values, const RecordedValue& v);
void appendValueText(std::string& out, const ValueRecorder& values, const RecordedValue& v);

// Formats whole reports. Keeps scratch memory between files.
class ReportFormatter {
 public:
  // One line: {"path": ..., "fields": {key: [value, ...], ...}} with the
  // keys in the order of their first report and each key's values in
  // report order.
  void appendJson(std::string& out, const std::string& path, const ValueRecorder& values);
  // One line: {"path": ..., "error": ...}.
  void appendJsonError(std::string& out, const std::string& path, const std::string& error);
  // The path on a line of its own, then "key: value" per report, in report
  // order. A value that is not valid UTF-8 shows as its size and, when
  // recognisable, its image type: "<207 bytes, JPEG image>".
  void appendText(std::string& out, const std::string& path, const ValueRecorder& values);

 private:
  struct Key {
    const Strigi::RegisteredField* field;
    size_t first;
    size_t last;
  };
  // "key": [ as JSON, made once per field.
  const std::string& keyPrefix(const Strigi::RegisteredField* field);

  std::vector<Key> m_keys;
  std::vector<size_t> m_next;  // the next value of the same key, per value
  std::unordered_map<const Strigi::RegisteredField*, std::string> m_keyPrefixes;
};

}  // namespace mp4host

#endif
