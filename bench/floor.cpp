// The least I/O that finding an MP4 file's metadata takes, as a yardstick for
// the analysers: for each file of a list, open it, read the header of each
// top-level box and the whole movie box, close it. Two other ways of getting
// at the same bytes can be measured with it:
//
//   floor [--mode=pread|mmap|readall] LIST
//
//   pread    (default) pread of each top-level header and of the movie box
//   mmap     map the whole file, walk the headers in the mapping and touch
//            every page of the movie box
//   readall  read every byte of the file into one reused buffer (what a
//            stream that buffers all it passes does), then walk it
//
// LIST holds one path per line (- for standard input). Prints, per run, the
// number of files, of movie boxes and a checksum of their bytes, so that no
// work can be left out.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

namespace {

enum class Mode { Pread, Mmap, ReadAll };

uint64_t be32(const unsigned char* p) {
  return (uint64_t{p[0]} << 24) | (uint64_t{p[1]} << 16) | (uint64_t{p[2]} << 8) | p[3];
}

uint64_t be64(const unsigned char* p) { return (be32(p) << 32) | be32(p + 4); }

struct Totals {
  uint64_t files = 0;
  uint64_t movies = 0;
  uint64_t checksum = 0;
};

// One byte per 4 KiB page and the last byte: enough to fault in every page
// of a mapping, and a value that depends on the bytes read.
uint64_t touch(const unsigned char* p, uint64_t length) {
  uint64_t sum = length;
  for (uint64_t i = 0; i < length; i += 4096) sum = sum * 31 + p[i];
  if (length > 0) sum = sum * 31 + p[length - 1];
  return sum;
}

// Decodes the top-level header at p (avail bytes there); returns the box
// size, 0 when the walk ends.
uint64_t boxSize(const unsigned char* p, uint64_t avail, uint64_t offset, uint64_t fileSize) {
  if (avail < 8) return 0;
  uint64_t size = be32(p);
  if (size == 1) {
    if (avail < 16) return 0;
    size = be64(p + 8);
  } else if (size == 0) {
    // To the end of the file; the pread walk does not know where that is.
    if (fileSize == UINT64_MAX) return 0;
    size = fileSize - offset;
  }
  if (size < 8 || size > fileSize - offset) return 0;
  return size;
}

bool isMoov(const unsigned char* p) { return std::memcmp(p + 4, "moov", 4) == 0; }

void walkPread(int fd, uint64_t fileSize, std::vector<unsigned char>& buffer, Totals& t) {
  unsigned char header[16];
  uint64_t offset = 0;
  while (offset <= fileSize - 8) {
    const ssize_t n = pread(fd, header, sizeof header, static_cast<off_t>(offset));
    if (n < 8) return;
    const uint64_t size = boxSize(header, static_cast<uint64_t>(n), offset, fileSize);
    if (size == 0) return;
    if (isMoov(header)) {
      if (buffer.size() < size) buffer.resize(size);
      if (pread(fd, buffer.data(), size, static_cast<off_t>(offset)) !=
          static_cast<ssize_t>(size)) {
        return;
      }
      ++t.movies;
      t.checksum += touch(buffer.data(), size);
    }
    offset += size;
  }
}

void walkMemory(const unsigned char* data, uint64_t fileSize, Totals& t) {
  uint64_t offset = 0;
  while (offset + 8 <= fileSize) {
    const uint64_t size = boxSize(data + offset, fileSize - offset, offset, fileSize);
    if (size == 0) return;
    if (isMoov(data + offset)) {
      ++t.movies;
      t.checksum += touch(data + offset, size);
    }
    offset += size;
  }
}

void measure(const std::string& path, Mode mode, std::vector<unsigned char>& buffer, Totals& t) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    std::perror(path.c_str());
    return;
  }
  ++t.files;
  if (mode == Mode::Pread) {
    // The walk ends where a header can no longer be read: no fstat.
    walkPread(fd, UINT64_MAX, buffer, t);
  } else {
    struct stat st;
    if (fstat(fd, &st) == 0 && st.st_size > 0) {
      const uint64_t size = static_cast<uint64_t>(st.st_size);
      if (mode == Mode::Mmap) {
        void* p = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
          walkMemory(static_cast<const unsigned char*>(p), size, t);
          munmap(p, size);
        }
      } else {
        if (buffer.size() < size) buffer.resize(size);
        uint64_t done = 0;
        while (done < size) {
          const ssize_t n = pread(fd, buffer.data() + done, size - done, static_cast<off_t>(done));
          if (n <= 0) break;
          done += static_cast<uint64_t>(n);
        }
        walkMemory(buffer.data(), done, t);
      }
    }
  }
  close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  Mode mode = Mode::Pread;
  const char* list = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--mode=pread") == 0) {
      mode = Mode::Pread;
    } else if (std::strcmp(argv[i], "--mode=mmap") == 0) {
      mode = Mode::Mmap;
    } else if (std::strcmp(argv[i], "--mode=readall") == 0) {
      mode = Mode::ReadAll;
    } else if (!list) {
      list = argv[i];
    } else {
      list = nullptr;
      break;
    }
  }
  if (!list) {
    std::fprintf(stderr, "usage: floor [--mode=pread|mmap|readall] LIST\n");
    return 2;
  }
  std::ifstream file;
  std::istream* in = &std::cin;
  if (std::strcmp(list, "-") != 0) {
    file.open(list);
    if (!file) {
      std::perror(list);
      return 1;
    }
    in = &file;
  }
  std::vector<unsigned char> buffer;
  Totals t;
  std::string path;
  while (std::getline(*in, path)) {
    if (!path.empty()) measure(path, mode, buffer, t);
  }
  std::printf("%" PRIu64 " files, %" PRIu64 " movie boxes, checksum %" PRIx64 "\n", t.files,
              t.movies, t.checksum);
  return 0;
}
