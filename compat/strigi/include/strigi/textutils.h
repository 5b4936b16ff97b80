// Readers of big-endian integers from raw bytes.
#ifndef STRIGI_TEXTUTILS_H
#define STRIGI_TEXTUTILS_H

#include <strigi/strigiconfig.h>

namespace Strigi {

STREAMS_EXPORT int16_t readBigEndianInt16(const char* c);
STREAMS_EXPORT uint16_t readBigEndianUInt16(const char* c);
STREAMS_EXPORT int32_t readBigEndianInt32(const char* c);
STREAMS_EXPORT uint32_t readBigEndianUInt32(const char* c);
STREAMS_EXPORT int64_t readBigEndianInt64(const char* c);
STREAMS_EXPORT uint64_t readBigEndianUInt64(const char* c);

STREAMS_EXPORT int16_t readBigEndianInt16(const unsigned char* c);
STREAMS_EXPORT uint16_t readBigEndianUInt16(const unsigned char* c);
STREAMS_EXPORT int32_t readBigEndianInt32(const unsigned char* c);
STREAMS_EXPORT uint32_t readBigEndianUInt32(const unsigned char* c);
STREAMS_EXPORT int64_t readBigEndianInt64(const unsigned char* c);
STREAMS_EXPORT uint64_t readBigEndianUInt64(const unsigned char* c);

}  // namespace Strigi

#endif
