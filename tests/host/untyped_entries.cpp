// Preloaded into mp4meta: directory entries come without their type
// (DT_UNKNOWN), as XFS, NFS and other file systems return them.
#include <dirent.h>
#include <dlfcn.h>

namespace {

template <typename Entry>
Entry* untyped(const char* name, DIR* dir) {
  using Read = Entry* (*)(DIR*);
  Entry* entry = reinterpret_cast<Read>(dlsym(RTLD_NEXT, name))(dir);
  if (entry) entry->d_type = DT_UNKNOWN;
  return entry;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) dirent* readdir(DIR* dir) {
  return untyped<dirent>("readdir", dir);
}
extern "C" __attribute__((visibility("default"))) dirent64* readdir64(DIR* dir) {
  return untyped<dirent64>("readdir64", dir);
}
