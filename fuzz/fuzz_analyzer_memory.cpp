// Fuzz target: the analyzer over the input as a memory stream, the stream a
// host uses for data it already holds.
#include <strigi/stringstream.h>

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>

#include "analyzer_harness.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > static_cast<size_t>(std::numeric_limits<int32_t>::max())) return 0;
  // The stream copies the input into an array of exactly its size.
  mp4fuzz::analyzeTwice([&] {
    return std::make_unique<Strigi::StringInputStream>(reinterpret_cast<const char*>(data),
                                                       static_cast<int32_t>(size), true);
  });
  return 0;
}
