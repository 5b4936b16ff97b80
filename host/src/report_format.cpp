#include <mp4host/report_format.h>
#include <strigi/fieldtypes.h>

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define MP4HOST_BASE64_X86 1
#else
#define MP4HOST_BASE64_X86 0
#endif

namespace mp4host {

namespace {

const unsigned char* bytesOf(const char* data) {
  return reinterpret_cast<const unsigned char*>(data);
}

// The length of the valid UTF-8 sequence that starts at p with a byte of
// 0x80 or more, or 0 when there is none.
size_t multiByteLength(const unsigned char* p, const unsigned char* end) {
  const unsigned c = p[0];
  const size_t left = static_cast<size_t>(end - p);
  auto cont = [](unsigned b) { return (b & 0xC0u) == 0x80u; };
  if (c >= 0xC2 && c <= 0xDF) return left >= 2 && cont(p[1]) ? 2 : 0;
  if (c >= 0xE0 && c <= 0xEF) {
    if (left < 3) return 0;
    // E0 would be overlong below A0; ED A0..BF would be surrogates.
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80;
    const unsigned hi = c == 0xED ? 0x9F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) ? 3 : 0;
  }
  if (c >= 0xF0 && c <= 0xF4) {
    if (left < 4) return 0;
    // F0 would be overlong below 90; F4 beyond 8F would pass U+10FFFF.
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80;
    const unsigned hi = c == 0xF4 ? 0x8F : 0xBF;
    return p[1] >= lo && p[1] <= hi && cont(p[2]) && cont(p[3]) ? 4 : 0;
  }
  return 0;
}

bool allAscii8(const unsigned char* p) {
  uint64_t word;
  std::memcpy(&word, p, sizeof word);
  return (word & 0x8080808080808080ull) == 0;
}

const char kHex[] = "0123456789abcdef";

void appendHexEscape(std::string& out, const char* prefix, unsigned char c) {
  out += prefix;
  out += kHex[c >> 4];
  out += kHex[c & 15];
}

// Byte classes for the copying loops: bytes that are copied as they are.
struct ByteTable {
  bool plain[256];
};

constexpr ByteTable jsonPlainBytes() {
  ByteTable t{};
  for (int c = 0x20; c < 0x80; ++c) t.plain[c] = c != '"' && c != '\\';
  return t;
}

constexpr ByteTable displayPlainBytes() {
  ByteTable t{};
  for (int c = 0x20; c < 0x7F; ++c) t.plain[c] = c != '\\';
  return t;
}

constexpr ByteTable kJsonPlain = jsonPlainBytes();
constexpr ByteTable kDisplayPlain = displayPlainBytes();

void appendJsonEscape(std::string& out, unsigned c) {
  switch (c) {
    case '"':
      out += "\\\"";
      break;
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    case '\b':
      out += "\\b";
      break;
    case '\f':
      out += "\\f";
      break;
    default:
      if (c < 0x20) {
        appendHexEscape(out, "\\u00", static_cast<unsigned char>(c));
      } else {
        out += "\\ufffd";
      }
  }
}

// Copies data to out, validating it as UTF-8 on the way: bytes that plain
// marks and valid multi-byte sequences as they are, every other byte through
// escape. With stopAtInvalid, a byte that is not part of valid UTF-8 ends the
// copy with false (part of the text appended); otherwise it is escaped too.
template <class Escape>
bool appendEscaped(std::string& out, const char* data, size_t length, const ByteTable& plain,
                   bool stopAtInvalid, Escape escape) {
  const unsigned char* p = bytesOf(data);
  const unsigned char* end = p + length;
  const unsigned char* run = p;
  while (p < end) {
    if (plain.plain[*p]) {
      ++p;
      continue;
    }
    const unsigned c = *p;
    if (c >= 0x80) {
      const size_t n = multiByteLength(p, end);
      if (n != 0) {
        p += n;
        continue;
      }
      if (stopAtInvalid) return false;
    }
    out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
    escape(out, c);
    run = ++p;
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run));
  return true;
}

enum class InvalidBytes { Fail, Replace };

