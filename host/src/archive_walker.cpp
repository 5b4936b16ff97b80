#include <mp4host/archive_reader.h>
#include <mp4host/archive_walker.h>
#include <mp4host/entry_stream.h>
#include <mp4host/pipeline.h>
#include <unistd.h>

#include <algorithm>
#include <string_view>

namespace mp4host {

namespace {

// Up to length bytes at offset: fewer at the end of the file, none on an
// error (which the analysis of the bytes then meets again).
size_t readHead(int fd, char* to, size_t length, int64_t offset) {
  const ssize_t n = pread(fd, to, length, offset);
  return n > 0 ? static_cast<size_t>(n) : 0;
}

// The archive's path, "/" and the entry's name with "/" at its start and
// "." and empty components left out. A name with a ".." component, which
// would lead out of the archive, or with no component at all is refused:
// *error says why, and the path is the name as it stands.
std::string entryPath(const std::string& archive, const std::string& name, std::string* error) {
  std::string path = archive + '/';
  const size_t base = path.size();
  for (size_t i = 0; i < name.size();) {
    const size_t end = std::min(name.find('/', i), name.size());
    const std::string_view part(name.data() + i, end - i);
    i = end + 1;
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      *error = "the entry's name leads out of the archive (\"..\"); not analysed";
      return archive + '/' + name;
    }
    if (path.size() > base) path += '/';
    path += part;
  }
  if (path.size() == base) *error = "the entry has no name; not analysed";
  return path;
}

}  // namespace

struct ArchiveWalker::Level {
  ArchiveReader reader;
  EntryInputStream stream;
};

ArchiveWalker::ArchiveWalker(Pipeline& pipeline, const ArchiveLimits& limits)
    : m_pipeline(pipeline), m_limits(limits), m_budget(nullptr), m_sink(nullptr) {}

ArchiveWalker::~ArchiveWalker() = default;

ArchiveWalker::Level& ArchiveWalker::level(int depth) {
  while (m_levels.size() <= static_cast<size_t>(depth))
    m_levels.push_back(std::make_unique<Level>());
  return *m_levels[static_cast<size_t>(depth)];
}

bool ArchiveWalker::walk(int fd, const ArchiveItem& file, ArchiveSink& sink) {
  char head[kSniffBytes];
  const ArchiveKind kind = archiveKind(head, readHead(fd, head, sizeof head, 0));
  if (kind == ArchiveKind::None) return false;
  ArchiveBudget budget(m_limits);
  // However the walk ends, no stream or reader is left with the budget.
  struct Done {
    ArchiveWalker& walker;
    ~Done() {
      for (const auto& level : walker.m_levels) {
        level->stream.close();
        level->reader.close();
      }
      walker.m_budget = nullptr;
      walker.m_sink = nullptr;
    }
  } done{*this};
  m_budget = &budget;
  m_sink = &sink;
  return walkArchive(0, Source{kind, fd, 0, file.size, nullptr}, file) == Walked::Archive;
}

ArchiveWalker::Walked ArchiveWalker::walkArchive(int depth, const Source& source,
                                                 const ArchiveItem& archive) {
  Level& here = level(depth);
  const ArchiveReader::Opened opened =
      source.stream
          ? here.reader.open(*source.stream, source.kind, *m_budget)
          : here.reader.open(source.fd, source.offset, source.length, source.kind, *m_budget);
  if (opened == ArchiveReader::Opened::NotAnArchive) {
    here.reader.close();
    return Walked::NotAnArchive;
  }
  if (opened == ArchiveReader::Opened::Archive) {
    while (here.reader.next() && m_budget->countEntry()) {
      if (here.reader.entry().regular) walkEntry(depth, here, source.fd, archive);
    }
  }
  const std::string error = m_budget->ok() ? here.reader.error() : m_budget->exceeded();
  here.reader.close();
  m_sink->archiveEnd(archive, error);
  return Walked::Archive;
}

// Analyses the reader's current entry: in place when it is stored in the
// file, else through the level's entry stream; an entry that is an archive
// is walked instead.
void ArchiveWalker::walkEntry(int depth, Level& here, int fd, const ArchiveItem& archive) {
  const ArchiveEntryInfo& entry = here.reader.entry();
  std::string error;
  ArchiveItem item{entryPath(archive.path, entry.name, &error), entry.size, entry.hasTime,
                   entry.mtimeNs, depth + 1};
  if (!entry.nameRead) error = "the entry's name cannot be read; not analysed";
  if (error.empty() && entry.encrypted) error = "the entry is encrypted; not analysed";
  if (!error.empty()) {
    m_sink->entry(item, error);
    return;
  }
  int64_t at = 0;
  if (here.reader.storedAt(&at)) {
    char head[kSniffBytes];
    const size_t n = readHead(fd, head, std::min<size_t>(sizeof head, entry.size), at);
    const ArchiveKind kind = archiveKind(head, n);
    if (kind != ArchiveKind::None &&
        walkNested(depth, Source{kind, fd, at, entry.size, nullptr}, item))
      return;
    const bool ok = m_pipeline.analyzeSlice(fd, at, entry.size, item.path);
    m_sink->entry(item, ok ? std::string() : m_pipeline.error());
    return;
  }
  EntryInputStream& stream = here.stream;
  stream.open(here.reader, entry.size, *m_budget);
  const char* head = nullptr;
  const int32_t n = stream.read(head, kSniffBytes, kSniffBytes);
  const ArchiveKind kind = n > 0 ? archiveKind(head, static_cast<size_t>(n)) : ArchiveKind::None;
  stream.reset(0);
  if (kind == ArchiveKind::None ||
      !walkNested(depth, Source{kind, -1, 0, entry.size, &stream}, item)) {
    stream.reset(0);
    const bool ok = m_pipeline.analyzeStream(stream, item.path);
    m_sink->entry(item, ok ? std::string() : m_pipeline.error());
  }
  stream.close();
}

// Walks an entry that looks like an archive; false when it turns out to be
// none (it is then analysed as an entry).
bool ArchiveWalker::walkNested(int depth, const Source& source, const ArchiveItem& item) {
  if (depth + 2 > m_limits.maxDepth) {
    m_sink->entry(item, "archives nested more than " + std::to_string(m_limits.maxDepth) +
                            " deep are not opened (the limit)");
    return true;
  }
  return walkArchive(depth + 1, source, item) == Walked::Archive;
}

}  // namespace mp4host
