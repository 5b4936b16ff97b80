// Fuzz target: the host's file stream under the read and reset sequences
// that analyzers make. The input is a file (its size, and bytes written at
// its start, the rest a hole) and a list of requests; every byte handed out
// must be the file's, every count and position must keep the stream
// contract, and the stream that maps must hand out what the one that reads
// every byte hands out.
#include <mp4host/file_stream.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

uint32_t take32(const uint8_t*& p, const uint8_t* end) {
  uint32_t v = 0;
  for (int i = 0; i < 4 && p < end; ++i) v = v << 8 | *p++;
  return v;
}

void check(bool ok, int line = __builtin_LINE()) {
  if (!ok) {
    std::fprintf(stderr, "check failed at line %d\n", line);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const uint8_t* p = data;
  const uint8_t* const end = data + size;
  // Up to 4 MiB, with up to 64 KiB of content from the input at its start.
  const int64_t fileSize = take32(p, end) % (int64_t{4} << 20);
  const size_t contentLength = std::min<size_t>(take32(p, end) % 65536, end - p);
  std::string file(static_cast<size_t>(std::min<int64_t>(fileSize, 65536)), '\0');
  std::memcpy(file.data(), p, std::min(contentLength, file.size()));
  p += contentLength;

  const int fd = memfd_create("fuzz_file_stream", MFD_CLOEXEC);
  check(fd >= 0);
  check(ftruncate(fd, fileSize) == 0);
  check(pwrite(fd, file.data(), file.size(), 0) == static_cast<ssize_t>(file.size()));

  mp4host::FileInputStream mapped, plain;
  plain.setMapping(false);
  mapped.open(fd, fileSize);
  plain.open(fd, fileSize);
  static const char zeros[65536] = {};
  for (int ops = 0; ops < 64 && end - p >= 5; ++ops) {
    const uint8_t op = *p++;
    const uint32_t arg = take32(p, end);
    if (op & 1) {
      // A reset anywhere (often 0, as the intake makes them).
      const int64_t pos = op & 2 ? 0 : static_cast<int64_t>(arg) % (fileSize + 2) - 1;
      const int64_t a = mapped.reset(pos), b = plain.reset(pos);
      check(a == b && a == mapped.position());
      check(pos < 0 || pos > fileSize ? a != pos : a == pos);
      continue;
    }
    const int32_t min = static_cast<int32_t>(arg & 0x7fffff);
    const int32_t max = op & 2 ? min : (op & 4 ? -1 : static_cast<int32_t>(min + (op >> 3) * 4096));
    const int64_t from = mapped.position();
    const char* a = nullptr;
    const char* b = nullptr;
    const int32_t n = mapped.read(a, min, max);
    const int32_t m = plain.read(b, min, max);
    const int64_t left = fileSize - from;
    if (left <= 0) {
      check(n == -1 && m == -1);
      continue;
    }
    check(n >= std::min<int64_t>(min, left) && n <= left);
    check(max < min || n <= max);
    check(m >= std::min<int64_t>(min, left) && m <= left);
    check(mapped.position() == from + n && plain.position() == from + m);
    const int64_t common = std::min(n, m);
    check(std::memcmp(a, b, static_cast<size_t>(common)) == 0);
    const int64_t inContent =
        std::clamp<int64_t>(static_cast<int64_t>(file.size()) - from, 0, common);
    check(std::memcmp(a, file.data() + std::min<int64_t>(from, file.size()),
                      static_cast<size_t>(inContent)) == 0);
    for (int64_t i = inContent; i < common; i += sizeof zeros) {
      const size_t chunk = static_cast<size_t>(std::min<int64_t>(sizeof zeros, common - i));
      check(std::memcmp(a + i, zeros, chunk) == 0);
    }
    // Both go on from the same place.
    mapped.reset(from);
    plain.reset(from);
  }
  mapped.close();
  plain.close();
  close(fd);
  return 0;
}