// Appends data as the inside of a JSON string. At a byte that is not part of
// valid UTF-8 it returns false (having appended part of the string) when
// invalid is Fail, and writes U+FFFD in its place when invalid is Replace.
bool appendJsonStringBody(std::string& out, const char* data, size_t length, InvalidBytes invalid) {
  return appendEscaped(out, data, length, kJsonPlain, invalid == InvalidBytes::Fail,
                       appendJsonEscape);
}

// A JSON string; bytes that are not valid UTF-8 become U+FFFD.
void appendJsonString(std::string& out, const char* data, size_t length) {
  out += '"';
  appendJsonStringBody(out, data, length, InvalidBytes::Replace);
  out += '"';
}

void appendJsonString(std::string& out, const std::string& s) {
  appendJsonString(out, s.data(), s.size());
}

template <class T>
void appendNumber(std::string& out, T value) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, static_cast<size_t>(result.ptr - buffer));
}

const std::string& keyOf(const Strigi::RegisteredField* field) {
  static const std::string kNoKey;
  return field ? field->key() : kNoKey;
}

void appendJsonRecorded(std::string& out, const ValueRecorder& values, const RecordedValue& v) {
  switch (v.kind) {
    case RecordedValue::Text:
      appendJsonValue(out, values.bytes(v), v.length);
      break;
    case RecordedValue::Signed:
    case RecordedValue::Unsigned:
      appendNumber(out, v.integer);
      break;
    case RecordedValue::Real:
      if (std::isfinite(v.real)) {
        appendNumber(out, v.real);
      } else {
        out += "null";
      }
      break;
    case RecordedValue::Pair:
      out += "{\"name\": ";
      appendJsonValue(out, values.nameBytes(v), v.nameLength);
      out += ", \"value\": ";
      appendJsonValue(out, values.bytes(v), v.length);
      out += '}';
      break;
  }
}

void appendTextValue(std::string& out, const char* data, size_t length) {
  if (isValidUtf8(data, length)) {
    appendDisplayText(out, data, length);
    return;
  }
  out += '<';
  appendNumber(out, length);
  out += length == 1 ? " byte" : " bytes";
  if (const char* kind = imageKind(data, length)) {
    out += ", ";
    out += kind;
  }
  out += '>';
}

void appendTextRecorded(std::string& out, const ValueRecorder& values, const RecordedValue& v) {
  switch (v.kind) {
    case RecordedValue::Text:
      appendTextValue(out, values.bytes(v), v.length);
      break;
    case RecordedValue::Signed:
    case RecordedValue::Unsigned:
      appendNumber(out, v.integer);
      break;
    case RecordedValue::Real:
      appendNumber(out, v.real);
      break;
    case RecordedValue::Pair:
      appendTextValue(out, values.nameBytes(v), v.nameLength);
      out += " = ";
      appendTextValue(out, values.bytes(v), v.length);
      break;
  }
}

const char kBase64Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Encodes all of in (padding the last group) into out.
void base64Scalar(const unsigned char* p, size_t length, char* o) {
  size_t i = 0;
  for (; i + 3 <= length; i += 3) {
    const uint32_t v = (uint32_t{p[i]} << 16) | (uint32_t{p[i + 1]} << 8) | p[i + 2];
    o[0] = kBase64Alphabet[v >> 18];
    o[1] = kBase64Alphabet[(v >> 12) & 63];
    o[2] = kBase64Alphabet[(v >> 6) & 63];
    o[3] = kBase64Alphabet[v & 63];
    o += 4;
  }
  if (i < length) {
    const bool two = i + 1 < length;
    const uint32_t v = (uint32_t{p[i]} << 16) | (two ? uint32_t{p[i + 1]} << 8 : 0u);
    o[0] = kBase64Alphabet[v >> 18];
    o[1] = kBase64Alphabet[(v >> 12) & 63];
    o[2] = two ? kBase64Alphabet[(v >> 6) & 63] : '=';
    o[3] = '=';
  }
}

#if MP4HOST_BASE64_X86
// Vector encoders after Wojciech Muła's method: each 32-bit lane takes three
// input bytes, multiplies spread them into four 6-bit indices, and a
// 16-entry table of offsets turns each index into its character. They
// encode whole groups of three while a full vector can be loaded inside the
// input, and return the number of input bytes encoded (a multiple of 3).

