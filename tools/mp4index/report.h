// A file's reported values packed into one byte string, in report order:
// what the index keeps per file and what show and search --json replay.
#ifndef MP4INDEX_REPORT_H
#define MP4INDEX_REPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace Strigi {
class RegisteredField;
}
namespace mp4host {
class ValueRecorder;
}

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

// The word index (table words) has a row per inline text value, at a rowid
// that says whose value it is: the file (bits 32 and up), the key (bits
// 20 to 31) and the value's place among the file's inline texts of that
// key (bits 0 to 19). Values beyond those ranges are stored and shown but
// not word-searchable: wordRow returns 0 for them.
constexpr int kFileShift = 32;
constexpr int kKeyShift = 20;
constexpr int64_t kMaxKey = (int64_t{1} << (kFileShift - kKeyShift)) - 1;
constexpr int64_t kMaxOrdinal = (int64_t{1} << kKeyShift) - 1;
constexpr int64_t kMaxFile = (int64_t{1} << (63 - kFileShift)) - 1;

int64_t wordRow(int64_t file, int64_t key, int64_t ordinal);

// Packs what a file reported, in report order, onto out. keyId gives the
// id of a field's key, blobId the id of a stored byte string that is not
// valid UTF-8, counting one more value that holds it (each storing what is
// new); text in UTF-8 stays inline.
void packReport(const mp4host::ValueRecorder& values,
                const std::function<int64_t(const std::string& key)>& keyId,
                const std::function<int64_t(std::string_view bytes)>& blobId, std::string& out);

// Replays a packed report into values, as the analysis reported it.
// fieldOf gives the field of a key id, blobBytes the bytes of a blob id;
// either returns null (false) for an id it does not know; wanted (when
// given) leaves out the values of the keys it says no to, whose blobs are
// then not read. Returns false, with values holding what came before, when
// the report is damaged or names an unknown key or blob.
bool replayReport(std::string_view packed,
                  const std::function<const Strigi::RegisteredField*(int64_t key)>& fieldOf,
                  const std::function<bool(int64_t blob, std::string_view* bytes)>& blobBytes,
                  mp4host::ValueRecorder& values,
                  const std::function<bool(int64_t key)>& wanted = nullptr);

// Whether a packed report holds a value of key.
bool hasKey(std::string_view packed, int64_t key);

}  // namespace mp4index

#endif
