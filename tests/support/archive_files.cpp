#include <archive.h>
#include <archive_entry.h>
#include <locale.h>

#include <memory>
#include <stdexcept>

#include "test_files.h"

namespace hosttest {

namespace {

la_ssize_t append(struct archive*, void* out, const void* data, size_t length) {
  static_cast<std::string*>(out)->append(static_cast<const char*>(data), length);
  return static_cast<la_ssize_t>(length);
}

void check(struct archive* a, int status, const char* what) {
  if (status < ARCHIVE_WARN) {
    throw std::runtime_error(std::string(what) + ": " +
                             (archive_error_string(a) ? archive_error_string(a) : "failed"));
  }
}

void setFormat(struct archive* a, const std::string& format, const std::string& filter) {
  const std::string base = format.substr(0, format.find('-'));
  const char* name = base == "7z" ? "7zip" : base == "tar" ? "paxr" : base.c_str();
  check(a, archive_write_set_format_by_name(a, name), name);
  if (format == "zip-stored") {
    check(a, archive_write_set_format_option(a, "zip", "compression", "store"), "store");
  } else if (format == "zip-encrypted") {
    check(a, archive_write_set_format_option(a, "zip", "encryption", "zipcrypt"), "encrypt");
    check(a, archive_write_set_passphrase(a, "secret"), "passphrase");
  }
  if (!filter.empty()) check(a, archive_write_add_filter_by_name(a, filter.c_str()), "filter");
}

}  // namespace

std::string packArchive(const std::string& format, const std::vector<Member>& members,
                        const std::string& filter) {
  static const locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
  const locale_t old = utf8 && format == "7z" ? uselocale(utf8) : nullptr;
  std::string out;
  const std::unique_ptr<struct archive, int (*)(struct archive*)> a(archive_write_new(),
                                                                    archive_write_free);
  const std::unique_ptr<archive_entry, void (*)(archive_entry*)> e(archive_entry_new(),
                                                                   archive_entry_free);
  setFormat(a.get(), format, filter);
  // No padding of the last block: the archive ends where its data does.
  archive_write_set_bytes_in_last_block(a.get(), 1);
  check(a.get(), archive_write_open(a.get(), &out, nullptr, append, nullptr), "open");
  for (const Member& m : members) {
    archive_entry_clear(e.get());
    archive_entry_copy_pathname(e.get(), m.name.c_str());
    archive_entry_set_mtime(e.get(), 1700000000, 0);
    archive_entry_set_perm(e.get(), 0644);
    archive_entry_set_filetype(e.get(), m.kind == Member::Folder    ? AE_IFDIR
                                        : m.kind == Member::Symlink ? AE_IFLNK
                                                                    : AE_IFREG);
    if (m.kind == Member::Symlink) archive_entry_copy_symlink(e.get(), m.data.c_str());
    archive_entry_set_size(e.get(),
                           m.kind == Member::File ? static_cast<la_int64_t>(m.data.size()) : 0);
    for (const auto& r : m.regions) archive_entry_sparse_add_entry(e.get(), r.first, r.second);
    check(a.get(), archive_write_header(a.get(), e.get()), "header");
    if (m.kind == Member::File && !m.data.empty() &&
        archive_write_data(a.get(), m.data.data(), m.data.size()) < 0) {
      check(a.get(), ARCHIVE_FATAL, "data");
    }
  }
  check(a.get(), archive_write_close(a.get()), "close");
  if (old) uselocale(old);
  return out;
}

}  // namespace hosttest
