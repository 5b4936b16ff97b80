// A file's reported values packed into one byte string, in report order:
// what the index keeps per file and what show and search --json replay.
#ifndef MP4INDEX_REPORT_H
#define MP4INDEX_REPORT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace mp4index {

// One stored value. Text and Pair values hold their bytes inline when they
// are valid UTF-8 (and only then: inline text is what the word index holds);
// other bytes are stored once in the blobs table, the value holding the id.
struct PackedValue {
  enum Kind : uint8_t { Text, Integer, Real, Pair };
  Kind kind = Text;
  bool inBlob = false;
  int64_t key = 0;         // the id of the field's key in keys
  std::string_view name;   // Pair
  std::string_view bytes;  // Text and Pair, inline
  int64_t integer = 0;     // Integer; the blob's id when inBlob
  double real = 0;         // Real
};

void appendPacked(std::string& out, const PackedValue& value);

// Reads packed values one by one. Every read is checked against the end of
// the bytes: a damaged string ends the values and sets damaged().
class PackedReader {
 public:
  explicit PackedReader(std::string_view packed) : m_rest(packed) {}
  bool next(PackedValue* value);
  bool damaged() const { return m_damaged; }

 private:
  bool fail();
  bool varint(uint64_t* out);
  bool bytes(std::string_view* out);

  std::string_view m_rest;
  bool m_damaged = false;
};

// The word index (table words) has a row per inline text value of a file,
// at rowid (file << kTextBits) + n for the file's n-th such value; values
// after the last slot are stored and shown but not word-searchable. Row
// (file << kTextBits) lists the file's keys.
constexpr int kTextBits = 20;
constexpr int64_t kLastTextSlot = (int64_t{1} << kTextBits) - 1;

// Tokens of the words table's k column: "k<id>" on a value's row, "h<id>"
// on the row of a file's keys.
std::string keyToken(int64_t key);
std::string hasToken(int64_t key);

}  // namespace mp4index

#endif