__attribute__((target("ssse3"))) __m128i base64Chars128(__m128i in) {
  in = _mm_shuffle_epi8(in, _mm_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1));
  const __m128i hi =
      _mm_mulhi_epu16(_mm_and_si128(in, _mm_set1_epi32(0x0fc0fc00)), _mm_set1_epi32(0x04000040));
  const __m128i lo =
      _mm_mullo_epi16(_mm_and_si128(in, _mm_set1_epi32(0x003f03f0)), _mm_set1_epi32(0x01000010));
  const __m128i indices = _mm_or_si128(hi, lo);
  // Class of each index: 0 for a-z, 1..10 for 0-9, 11 '+', 12 '/', 13 A-Z.
  __m128i cls = _mm_subs_epu8(indices, _mm_set1_epi8(51));
  cls = _mm_or_si128(cls,
                     _mm_and_si128(_mm_cmpgt_epi8(_mm_set1_epi8(26), indices), _mm_set1_epi8(13)));
  const __m128i offsets =
      _mm_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                    '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
  return _mm_add_epi8(_mm_shuffle_epi8(offsets, cls), indices);
}

__attribute__((target("ssse3"))) size_t base64Ssse3(const unsigned char* p, size_t length,
                                                    char* o) {
  size_t i = 0;
  for (; i + 16 <= length; i += 12, o += 16) {
    const __m128i in = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), base64Chars128(in));
  }
  return i;
}

__attribute__((target("avx2"))) size_t base64Avx2(const unsigned char* p, size_t length, char* o) {
  // The first group goes through the 128-bit path: each 256-bit load starts
  // four bytes before its groups, so that both lanes hold theirs.
  size_t i = base64Ssse3(p, 16, o);
  o += 16;
  for (; i + 28 <= length; i += 24, o += 32) {
    __m256i in = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i - 4));
    in = _mm256_shuffle_epi8(
        in, _mm256_set_epi8(10, 11, 9, 10, 7, 8, 6, 7, 4, 5, 3, 4, 1, 2, 0, 1, 14, 15, 13, 14, 11,
                            12, 10, 11, 8, 9, 7, 8, 5, 6, 4, 5));
    const __m256i hi = _mm256_mulhi_epu16(_mm256_and_si256(in, _mm256_set1_epi32(0x0fc0fc00)),
                                          _mm256_set1_epi32(0x04000040));
    const __m256i lo = _mm256_mullo_epi16(_mm256_and_si256(in, _mm256_set1_epi32(0x003f03f0)),
                                          _mm256_set1_epi32(0x01000010));
    const __m256i indices = _mm256_or_si256(hi, lo);
    __m256i cls = _mm256_subs_epu8(indices, _mm256_set1_epi8(51));
    cls = _mm256_or_si256(cls, _mm256_and_si256(_mm256_cmpgt_epi8(_mm256_set1_epi8(26), indices),
                                                _mm256_set1_epi8(13)));
    const __m256i offsets =
        _mm256_setr_epi8('a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0,
                         'a' - 26, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52, '0' - 52,
                         '0' - 52, '0' - 52, '0' - 52, '0' - 52, '+' - 62, '/' - 63, 'A', 0, 0);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(o),
                        _mm256_add_epi8(_mm256_shuffle_epi8(offsets, cls), indices));
  }
  return i + base64Ssse3(p + i, length - i, o);
}
#endif

}  // namespace

bool isValidUtf8(const char* data, size_t length) {
  const unsigned char* p = bytesOf(data);
  const unsigned char* end = p + length;
  while (p < end) {
    if (end - p >= 8 && allAscii8(p)) {
      p += 8;
    } else if (*p < 0x80) {
      ++p;
    } else {
      const size_t n = multiByteLength(p, end);
      if (n == 0) return false;
      p += n;
    }
  }
  return true;
}

void appendBase64(std::string& out, const char* data, size_t length) {
  const unsigned char* p = bytesOf(data);
  const size_t start = out.size();
  out.resize(start + (length + 2) / 3 * 4);
  char* o = &out[start];
  size_t i = 0;
#if MP4HOST_BASE64_X86
  if (length >= 16 && __builtin_cpu_supports("ssse3")) {
    i = __builtin_cpu_supports("avx2") ? base64Avx2(p, length, o) : base64Ssse3(p, length, o);
    o += i / 3 * 4;
  }
#endif
  base64Scalar(p + i, length - i, o);
}

