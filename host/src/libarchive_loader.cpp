#include "libarchive_loader.h"

#include <archive.h>
#include <archive_entry.h>
#include <dlfcn.h>

#include <cstdarg>
#include <cstdio>

// Every function of libarchive the host calls: its result, name,
// parameters and the arguments that pass them on.
#define MP4HOST_LIBARCHIVE_FUNCTIONS(F)                                                           \
  F(struct archive*, archive_read_new, (), ())                                                    \
  F(int, archive_read_free, (struct archive * a), (a))                                            \
  F(int, archive_read_support_format_zip, (struct archive * a), (a))                              \
  F(int, archive_read_support_format_7zip, (struct archive * a), (a))                             \
  F(int, archive_read_support_format_tar, (struct archive * a), (a))                              \
  F(int, archive_read_support_filter_gzip, (struct archive * a), (a))                             \
  F(int, archive_read_support_filter_bzip2, (struct archive * a), (a))                            \
  F(int, archive_read_support_filter_xz, (struct archive * a), (a))                               \
  F(int, archive_read_support_filter_zstd, (struct archive * a), (a))                             \
  F(int, archive_read_set_callback_data, (struct archive * a, void* data), (a, data))             \
  F(int, archive_read_set_read_callback, (struct archive * a, archive_read_callback * f), (a, f)) \
  F(int, archive_read_set_skip_callback, (struct archive * a, archive_skip_callback * f), (a, f)) \
  F(int, archive_read_set_seek_callback, (struct archive * a, archive_seek_callback * f), (a, f)) \
  F(int, archive_read_open1, (struct archive * a), (a))                                           \
  F(int, archive_read_next_header, (struct archive * a, struct archive_entry * *e), (a, e))       \
  F(int, archive_read_data_block,                                                                 \
    (struct archive * a, const void** data, size_t* size, la_int64_t* offset),                    \
    (a, data, size, offset))                                                                      \
  F(int, archive_format, (struct archive * a), (a))                                               \
  F(int, archive_filter_count, (struct archive * a), (a))                                         \
  F(int, archive_errno, (struct archive * a), (a))                                                \
  F(const char*, archive_error_string, (struct archive * a), (a))                                 \
  F(mode_t, archive_entry_filetype, (struct archive_entry * e), (e))                              \
  F(const char*, archive_entry_hardlink, (struct archive_entry * e), (e))                         \
  F(int, archive_entry_is_data_encrypted, (struct archive_entry * e), (e))                        \
  F(time_t, archive_entry_mtime, (struct archive_entry * e), (e))                                 \
  F(int, archive_entry_mtime_is_set, (struct archive_entry * e), (e))                             \
  F(long, archive_entry_mtime_nsec, (struct archive_entry * e), (e))                              \
  F(const char*, archive_entry_pathname, (struct archive_entry * e), (e))                         \
  F(const char*, archive_entry_pathname_utf8, (struct archive_entry * e), (e))                    \
  F(la_int64_t, archive_entry_size, (struct archive_entry * e), (e))                              \
  F(int, archive_entry_size_is_set, (struct archive_entry * e), (e))                              \
  F(int, archive_entry_sparse_count, (struct archive_entry * e), (e))

namespace mp4host {

namespace {

enum Function {
#define MP4HOST_LIBARCHIVE_SLOT(result, name, parameters, arguments) k_##name,
  MP4HOST_LIBARCHIVE_FUNCTIONS(MP4HOST_LIBARCHIVE_SLOT) k_archive_set_error,
  kFunctions
#undef MP4HOST_LIBARCHIVE_SLOT
};

const char* const kNames[] = {
#define MP4HOST_LIBARCHIVE_NAME(result, name, parameters, arguments) #name,
    MP4HOST_LIBARCHIVE_FUNCTIONS(MP4HOST_LIBARCHIVE_NAME) "archive_set_error"
#undef MP4HOST_LIBARCHIVE_NAME
};

struct Library {
  void* functions[kFunctions] = {};
  std::string error;  // why it could not be loaded
};

const Library& library() {
  static const Library loaded = [] {
    Library l;
    void* handle = dlopen("libarchive.so.13", RTLD_NOW | RTLD_LOCAL);
    if (!handle) {
      l.error = std::string(
                    "cannot load libarchive, the archive library (Debian package "
                    "libarchive13): ") +
                dlerror();
      return l;
    }
    for (int f = 0; f < kFunctions; ++f) {
      l.functions[f] = dlsym(handle, kNames[f]);
      if (!l.functions[f]) {
        l.error = std::string("libarchive has no function ") + kNames[f];
        return l;
      }
    }
    return l;
  }();
  return loaded;
}

template <typename F>
F* function(Function f) {
  return reinterpret_cast<F*>(library().functions[f]);
}

}  // namespace

bool loadLibarchive(std::string* error) {
  if (library().error.empty()) return true;
  *error = library().error;
  return false;
}

}  // namespace mp4host

#define MP4HOST_LIBARCHIVE_FORWARD(result, name, parameters, arguments)      \
  extern "C" result name parameters {                                        \
    return mp4host::function<decltype(::name)>(mp4host::k_##name) arguments; \
  }
MP4HOST_LIBARCHIVE_FUNCTIONS(MP4HOST_LIBARCHIVE_FORWARD)
#undef MP4HOST_LIBARCHIVE_FORWARD

// Its arguments cannot be passed on as they are: the text is made here.
extern "C" void archive_set_error(struct archive* a, int error, const char* format, ...) {
  va_list arguments, again;
  va_start(arguments, format);
  va_copy(again, arguments);
  const int length = std::vsnprintf(nullptr, 0, format, arguments);
  std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(text.data(), text.size() + 1, format, again);
  va_end(again);
  va_end(arguments);
  mp4host::function<decltype(::archive_set_error)>(mp4host::k_archive_set_error)(a, error, "%s",
                                                                                 text.c_str());
}
