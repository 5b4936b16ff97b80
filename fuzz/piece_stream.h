// An input stream that keeps to the letter of the Strigi stream contract and
// to nothing more, so that an analyzer relying on anything else fails under
// AddressSanitizer.
#ifndef MP4META_FUZZ_PIECE_STREAM_H
#define MP4META_FUZZ_PIECE_STREAM_H

#include <strigi/streambase.h>

#include <cstddef>
#include <cstdint>

namespace mp4fuzz {

class PieceStream : public Strigi::InputStream {
 public:
  struct Options {
    // size() is the total from the start, as for a file; otherwise it is -1
    // until a read reaches the end, as for a decompressor.
    bool sizeKnown = false;
    // Reads that would deliver bytes beyond this position fail with Error
    // (-1: never).
    int64_t failAfter = -1;
    // The stream is the input with holeLength zero bytes inserted before
    // input byte holeAt: a sparse stream of any size.
    size_t holeAt = 0;
    int64_t holeLength = 0;
    // reset() moves anywhere within the stream, as on a file; otherwise only
    // within the bytes of the last read.
    bool seekable = false;
  };

  // Borrows the input for the stream's lifetime.
  PieceStream(const uint8_t* input, size_t length, const Options& options);
  ~PieceStream() override;
  PieceStream(const PieceStream&) = delete;
  PieceStream& operator=(const PieceStream&) = delete;

  // Delivers the fewest bytes that min allows (at least one, unless max is
  // 0), in a buffer of exactly that size allocated for this read alone.
  int32_t read(const char*& start, int32_t min, int32_t max) override;
  // Succeeds within the bytes of the last read, which stay valid; a move
  // anywhere else (seekable streams only) releases them.
  int64_t reset(int64_t pos) override;

 private:
  void fill(char* out, int64_t from, int64_t count) const;
  bool allocate(int64_t count);
  void release();

  const uint8_t* const input_;
  const size_t inputLength_;
  const Options options_;
  const int64_t total_;
  // The last read's bytes: a heap array, or for large reads a mapping whose
  // pages past the end are inaccessible, so that untouched zeros cost no
  // memory.
  char* buffer_ = nullptr;
  void* mapping_ = nullptr;
  size_t mappingLength_ = 0;
  int64_t windowStart_ = 0;
  int64_t windowEnd_ = 0;
};

}  // namespace mp4fuzz

#endif
