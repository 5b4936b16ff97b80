// What placing a fragmented movie's read bytes between its mapped media data
// costs, in the ways a stream could do it, against plain reads:
//
//   g++ -O2 -o fragment_mappings bench/fragment_mappings.cpp
//   fragment_mappings FILE     (FILE of some 100 MB or more, cached)
//
// Treats FILE as fragments of 330 KB, each starting with 3,000 bytes to be
// read; prints microseconds per pass over the file, mean of 20 passes.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
int main(int argc, char** argv) {
  if (argc != 2) return 2;
  int fd = open(argv[1], O_RDONLY);
  off_t size = lseek(fd, 0, SEEK_END);
  const long frag = 330 * 1024 / 4096 * 4096, n = size / frag - 2;
  char buf[8192];
  size_t span = (size_t)size + (1 << 20);
  char* space =
      (char*)mmap(nullptr, span, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  auto us = [&](auto a, auto b) {
    return std::chrono::duration<double, std::micro>(b - a).count() / 20;
  };
  auto t0 = std::chrono::steady_clock::now();
  for (int r = 0; r < 20; ++r) {
    // An anonymous area; per fragment the media-data pages mapped, the rest read.
    mmap(space, span, PROT_READ | PROT_WRITE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    for (long i = 0; i < n; ++i) {
      mmap(space + i * frag + 4096, frag - 4096, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd,
           i * frag + 4096);
      pread(fd, space + i * frag, 3000, i * frag);
    }
  }
  auto t1 = std::chrono::steady_clock::now();
  for (int r = 0; r < 20; ++r) {
    // The whole file mapped private and writable; reads copy-on-write into it.
    mmap(space, (size_t)size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_FIXED, fd, 0);
    for (long i = 0; i < n; ++i) pread(fd, space + i * frag, 3000, i * frag);
  }
  auto t2 = std::chrono::steady_clock::now();
  for (int r = 0; r < 20; ++r)
    for (long i = 0; i < n; ++i) pread(fd, buf, 3000, i * frag);
  auto t3 = std::chrono::steady_clock::now();
  for (int r = 0; r < 20; ++r) {
    mmap(space, (size_t)size, PROT_READ, MAP_PRIVATE | MAP_FIXED, fd, 0);
    for (long i = 0; i < n; ++i) {
      mmap(space + i * frag, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED,
           -1, 0);
      pread(fd, space + i * frag, 3000, i * frag);
    }
  }
  auto t4 = std::chrono::steady_clock::now();
  printf("b' anon per frag over whole map=%.0f us\n", us(t3, t4));
  printf("n=%ld  b(map per frag)=%.0f us  c(cow)=%.0f us  pread only=%.0f us\n", n, us(t0, t1),
         us(t1, t2), us(t2, t3));
}
