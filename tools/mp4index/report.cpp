#include "report.h"

#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <cstring>

namespace mp4index {

namespace {

constexpr uint8_t kBlobFlag = 0x08;

void appendVarint(std::string& out, uint64_t n) {
  while (n >= 0x80) {
    out += static_cast<char>((n & 0x7f) | 0x80);
    n >>= 7;
  }
  out += static_cast<char>(n);
}

void appendBytes(std::string& out, std::string_view bytes) {
  appendVarint(out, bytes.size());
  out.append(bytes);
}

}  // namespace

void appendPacked(std::string& out, const PackedValue& value) {
  out += static_cast<char>(value.kind | (value.inBlob ? kBlobFlag : 0));
  appendVarint(out, static_cast<uint64_t>(value.key));
  switch (value.kind) {
    case PackedValue::Integer:
      // Zigzag: small negative numbers stay short.
      appendVarint(out, (static_cast<uint64_t>(value.integer) << 1) ^
                            static_cast<uint64_t>(value.integer >> 63));
      return;
    case PackedValue::Real: {
      uint64_t bits;
      std::memcpy(&bits, &value.real, sizeof bits);
      appendVarint(out, bits);
      return;
    }
    case PackedValue::Pair:
      appendBytes(out, value.name);
      [[fallthrough]];
    case PackedValue::Text:
      if (value.inBlob) {
        appendVarint(out, static_cast<uint64_t>(value.integer));
      } else {
        appendBytes(out, value.bytes);
      }
      return;
  }
}

bool PackedReader::fail() {
  m_damaged = true;
  m_rest = {};
  return false;
}

bool PackedReader::varint(uint64_t* out) {
  uint64_t n = 0;
  for (int shift = 0; shift < 64; shift += 7) {
    if (m_rest.empty()) return false;
    const uint8_t byte = static_cast<uint8_t>(m_rest.front());
    m_rest.remove_prefix(1);
    n |= uint64_t{byte & 0x7fu} << shift;
    if ((byte & 0x80) == 0) {
      *out = n;
      return true;
    }
  }
  return false;
}

bool PackedReader::bytes(std::string_view* out) {
  uint64_t length;
  if (!varint(&length) || length > m_rest.size()) return false;
  *out = m_rest.substr(0, length);
  m_rest.remove_prefix(length);
  return true;
}

bool PackedReader::next(PackedValue* value) {
  if (m_rest.empty()) return false;
  const uint8_t tag = static_cast<uint8_t>(m_rest.front());
  m_rest.remove_prefix(1);
  *value = PackedValue();
  value->kind = static_cast<PackedValue::Kind>(tag & ~kBlobFlag);
  value->inBlob = (tag & kBlobFlag) != 0;
  uint64_t n;
  if (value->kind > PackedValue::Pair || !varint(&n)) return fail();
  value->key = static_cast<int64_t>(n);
  switch (value->kind) {
    case PackedValue::Integer:
      if (value->inBlob || !varint(&n)) return fail();
      value->integer = static_cast<int64_t>((n >> 1) ^ (~(n & 1) + 1));
      return true;
    case PackedValue::Real:
      if (value->inBlob || !varint(&n)) return fail();
      std::memcpy(&value->real, &n, sizeof n);
      return true;
    case PackedValue::Pair:
      if (!bytes(&value->name)) return fail();
      [[fallthrough]];
    case PackedValue::Text:
      if (value->inBlob) {
        if (!varint(&n)) return fail();
        value->integer = static_cast<int64_t>(n);
        return true;
      }
      if (!bytes(&value->bytes)) return fail();
      return true;
  }
  return fail();
}

int64_t wordRow(int64_t file, int64_t key, int64_t ordinal) {
  if (file < 1 || file > kMaxFile || key < 1 || key > kMaxKey || ordinal < 0 ||
      ordinal > kMaxOrdinal) {
    return 0;
  }
  return file << kFileShift | key << kKeyShift | ordinal;
}

void packReport(const mp4host::ValueRecorder& values,
                const std::function<int64_t(const std::string& key)>& keyId,
                const std::function<int64_t(std::string_view bytes)>& blobId, std::string& out) {
  static const std::string kNone;
  const auto setBytes = [&](PackedValue& v, const char* data, size_t length) {
    if (mp4host::isValidUtf8(data, length)) {
      v.bytes = std::string_view(data, length);
    } else {
      v.inBlob = true;
      v.integer = blobId(std::string_view(data, length));
    }
  };
  for (const mp4host::RecordedValue& r : values.values()) {
    PackedValue v;
    v.key = keyId(r.field ? r.field->key() : kNone);
    switch (r.kind) {
      case mp4host::RecordedValue::Text:
        setBytes(v, values.bytes(r), r.length);
        break;
      case mp4host::RecordedValue::Signed:
      case mp4host::RecordedValue::Unsigned:
        v.kind = PackedValue::Integer;
        v.integer = r.integer;
        break;
      case mp4host::RecordedValue::Real:
        v.kind = PackedValue::Real;
        v.real = r.real;
        break;
      case mp4host::RecordedValue::Pair:
        v.kind = PackedValue::Pair;
        v.name = std::string_view(values.nameBytes(r), r.nameLength);
        setBytes(v, values.bytes(r), r.length);
        break;
    }
    appendPacked(out, v);
  }
}

bool replayReport(std::string_view packed,
                  const std::function<const Strigi::RegisteredField*(int64_t key)>& fieldOf,
                  const std::function<bool(int64_t blob, std::string_view* bytes)>& blobBytes,
                  mp4host::ValueRecorder& values, const std::function<bool(int64_t key)>& wanted) {
  PackedReader reader(packed);
  PackedValue v;
  while (reader.next(&v)) {
    if (wanted && !wanted(v.key)) continue;
    const Strigi::RegisteredField* field = fieldOf(v.key);
    if (!field) return false;
    std::string_view bytes = v.bytes;
    if (v.inBlob && !blobBytes(v.integer, &bytes)) return false;
    switch (v.kind) {
      case PackedValue::Text:
        values.recordText(field, bytes.data(), bytes.size());
        break;
      case PackedValue::Integer:
        values.recordInteger(field, v.integer);
        break;
      case PackedValue::Real:
        values.recordReal(field, v.real);
        break;
      case PackedValue::Pair:
        values.recordPair(field, v.name.data(), v.name.size(), bytes.data(), bytes.size());
        break;
    }
  }
  return !reader.damaged();
}

bool hasKey(std::string_view packed, int64_t key) {
  PackedValue v;
  for (PackedReader values(packed); values.next(&v);) {
    if (v.key == key) return true;
  }
  return false;
}

}  // namespace mp4index
