// Drives the MP4 analyzer the way a Strigi host does, for the fuzz targets
// and their replay main, and aborts when the analyzer breaks its contract
// with the host.
#ifndef MP4META_FUZZ_ANALYZER_HARNESS_H
#define MP4META_FUZZ_ANALYZER_HARNESS_H

#include <strigi/streambase.h>

#include <functional>
#include <memory>

namespace mp4fuzz {

using StreamMaker = std::function<std::unique_ptr<Strigi::InputStream>()>;

// Gives one analyzer two fresh streams from makeStream in turn, as a host
// reuses its analyzers. REQUIRES: makeStream gives streams of the same bytes
// at position 0. Aborts unless each call returns the stream it was given at
// position 0, every value goes to a field of the register, at most one mime
// type is reported and only as the last value, and both streams give the
// same values.
void analyzeTwice(const StreamMaker& makeStream);

// Writes "fuzz check failed: what" where crash reports go, then aborts.
[[noreturn]] void fail(const char* what);

}  // namespace mp4fuzz

#endif
