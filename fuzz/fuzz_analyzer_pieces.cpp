// Fuzz target: the analyzer over a stream that hands out every read in a
// buffer of its own, of exactly the size delivered.
//
// Input: a 4-byte control header, then the stream's bytes. Control byte 0
// picks the stream (P is the big-endian value of bytes 1-3). Its low two
// bits:
//   0  size -1 until the end, as a decompressor or archive member;
//   1  size known from the start, as a file;
//   2  as 0, but any read that would pass byte P fails with Error;
//   3  a file larger than the input: (P >> 16) + 1 times 128 MiB of zeros
//      inserted before stream byte P & 0xFFFF, size known, so that boxes
//      beyond 2 GiB are reached.
// Bit 2: reset() accepts any position, as on a file; otherwise only
// positions within the last read. Bit 3: the size stays -1 until the end
// whatever the kind. The other bits are ignored. A shorter input is padded
// with zeros to the header.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "analyzer_harness.h"
#include "piece_stream.h"

namespace {

constexpr size_t kControlLength = 4;
constexpr int64_t kHoleUnit = int64_t{1} << 27;

mp4fuzz::PieceStream::Options optionsFor(const uint8_t* control) {
  const uint32_t p = (uint32_t{control[1]} << 16) | (uint32_t{control[2]} << 8) | control[3];
  mp4fuzz::PieceStream::Options options;
  switch (control[0] & 3) {
    case 0:
      break;
    case 1:
      options.sizeKnown = true;
      break;
    case 2:
      options.failAfter = p;
      break;
    case 3:
      options.sizeKnown = true;
      options.holeAt = p & 0xFFFF;
      options.holeLength = ((p >> 16) + 1) * kHoleUnit;
      break;
  }
  options.seekable = (control[0] & 4) != 0;
  if (control[0] & 8) options.sizeKnown = false;
  return options;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint8_t control[kControlLength] = {};
  std::memcpy(control, data, size < kControlLength ? size : kControlLength);
  const uint8_t* const bytes = size < kControlLength ? data + size : data + kControlLength;
  const size_t length = size < kControlLength ? 0 : size - kControlLength;
  const mp4fuzz::PieceStream::Options options = optionsFor(control);
  mp4fuzz::analyzeTwice(
      [&] { return std::make_unique<mp4fuzz::PieceStream>(bytes, length, options); });
  return 0;
}