const char* imageKind(const char* data, size_t length) {
  auto startsWith = [&](const char* magic, size_t n) {
    return length >= n && std::memcmp(data, magic, n) == 0;
  };
  if (startsWith("\xFF\xD8\xFF", 3)) return "JPEG image";
  if (startsWith("\x89PNG\r\n\x1A\n", 8)) return "PNG image";
  if (startsWith("GIF87a", 6) || startsWith("GIF89a", 6)) return "GIF image";
  if (startsWith("BM", 2) && length >= 26) return "BMP image";
  return nullptr;
}

void appendJsonValue(std::string& out, const char* data, size_t length) {
  const size_t start = out.size();
  out += '"';
  if (appendJsonStringBody(out, data, length, InvalidBytes::Fail)) {
    out += '"';
    return;
  }
  out.resize(start);
  out += "{\"base64\": \"";
  appendBase64(out, data, length);
  out += "\"}";
}

void appendDisplayEscape(std::string& out, unsigned c) {
  switch (c) {
    case '\\':
      out += "\\\\";
      break;
    case '\n':
      out += "\\n";
      break;
    case '\r':
      out += "\\r";
      break;
    case '\t':
      out += "\\t";
      break;
    default:
      appendHexEscape(out, "\\x", static_cast<unsigned char>(c));
  }
}

void appendDisplayText(std::string& out, const char* data, size_t length) {
  appendEscaped(out, data, length, kDisplayPlain, false, appendDisplayEscape);
}

void appendValueJson(std::string& out, const ValueRecorder& values, const RecordedValue& v) {
  appendJsonRecorded(out, values, v);
}

void appendValueText(std::string& out, const ValueRecorder& values, const RecordedValue& v) {
  appendTextRecorded(out, values, v);
}

void ReportFormatter::appendJson(std::string& out, const std::string& path,
                                 const ValueRecorder& values) {
  const std::vector<RecordedValue>& all = values.values();
  // Chain the values of each key in report order. A file has few distinct
  // keys (at most the fields registered), so a linear search is cheap.
  m_keys.clear();
  m_next.assign(all.size(), SIZE_MAX);
  for (size_t i = 0; i < all.size(); ++i) {
    Key* key = nullptr;
    for (Key& k : m_keys) {
      if (k.field == all[i].field) {
        key = &k;
        break;
      }
    }
    if (key) {
      m_next[key->last] = i;
      key->last = i;
    } else {
      m_keys.push_back(Key{all[i].field, i, i});
    }
  }

  out += "{\"path\": ";
  appendJsonValue(out, path.data(), path.size());
  out += ", \"fields\": {";
  for (size_t k = 0; k < m_keys.size(); ++k) {
    if (k != 0) out += ", ";
    out += keyPrefix(m_keys[k].field);
    for (size_t i = m_keys[k].first; i != SIZE_MAX; i = m_next[i]) {
      if (i != m_keys[k].first) out += ", ";
      appendJsonRecorded(out, values, all[i]);
    }
    out += ']';
  }
  out += "}}\n";
}

const std::string& ReportFormatter::keyPrefix(const Strigi::RegisteredField* field) {
  std::string& prefix = m_keyPrefixes[field];
  if (prefix.empty()) {
    appendJsonString(prefix, keyOf(field));
    prefix += ": [";
  }
  return prefix;
}

void ReportFormatter::appendJsonError(std::string& out, const std::string& path,
                                      const std::string& error) {
  out += "{\"path\": ";
  appendJsonValue(out, path.data(), path.size());
  out += ", \"error\": ";
  appendJsonString(out, error);
  out += "}\n";
}

void ReportFormatter::appendText(std::string& out, const std::string& path,
                                 const ValueRecorder& values) {
  appendDisplayText(out, path.data(), path.size());
  out += '\n';
  for (const RecordedValue& v : values.values()) {
    const std::string& key = keyOf(v.field);
    appendDisplayText(out, key.data(), key.size());
    out += ": ";
    appendTextRecorded(out, values, v);
    out += '\n';
  }
}

}  // namespace mp4host
