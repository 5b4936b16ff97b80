#include <strigi/textutils.h>

namespace {

template <class U>
U readBigEndian(const unsigned char* c) {
  U value = 0;
  for (unsigned i = 0; i < sizeof(U); ++i) value = static_cast<U>((value << 8) | c[i]);
  return value;
}

const unsigned char* bytes(const char* c) { return reinterpret_cast<const unsigned char*>(c); }

}  // namespace

namespace Strigi {

int16_t readBigEndianInt16(const char* c) { return readBigEndianInt16(bytes(c)); }
uint16_t readBigEndianUInt16(const char* c) { return readBigEndianUInt16(bytes(c)); }
int32_t readBigEndianInt32(const char* c) { return readBigEndianInt32(bytes(c)); }
uint32_t readBigEndianUInt32(const char* c) { return readBigEndianUInt32(bytes(c)); }
int64_t readBigEndianInt64(const char* c) { return readBigEndianInt64(bytes(c)); }
uint64_t readBigEndianUInt64(const char* c) { return readBigEndianUInt64(bytes(c)); }

int16_t readBigEndianInt16(const unsigned char* c) {
  return static_cast<int16_t>(readBigEndian<uint16_t>(c));
}
uint16_t readBigEndianUInt16(const unsigned char* c) { return readBigEndian<uint16_t>(c); }
int32_t readBigEndianInt32(const unsigned char* c) {
  return static_cast<int32_t>(readBigEndian<uint32_t>(c));
}
uint32_t readBigEndianUInt32(const unsigned char* c) { return readBigEndian<uint32_t>(c); }
int64_t readBigEndianInt64(const unsigned char* c) {
  return static_cast<int64_t>(readBigEndian<uint64_t>(c));
}
uint64_t readBigEndianUInt64(const unsigned char* c) { return readBigEndian<uint64_t>(c); }

}  // namespace Strigi
