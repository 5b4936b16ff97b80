#include <archive.h>
#include <archive_entry.h>
#include <errno.h>
#include <locale.h>
#include <mp4host/archive_reader.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "libarchive_loader.h"
#include "stream_util.h"

namespace mp4host {

namespace {

// Reads from a file start small (a tar header, a zip local header, which
// the entry's data follows) and double while they follow each other (the
// compressed data of a tar.gz).
constexpr size_t kFirstBlock = 4096;
constexpr size_t kLargestBlock = 1 << 20;

// Entry names are read in a UTF-8 locale, whatever the process's: 7z and
// zip store Unicode names that libarchive otherwise cannot render in the C
// locale. Bytes of other names are passed on unchanged either way.
class Utf8Names {
 public:
  Utf8Names() : m_old(locale() ? uselocale(locale()) : nullptr) {}
  ~Utf8Names() {
    if (m_old) uselocale(m_old);
  }
  Utf8Names(const Utf8Names&) = delete;
  Utf8Names& operator=(const Utf8Names&) = delete;

 private:
  static locale_t locale() {
    static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    return utf8;
  }
  locale_t m_old;
};

// The format of a kind, and for tar the filters, each built into
// libarchive: one that would run an external program instead
// (ARCHIVE_WARN) fails the open.
bool supportFormat(struct archive* a, ArchiveKind kind) {
  switch (kind) {
    case ArchiveKind::Zip:
      return archive_read_support_format_zip(a) == ARCHIVE_OK;
    case ArchiveKind::SevenZip:
      return archive_read_support_format_7zip(a) == ARCHIVE_OK;
    case ArchiveKind::Tar:
      for (const auto enable : {archive_read_support_format_tar, archive_read_support_filter_gzip,
                                archive_read_support_filter_bzip2, archive_read_support_filter_xz,
                                archive_read_support_filter_zstd}) {
        if (enable(a) != ARCHIVE_OK) return false;
      }
      return true;
    case ArchiveKind::None:
      break;
  }
  return false;
}

}  // namespace

#if defined(__SANITIZE_THREAD__)
#define MP4HOST_THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define MP4HOST_THREAD_SANITIZER 1
#endif
#endif
#ifdef MP4HOST_THREAD_SANITIZER
// libarchive turns zip times into time_t with mktime, which rereads TZ
// under a lock of glibc's that ThreadSanitizer does not see.
extern "C" const char* __tsan_default_suppressions() { return "race:tzset_internal\n"; }
#endif

ArchiveKind archiveKind(const char* head, size_t length) {
  using namespace std::string_view_literals;
  static const struct {
    size_t offset;
    std::string_view magic;
    ArchiveKind kind;
  } kMagics[] = {
      {0, "PK\3\4"sv, ArchiveKind::Zip},
      {0, "PK\5\6"sv, ArchiveKind::Zip},  // empty
      {0, "7z\xBC\xAF\x27\x1C"sv, ArchiveKind::SevenZip},
      {0, "\x1F\x8B"sv, ArchiveKind::Tar},  // gzip
      {0, "BZh"sv, ArchiveKind::Tar},
      {0,
       "\xFD"
       "7zXZ\0"sv,
       ArchiveKind::Tar},
      {0, "\x28\xB5\x2F\xFD"sv, ArchiveKind::Tar},  // zstd
      {257, "ustar"sv, ArchiveKind::Tar},           // POSIX and GNU
  };
  const std::string_view bytes(head, length);
  for (const auto& m : kMagics) {
    if (bytes.substr(std::min(m.offset, length), m.magic.size()) == m.magic) return m.kind;
  }
  return ArchiveKind::None;
}

struct ArchiveCallbacks {
  static la_ssize_t read(struct archive*, void* self, const void** out) {
    return static_cast<la_ssize_t>(static_cast<ArchiveReader*>(self)->readSource(out));
  }
  static la_int64_t skip(struct archive*, void* self, la_int64_t request) {
    return static_cast<ArchiveReader*>(self)->skipSource(request);
  }
  static la_int64_t seek(struct archive*, void* self, la_int64_t offset, int whence) {
    return static_cast<ArchiveReader*>(self)->seekSource(offset, whence);
  }
};

ArchiveReader::ArchiveReader() : m_archive(nullptr), m_budget(nullptr) {}

ArchiveReader::~ArchiveReader() { close(); }

ArchiveReader::Opened ArchiveReader::open(int fd, int64_t offset, int64_t length, ArchiveKind kind,
                                          ArchiveBudget& budget) {
  close();
  m_source.fd = fd;
  m_source.base = offset;
  m_source.length = length;
  return start(kind, budget);
}

ArchiveReader::Opened ArchiveReader::open(Strigi::InputStream& stream, ArchiveKind kind,
                                          ArchiveBudget& budget) {
  close();
  m_source.stream = &stream;
  m_source.length = stream.size();
  return start(kind, budget);
}

ArchiveReader::Opened ArchiveReader::start(ArchiveKind kind, ArchiveBudget& budget) {
  m_budget = &budget;
  m_source.position = 0;
  m_source.sequential = false;
  m_source.blockSize = kFirstBlock;
  m_error.clear();
  if (!loadLibarchive(&m_error)) return Opened::Failed;
  const Utf8Names names;
  m_archive = archive_read_new();
  if (!m_archive) {
    m_error = "out of memory";
    return Opened::Failed;
  }
  if (!supportFormat(m_archive, kind)) {
    m_error = "libarchive cannot read these formats without external programs";
    return Opened::Failed;
  }
  archive_read_set_callback_data(m_archive, this);
  archive_read_set_read_callback(m_archive, ArchiveCallbacks::read);
  archive_read_set_skip_callback(m_archive, ArchiveCallbacks::skip);
  archive_read_set_seek_callback(m_archive, ArchiveCallbacks::seek);
  if (archive_read_open1(m_archive) == ARCHIVE_OK) return Opened::Archive;
  // No format took the bytes (a gzip file that holds no tar, say): the
  // bytes are no archive. Compressed data cut short is an error, though.
  if (m_error.empty() && archive_format(m_archive) == 0 &&
      archive_errno(m_archive) == EILSEQ) {  // libarchive's "file format" error
    return Opened::NotAnArchive;
  }
  if (m_error.empty()) m_error = archiveError("cannot open the archive");
  return Opened::Failed;
}

void ArchiveReader::close() {
  if (m_archive) {
    const Utf8Names names;
    archive_read_free(m_archive);
  }
  m_archive = nullptr;
  m_budget = nullptr;
  m_source.fd = -1;
  m_source.stream = nullptr;
  m_inEntry = false;
  m_pending = Pending();
}

std::string ArchiveReader::archiveError(const char* fallback) const {
  const char* text = m_archive ? archive_error_string(m_archive) : nullptr;
  return text && *text ? text : fallback;
}

bool ArchiveReader::next() {
  // What is left of the entry before is decompressed here, where it is
  // charged, rather than by libarchive on its way to the next header (all
  // of an entry passed over, such as a folder or one with a ".." name).
  if (m_inEntry &&
      (archive_filter_count(m_archive) > 1 || archive_format(m_archive) == ARCHIVE_FORMAT_7ZIP)) {
    const char* data;
    size_t length;
    int64_t offset;
    while (nextBlock(&data, &length, &offset) > 0) {
    }
  }
  m_inEntry = false;
  m_pending = Pending();
  m_entry = ArchiveEntryInfo();
  m_entryError.clear();
  if (!m_error.empty()) return false;
  const Utf8Names names;
  archive_entry* e = nullptr;
  const int r = archive_read_next_header(m_archive, &e);
  if (r == ARCHIVE_EOF) return false;
  if (r < ARCHIVE_WARN) {
    if (m_error.empty()) m_error = archiveError("cannot read the archive");
    return false;
  }
  const char* name = archive_entry_pathname(e);
  if (!name) name = archive_entry_pathname_utf8(e);
  m_entry.nameRead = name != nullptr;
  m_entry.name = name ? name : "";
  m_entry.size = archive_entry_size_is_set(e) ? archive_entry_size(e) : -1;
  m_entry.hasTime = archive_entry_mtime_is_set(e) != 0;
  if (m_entry.hasTime) {
    m_entry.mtimeNs = int64_t{archive_entry_mtime(e)} * 1000000000 + archive_entry_mtime_nsec(e);
  }
  m_entry.regular = archive_entry_filetype(e) == AE_IFREG && archive_entry_hardlink(e) == nullptr;
  m_entry.encrypted = archive_entry_is_data_encrypted(e) != 0;
  m_entrySparse = archive_entry_sparse_count(e) > 0;
  m_inEntry = true;
  return true;
}

bool ArchiveReader::storedAt(int64_t* offset) {
  if (m_entrySparse) return false;  // its first block may lie in the file, its holes do not
  const Utf8Names names;
  m_pending.held = true;
  m_pending.status =
      archive_read_data_block(m_archive, &m_pending.data, &m_pending.length, &m_pending.offset);
  if (m_pending.status != ARCHIVE_OK || m_pending.offset != 0) return false;
  // The bytes lie in the file when libarchive hands out a pointer into the
  // block read from it, not into a buffer of its own (of inflated or
  // decrypted data) or an entry stream's (for an archive inside an entry),
  // and the entry's recorded size (-1 when none is, taken as the largest)
  // fits in the file from there.
  const int64_t within = static_cast<int64_t>(reinterpret_cast<uintptr_t>(m_pending.data) -
                                              reinterpret_cast<uintptr_t>(m_source.buffer.data()));
  if (within < 0 ||
      within + static_cast<int64_t>(m_pending.length) > static_cast<int64_t>(m_source.blockLength))
    return false;
  const int64_t at = m_source.blockStart + within;
  if (static_cast<uint64_t>(m_entry.size) > static_cast<uint64_t>(m_source.length - at))
    return false;
  *offset = m_source.base + at;
  return true;
}

int ArchiveReader::nextBlock(const char** data, size_t* length, int64_t* offset) {
  if (!m_error.empty() || !m_entryError.empty()) return -1;
  int status;
  const void* block = nullptr;
  size_t size = 0;
  la_int64_t at = 0;
  if (m_pending.held) {
    status = m_pending.status;
    block = m_pending.data;
    size = m_pending.length;
    at = m_pending.offset;
    m_pending = Pending();
  } else {
    const Utf8Names names;
    status = archive_read_data_block(m_archive, &block, &size, &at);
  }
  if (status == ARCHIVE_EOF) return 0;
  if (status != ARCHIVE_OK) {
    std::string& error = status == ARCHIVE_FATAL ? m_error : m_entryError;
    if (error.empty()) error = archiveError("cannot read the entry");
    return -1;
  }
  if (!m_budget->chargeExpanded(static_cast<int64_t>(size))) {
    m_error = m_budget->exceeded();
    return -1;
  }
  *data = static_cast<const char*>(block);
  *length = size;
  *offset = at;
  return 1;
}

// Fails the source's reads for good: libarchive passes the failure on, and
// error() says why.
bool ArchiveReader::sourceFailed(const std::string& message) {
  if (m_error.empty()) m_error = message;
  archive_set_error(m_archive, EIO, "%s", m_error.c_str());
  return false;
}

int64_t ArchiveReader::readSource(const void** out) {
  Source& s = m_source;
  if (!m_error.empty() || !m_budget->inTime()) {
    sourceFailed(m_budget->ok() ? m_error : m_budget->exceeded());
    return -1;
  }
  s.blockSize = s.sequential ? std::min(s.blockSize * 2, kLargestBlock) : kFirstBlock;
  s.sequential = true;
  if (s.stream) {
    const char* p = nullptr;
    int32_t n = 0;
    if (s.stream->reset(s.position) == s.position) {
      n = s.stream->read(p, 1, static_cast<int32_t>(s.blockSize));
    }
    if (s.stream->status() == Strigi::Error) {
      sourceFailed(s.stream->error());
      return -1;
    }
    if (n <= 0) return 0;
    s.position += n;
    *out = p;
    return n;
  }
  const int64_t left = s.length - s.position;
  if (left <= 0) return 0;
  const size_t want =
      static_cast<size_t>(std::min<int64_t>(left, static_cast<int64_t>(s.blockSize)));
  if (s.buffer.size() < want) s.buffer.resize(std::max(want, s.buffer.size() * 2));
  size_t done = 0;
  while (done < want) {
    const ssize_t n = pread(s.fd, s.buffer.data() + done, want - done,
                            s.base + s.position + static_cast<int64_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      sourceFailed(n < 0 ? detail::errorMessage("read error", errno)
                         : "file became shorter while being read");
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  s.blockStart = s.position;
  s.blockLength = want;
  s.position += static_cast<int64_t>(want);
  m_budget->countInput(static_cast<int64_t>(want));
  *out = s.buffer.data();
  return static_cast<int64_t>(want);
}

// Skips never read: the next read starts further on.
int64_t ArchiveReader::skipSource(int64_t request) {
  Source& s = m_source;
  int64_t n = std::max<int64_t>(request, 0);
  if (s.length >= 0) n = std::min(n, s.length - s.position);
  s.position += n;
  s.sequential = false;
  return n;
}

int64_t ArchiveReader::seekSource(int64_t offset, int whence) {
  Source& s = m_source;
  int64_t from = 0;
  if (whence == SEEK_CUR) from = s.position;
  if (whence == SEEK_END) {
    if (s.length < 0) return ARCHIVE_FATAL;
    from = s.length;
  }
  if (offset > INT64_MAX - from || from + offset < 0 || (s.length >= 0 && from + offset > s.length))
    return ARCHIVE_FATAL;
  s.position = from + offset;
  s.sequential = false;
  return s.position;
}

}  // namespace mp4host
