// Preloaded into mp4meta: a system at its least helpful. Directory entries
// come without their type (DT_UNKNOWN), as XFS, NFS and others return them,
// and no file can be mapped, as on file systems that do not support it.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <sys/mman.h>

namespace {

template <typename Entry>
Entry* untyped(const char* name, DIR* dir) {
  using Read = Entry* (*)(DIR*);
  Entry* entry = reinterpret_cast<Read>(dlsym(RTLD_NEXT, name))(dir);
  if (entry) entry->d_type = DT_UNKNOWN;
  return entry;
}

void* anonymousOnly(const char* name, void* addr, size_t length, int prot, int flags, int fd,
                    off_t offset) {
  if (fd >= 0) {
    errno = ENODEV;
    return MAP_FAILED;
  }
  using Map = void* (*)(void*, size_t, int, int, int, off_t);
  return reinterpret_cast<Map>(dlsym(RTLD_NEXT, name))(addr, length, prot, flags, fd, offset);
}

}  // namespace

#define EXPORTED extern "C" __attribute__((visibility("default")))
EXPORTED dirent* readdir(DIR* dir) { return untyped<dirent>("readdir", dir); }
EXPORTED dirent64* readdir64(DIR* dir) { return untyped<dirent64>("readdir64", dir); }
EXPORTED void* mmap(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return anonymousOnly("mmap", addr, length, prot, flags, fd, offset);
}
EXPORTED void* mmap64(void* addr, size_t length, int prot, int flags, int fd, off_t offset) {
  return anonymousOnly("mmap64", addr, length, prot, flags, fd, offset);
}
