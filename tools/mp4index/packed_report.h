// A file's reported values in one byte string, in report order: what the
// index stores per file and replays for show and search --json.
#ifndef MP4INDEX_PACKED_REPORT_H
#define MP4INDEX_PACKED_REPORT_H

#include <cstdint>
#include <string>
#include <string_view>

namespace mp4index {

struct PackedValue {
  enum Kind : uint8_t { Text, Integer, Real, Pair };
  Kind kind = Text;
  std::string_view key;
  std::string_view name;  // Pair
  // Text and Pair: the bytes, or (blob != 0) the blobs row that holds them.
  std::string_view bytes;
  int64_t blob = 0;
  int64_t integer = 0;
  double real = 0;
};

void appendPacked(std::string& out, const PackedValue& value);

// Reads the values of packed in turn. Bounds are checked at every step: an
// index damaged on disk gives false, never a read past the bytes.
class PackedReader {
 public:
  explicit PackedReader(std::string_view packed) : m_rest(packed) {}
  // The next value into *value (its views point into packed); false at the
  // end, and when the bytes are not a well-formed packing (then damaged()).
  bool next(PackedValue* value);
  bool damaged() const { return m_damaged; }

 private:
  bool number(uint64_t* value);
  bool bytes(std::string_view* value);

  std::string_view m_rest;
  bool m_damaged = false;
};

}  // namespace mp4index

#endif
