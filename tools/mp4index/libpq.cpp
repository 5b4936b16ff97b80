#include "libpq.h"

#include <dlfcn.h>

#include <mutex>

#include "store.h"

namespace mp4index {

const Libpq& libpq() {
  static Libpq api;
  static std::string error;
  static std::once_flag once;
  std::call_once(once, [] {
    void* library = dlopen("libpq.so.5", RTLD_NOW | RTLD_LOCAL);
    if (!library) {
      error = std::string(
                  "cannot load libpq, the PostgreSQL client library (Debian package "
                  "libpq5): ") +
              dlerror();
      return;
    }
#define MP4INDEX_LIBPQ_LOAD(name)                                        \
  api.name = reinterpret_cast<decltype(&::name)>(dlsym(library, #name)); \
  if (!api.name) {                                                       \
    error = "libpq has no function " #name;                              \
    return;                                                              \
  }
    MP4INDEX_LIBPQ_FUNCTIONS(MP4INDEX_LIBPQ_LOAD)
#undef MP4INDEX_LIBPQ_LOAD
  });
  if (!error.empty()) throw DatabaseError(error);
  return api;
}

}  // namespace mp4index
