#include "packed_report.h"

#include <cstring>

namespace mp4index {

namespace {

// The kind byte: the kind, and this flag for bytes held in a blobs row.
constexpr uint8_t kInBlob = 0x80;

// Unsigned LEB128: seven bits a byte, low bits first.
void appendNumber(std::string& out, uint64_t n) {
  while (n >= 0x80) {
    out += static_cast<char>(0x80 | (n & 0x7F));
    n >>= 7;
  }
  out += static_cast<char>(n);
}

void appendBytes(std::string& out, std::string_view bytes) {
  appendNumber(out, bytes.size());
  out.append(bytes);
}

}  // namespace

void appendPacked(std::string& out, const PackedValue& value) {
  const bool inBlob =
      (value.kind == PackedValue::Text || value.kind == PackedValue::Pair) && value.blob != 0;
  out += static_cast<char>(value.kind | (inBlob ? kInBlob : 0));
  appendBytes(out, value.key);
  switch (value.kind) {
    case PackedValue::Integer:
      appendNumber(out, static_cast<uint64_t>(value.integer));
      break;
    case PackedValue::Real: {
      char bits[sizeof(double)];
      std::memcpy(bits, &value.real, sizeof bits);
      out.append(bits, sizeof bits);
      break;
    }
    case PackedValue::Pair:
      appendBytes(out, value.name);
      [[fallthrough]];
    case PackedValue::Text:
      if (inBlob) {
        appendNumber(out, static_cast<uint64_t>(value.blob));
      } else {
        appendBytes(out, value.bytes);
      }
      break;
  }
}

bool PackedReader::number(uint64_t* value) {
  uint64_t n = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (m_rest.empty()) return false;
    const uint8_t byte = static_cast<uint8_t>(m_rest.front());
    m_rest.remove_prefix(1);
    n |= uint64_t{byte & 0x7Fu} << shift;
    if (byte < 0x80) {
      *value = n;
      return true;
    }
  }
  return false;
}

bool PackedReader::bytes(std::string_view* value) {
  uint64_t length = 0;
  if (!number(&length) || length > m_rest.size()) return false;
  *value = m_rest.substr(0, length);
  m_rest.remove_prefix(length);
  return true;
}

bool PackedReader::next(PackedValue* value) {
  if (m_rest.empty() || m_damaged) return false;
  const uint8_t kind = static_cast<uint8_t>(m_rest.front());
  m_rest.remove_prefix(1);
  *value = PackedValue();
  value->kind = static_cast<PackedValue::Kind>(kind & ~kInBlob);
  bool ok = value->kind <= PackedValue::Pair && bytes(&value->key);
  uint64_t n = 0;
  if (ok) {
    switch (value->kind) {
      case PackedValue::Integer:
        ok = (kind & kInBlob) == 0 && number(&n);
        value->integer = static_cast<int64_t>(n);
        break;
      case PackedValue::Real:
        ok = (kind & kInBlob) == 0 && m_rest.size() >= sizeof(double);
        if (ok) {
          std::memcpy(&value->real, m_rest.data(), sizeof(double));
          m_rest.remove_prefix(sizeof(double));
        }
        break;
      case PackedValue::Pair:
        ok = bytes(&value->name);
        if (!ok) break;
        [[fallthrough]];
      case PackedValue::Text:
        if (kind & kInBlob) {
          ok = number(&n) && n != 0 && n <= INT64_MAX;
          value->blob = static_cast<int64_t>(n);
        } else {
          ok = bytes(&value->bytes);
        }
        break;
    }
  }
  m_damaged = !ok;
  return ok;
}

}  // namespace mp4index
