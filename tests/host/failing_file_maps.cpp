// Preloaded into mp4meta: no file can be mapped, as on file systems that
// do not support it.
#include <dlfcn.h>
#include <errno.h>
#include <sys/mman.h>

namespace {

void* mapAnonymousOnly(const char* name, void* addr, size_t length, int prot, int flags, int fd,
                       off_t offset) {
  if (fd >= 0) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  using Map = void* (*)(void*, size_t, int, int, int, off_t);
  return reinterpret_cast<Map>(dlsym(RTLD_NEXT, name))(addr, length, prot, flags, fd, offset);
}

}  // namespace

extern "C" __attribute__((visibility("default"))) void* mmap(void* addr, size_t length, int prot,
                                                             int flags, int fd, off_t offset) {
  return mapAnonymousOnly("mmap", addr, length, prot, flags, fd, offset);
}
extern "C" __attribute__((visibility("default"))) void* mmap64(void* addr, size_t length, int prot,
                                                               int flags, int fd, off_t offset) {
  return mapAnonymousOnly("mmap64", addr, length, prot, flags, fd, offset);
}
