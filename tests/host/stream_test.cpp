// The host's input streams: the contract analyzers rely on, the file
// stream's buffer and views under every request pattern, a pipe's read error.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mp4host/buffered_stream.h>
#include <mp4host/entry_stream.h>
#include <mp4host/file_stream.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

namespace {

using hosttest::TempDir;
using mp4host::BufferedInputStream;
using mp4host::FileInputStream;

// Bytes that differ from position to position, so a wrong offset shows.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 0x9E3779B97F4A7C15u) >> 56);
  return s;
}

std::string bytesAt(const char* p, int32_t n) { return std::string(p, static_cast<size_t>(n)); }

// The process's address space in bytes.
int64_t addressSpace() {
  const std::string status = mp4test::readFile("/proc/self/status");
  return std::stoll(status.substr(status.find("VmSize:") + 7)) * 1024;
}

// An entry's bytes in blocks of 1 to 70,000 bytes. With gaps, blocks of
// zeros are left out (as a sparse entry's are); from failAt on, blocks fail.
class Blocks : public mp4host::BlockSource {
 public:
  // Blocks of varied sizes, or each of blockSize bytes.
  explicit Blocks(std::string data, bool gaps = false, size_t failAt = SIZE_MAX,
                  size_t blockSize = 0)
      : m_data(std::move(data)), m_gaps(gaps), m_failAt(failAt), m_blockSize(blockSize) {}
  int nextBlock(const char** data, size_t* length, int64_t* offset) override {
    for (;;) {
      if (m_at >= m_failAt) return -1;
      if (m_at >= m_data.size()) return 0;
      const size_t n = std::min<size_t>(m_data.size() - m_at,
                                        m_blockSize ? m_blockSize : (m_at * 7919 + 1) % 70000 + 1);
      const auto begin = m_data.begin() + static_cast<std::ptrdiff_t>(m_at);
      const bool gap = m_gaps && std::all_of(begin, begin + static_cast<std::ptrdiff_t>(n),
                                             [](char c) { return c == 0; });
      *data = m_data.data() + m_at;
      *length = n;
      *offset = static_cast<int64_t>(m_at);
      m_at += n;
      if (!gap) return 1;
    }
  }
  std::string blockError() const override { return "the source failed"; }

 private:
  std::string m_data;
  bool m_gaps;
  size_t m_failAt;
  size_t m_blockSize;
  size_t m_at = 0;
};

// A file over bytes, an entry stream (keeping past 64 KiB on a temporary
// file), or a pipe a thread writes them into while it is read.
class StreamSource {
 public:
  StreamSource(const std::string& kind, const std::string& data) {
    if (kind == "file") {
      m_fd = open(m_dir.write("data", data).c_str(), O_RDONLY | O_CLOEXEC);
      auto file = std::make_unique<FileInputStream>();
      file->open(m_fd, static_cast<int64_t>(data.size()));
      m_stream = std::move(file);
    } else if (kind == "entry") {
      m_blocks.emplace(data);
      mp4host::ArchiveLimits limits;
      limits.memoryBytes = 64 << 10;
      m_budget.emplace(limits);
      auto entry = std::make_unique<mp4host::EntryInputStream>();
      entry->open(*m_blocks, static_cast<int64_t>(data.size()), *m_budget);
      m_stream = std::move(entry);
    } else {
      auto pipe = std::make_unique<BufferedInputStream>();
      pipe->open(m_pipe.emplace(data).fd());
      m_stream = std::move(pipe);
    }
  }
  ~StreamSource() {
    m_stream.reset();
    if (m_fd >= 0) close(m_fd);
  }
  Strigi::InputStream& stream() { return *m_stream; }

 private:
  TempDir m_dir;
  int m_fd = -1;
  std::optional<hosttest::FedPipe> m_pipe;
  std::optional<Blocks> m_blocks;
  std::optional<mp4host::ArchiveBudget> m_budget;
  std::unique_ptr<Strigi::InputStream> m_stream;
};

class AnyStream : public ::testing::TestWithParam<std::string> {};

// Reads from the current position; growing requests from 0 see every byte
// in one piece (max below min: no upper limit); a pointer stays valid across
// reset and skip; a short read at the end, then the end of the stream.
TEST_P(AnyStream, KeepsTheContractAnalyzersRelyOn) {
  const std::string data = pattern(300000);
  StreamSource source(GetParam(), data);
  Strigi::InputStream& s = source.stream();
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  EXPECT_EQ(bytesAt(p, 8), data.substr(0, 8));
  ASSERT_EQ(s.read(p, 100, 100), 100);
  EXPECT_EQ(bytesAt(p, 100), data.substr(8, 100));
  // Reset goes nowhere past the end (a pipe's: past the bytes read), and a
  // pipe's size is known once a read has asked for its last byte.
  EXPECT_TRUE(s.reset(int64_t{1} << 32) == 108 && s.reset(-1) == 108);
  EXPECT_EQ(s.size(), GetParam() == "pipe" ? -1 : 300000);
  for (int32_t n : {1000, 70000, 300000}) {
    ASSERT_EQ(s.reset(0), 0);
    ASSERT_GE(s.read(p, n, n == 1000 ? 0 : n), n);
    EXPECT_EQ(bytesAt(p, n), data.substr(0, static_cast<size_t>(n))) << n;
  }
  EXPECT_EQ(s.size(), 300000);
  EXPECT_EQ(s.reset(0), 0);
  EXPECT_TRUE(s.skip(1) == 1 && s.skip(-1) == 0 && s.position() == 1 && s.status() == Strigi::Ok);
  EXPECT_EQ(bytesAt(p, 200000), data.substr(0, 200000));
  ASSERT_EQ(s.read(p, 299000, 299000), 299000);
  ASSERT_EQ(s.read(p, 5000, 5000), 999);
  EXPECT_EQ(bytesAt(p, 999), data.substr(299001));
  EXPECT_EQ(s.status(), Strigi::Eof);
  EXPECT_EQ(s.read(p, 1, 1), -1);
  EXPECT_EQ(s.reset(0), 0);
  EXPECT_EQ(s.status(), Strigi::Ok);
  EXPECT_TRUE(s.skip(400000) == 300000 && s.status() == Strigi::Eof);
  EXPECT_EQ(s.read(p, 1, 1), -1);
  StreamSource empty(GetParam(), "");
  EXPECT_EQ(empty.stream().read(p, 8, 8), -1);
  EXPECT_TRUE(empty.stream().status() == Strigi::Eof && empty.stream().size() == 0);
  StreamSource one(GetParam(), "x");  // smaller than any buffer
  EXPECT_TRUE(one.stream().read(p, 1, 8) == 1 && *p == 'x');
}

INSTANTIATE_TEST_SUITE_P(Kinds, AnyStream, ::testing::Values("file", "entry", "pipe"));

// One step of a request pattern: move to position, then read(min, max).
struct Request {
  int64_t position;
  int32_t min, max;
  FileInputStream::Serving after;  // what serves reads afterwards
};

struct RequestCase {
  const char* name;
  std::vector<Request> requests;
  std::pair<int64_t, int64_t> calls;  // the preads and mapping calls they cost
};

constexpr int32_t kFileSize = 3 << 20;
constexpr int32_t kInit = static_cast<int32_t>(FileInputStream::kInitialRead);
constexpr int32_t kAhead = 4096;  // the most a read buffers past its end
using Serving = FileInputStream::Serving;
constexpr Serving kBuffer = Serving::Buffer, kView = Serving::View, kWhole = Serving::WholeFile;
// The request table's file: pattern bytes with a media-data box from kMdat
// to kMoov (its size in 64 bits, so its header ends at kMdatData), then a
// movie box to the end.
constexpr int32_t kMdat = 40;
constexpr int32_t kMdatData = kMdat + 16;
constexpr int32_t kMoov = 2800000;

std::string boxedPattern() {
  std::string data = pattern(kFileSize);
  data.replace(kMdat, 16, mp4test::be32(1) + "mdat" + mp4test::be64(kMoov - kMdat));
  data.replace(kMoov, 8, mp4test::be32(kFileSize - kMoov) + "moov");
  return data;
}

const RequestCase kRequestCases[] = {
    // Requests that end elsewhere than the media data's end are read.
    {"NotTheMediaDataEnd",
     {{0, kMdatData, kMdatData, kBuffer},
      {0, kMoov - 1, kMoov - 1, kBuffer},
      {0, kMdatData, kMdatData, kBuffer},
      {0, kFileSize, kFileSize, kBuffer}},
     {3, 0}},
    // Requests that end on and just past the buffered bytes (the first
    // read's page, all of it when there is no upper limit: max below min),
    // and one far past them; then the view serves bytes before its window,
    // and reads on to the end (at least min, at most what is left).
    {"StraddleTheBufferEnd",
     {{0, 10, 0, kBuffer},
      {100, 10, 0, kBuffer},
      {kInit - 6, 6, 6, kBuffer},
      {kInit - 6, 12, 12, kBuffer},
      {0, kInit * 3, kInit * 3, kBuffer},
      {kInit * 3 + kAhead + 10, 8, 8, kView},
      {0, kInit * 3 + kAhead + 18, kInit * 3 + kAhead + 18, kView},
      {kFileSize - 5, 1, -1, kView}},
     {5, 3}},
    // The analyzer's reads of a movie box after the media data: stepping
    // over the media data maps it; the movie box is read into the window.
    // Then bytes before the window, across its start (reading on), far
    // ahead, a large read back from 0, and the rest of the file.
    {"MovieLast",
     {{0, 1, 1024, kBuffer},
      {0, 8, 8, kBuffer},
      {0, kMdatData, kMdatData, kBuffer},
      {0, kMoov, kMoov, kView},
      {0, kMoov + 8, kMoov + 8, kView},
      {100, 1000, 0, kView},
      {kMoov - 10000, 20000, 20000, kView},
      {0, kMoov + 200000, kMoov + 200000, kView},
      {0, 1000000, 1000000, kView},
      {0, kFileSize, kFileSize, kView}},
     {5, 3}},
    // The last bytes of the file, read from near its end first.
    {"TailOnly", {{kFileSize - 100, 100, 100, kView}, {0, 100, 100, kView}}, {1, 3}},
};

// Every read hands out exactly the file's bytes at the position, however
// the stream came to hold them (counts and positions are the fuzz replay's
// to check); the mapping goes with the file. Also behind other bytes.
TEST(FileStream, RequestPatternsHandOutTheFilesBytes) {
  const std::string data = boxedPattern();
  TempDir dir;
  for (const int64_t at : {0, 5000, 4096 * 3 - 1}) {
    const int fd =
        open(dir.write("f", pattern(static_cast<size_t>(at)) + data).c_str(), O_RDONLY | O_CLOEXEC);
    for (const RequestCase& c : kRequestCases) {
      SCOPED_TRACE(std::string(c.name) + " at " + std::to_string(at));
      FileInputStream s;
      s.open(fd, kFileSize, at);
      for (const Request& r : c.requests) {
        SCOPED_TRACE("request at " + std::to_string(r.position) + " for " + std::to_string(r.min));
        ASSERT_EQ(s.reset(r.position), r.position);
        const char* p = nullptr;
        const int32_t n = s.read(p, r.min, r.max);
        ASSERT_EQ(bytesAt(p, n),
                  data.substr(static_cast<size_t>(r.position), static_cast<size_t>(n)));
        EXPECT_EQ(s.serving(), r.after);
      }
      s.close();
      if (at == 0) {
        EXPECT_EQ(std::make_pair(s.calls().reads, s.calls().maps), c.calls);
      }
      EXPECT_EQ(s.serving(), kBuffer);
    }
    close(fd);
  }
}

// A file cut short after open, under the buffer or under a view's window
// (the movie box after media data is read, never mapped): the read is an
// error for good, and nothing touches the mapping past the new end. So is
// a pipe's read error.
TEST(FileStream, FileCutShortAfterOpenIsAnErrorForGoodAsIsAPipesReadError) {
  TempDir dir;
  const std::string data = boxedPattern();
  FileInputStream s;  // each file starts afresh after the last one's error
  for (const int32_t want : {20000, 2900000, kFileSize}) {
    SCOPED_TRACE(want);
    const int fd = open(dir.write("f" + std::to_string(want), data).c_str(), O_RDWR | O_CLOEXEC);
    s.open(fd, kFileSize);
    const char* p = nullptr;
    ASSERT_EQ(s.read(p, kMdatData, kMdatData), kMdatData);
    if (want == kFileSize) {
      s.reset(0);
      ASSERT_EQ(s.read(p, kMoov, kMoov), kMoov);  // over the media data
    }
    ASSERT_EQ(ftruncate(fd, want == 20000 ? 10 : want == kFileSize ? kMoov + 100 : 1 << 20), 0);
    s.reset(0);
    EXPECT_EQ(s.read(p, want, want), -2);
    EXPECT_EQ(s.status(), Strigi::Error);
    EXPECT_STREQ(s.error(), "file became shorter while being read");
    EXPECT_EQ(s.reset(0), 0);
    EXPECT_EQ(s.read(p, 1, 1), -2);
    EXPECT_EQ(s.skip(1), 0);
    s.close();
    close(fd);
  }
  // Reading a directory fails; the pipe's stream does not know it is one.
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  BufferedInputStream pipe;
  pipe.open(fd);
  const char* p = nullptr;
  EXPECT_EQ(pipe.read(p, 8, 8), -2);
  EXPECT_EQ(pipe.status(), Strigi::Error);
  EXPECT_NE(std::string(pipe.error()).find("read error"), std::string::npos);
  pipe.reset(0);
  EXPECT_EQ(pipe.read(p, 8, 8), -2);
  pipe.close();
  close(fd);
}

// Another thread cuts a movie short inside its movie box (behind 2 MB of
// media data) and writes it whole again while it is analysed: no analysis
// touches a mapping of the file (SIGBUS past the file's new end).
TEST(FileStream, FileCutShortWhileAnalysedNeverCrashes) {
  using mp4test::box;
  std::vector<mp4test::Bytes> children(40000, box("free", mp4test::zeros(8)));
  const std::string movie =
      box("ftyp", "isom") + box("mdat", mp4test::zeros(2 << 20)) + box("moov", children);
  const int64_t cut = (2 << 20) + 1000;
  TempDir dir;
  const std::string path = dir.write("movie.mp4", movie);
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  std::atomic<bool> done{false};
  std::thread changer([&] {
    while (!done) {
      if (ftruncate(fd, cut) != 0) break;
      if (pwrite(fd, movie.data() + cut, movie.size() - cut, cut) < 0) break;
    }
  });
  hosttest::LoadedModule module;
  {
    mp4host::Pipeline pipeline(module.plugins);
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    for (int round = 0; round < 300 && std::chrono::steady_clock::now() < until; ++round)
      pipeline.analyzeFile(path);
  }
  done = true;
  changer.join();
  close(fd);
}

// One stream over many files in turn, each with its media data viewed
// through a mapping: each starts from its buffer and shows its own bytes.
// Then files too large to stay mapped once closed: a view larger than is
// kept, a file beyond the reach of views (mapped whole), a sparse one.
TEST(FileStream, ManyFilesInTurnEachShowTheirOwnBytes) {
  TempDir dir;
  FileInputStream s;
  int fd = -1;
  for (int i = 0; i < 30; ++i) {
    // Sizes that are not whole pages, now larger, now smaller than the one
    // before, so that views map over what earlier ones left in every way.
    std::string data = pattern(300000 + static_cast<size_t>((i * 7) % 11) * 40961);
    // One media-data box (every third of size 0: to the end), viewed when
    // read whole; every fifth of a type one letter off, read.
    const bool media = i % 5 != 4;
    const char* type = media ? "mdat" : i % 2 ? "mdax" : "mdxt";
    data.replace(0, 8, mp4test::be32(i % 3 ? static_cast<uint32_t>(data.size()) : 0) + type);
    data[8] = static_cast<char>(i);
    fd = open(dir.write("f" + std::to_string(i), data).c_str(), O_RDONLY | O_CLOEXEC);
    s.open(fd, static_cast<int64_t>(data.size()));
    const char* p = nullptr;
    ASSERT_EQ(s.read(p, 8, 8), 8);
    EXPECT_EQ(s.serving(), kBuffer);
    s.reset(0);
    const int32_t n = static_cast<int32_t>(data.size());
    ASSERT_EQ(s.read(p, n, n), n) << "file " << i;
    EXPECT_TRUE(s.serving() == (media ? kView : kBuffer) && bytesAt(p, n) == data) << i;
    s.close();
    close(fd);
  }
  // A read a file, and one more for each file not viewed (a view of media
  // data to the end of the file reads nothing); a mapping for each file
  // viewed, two for the space, and one to reserve it again once nine pieces
  // are left over.
  EXPECT_EQ(std::make_pair(s.calls().reads, s.calls().maps),
            std::make_pair(int64_t{36}, int64_t{27}));
  for (const int64_t big :
       {FileInputStream::kStaleMapped + 5000, FileInputStream::kViewSpan + 8,
        FileInputStream::kViewSpan + 3 * 4096 + 5000, (int64_t{3} << 30) + 4096}) {
    SCOPED_TRACE(big);
    const std::string path = dir.write("big" + std::to_string(big), "");
    fd = open(path.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(ftruncate(fd, big), 0);
    ASSERT_EQ(pwrite(fd, "\0\0\0\x10moov", 8, big - 8), 8);
    s.open(fd, big);
    ASSERT_EQ(s.reset(big - 8), big - 8);
    const char* p = nullptr;
    ASSERT_EQ(s.read(p, 8, 8), 8);
    EXPECT_EQ(bytesAt(p, 8), std::string("\0\0\0\x10moov", 8));
    // Views reach up to the page that starts at kViewSpan.
    EXPECT_EQ(s.serving(), big > FileInputStream::kViewSpan + 4096 ? kWhole : kView);
    s.close();
    EXPECT_EQ(mp4test::readFile("/proc/self/maps").find(path), std::string::npos)
        << "a closed file this large stays mapped";
    close(fd);
  }
  // Each large one: a read for the view's window (none for the whole file),
  // one mapping, and one call to undo it once the file is closed.
  EXPECT_EQ(std::make_pair(s.calls().reads, s.calls().maps),
            std::make_pair(int64_t{39}, int64_t{35}));
}

// Where the address space runs short (a limit on it), no view and no
// whole-file mapping can be had: requests over media data are read into the
// buffer. Not under sanitizers, whose shadow memory needs more address space
// than any such limit leaves.
TEST(FileStream, ShortOfAddressSpaceReadsIntoTheBuffer) {
#ifdef MP4TEST_SANITIZED
  GTEST_SKIP() << "built with sanitizers";
#endif
  const std::string data = boxedPattern();
  TempDir dir;
  // The file is far larger than the limit leaves room for.
  const int64_t size = int64_t{200} << 20;
  const int fd = open(dir.write("f", data).c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(ftruncate(fd, size), 0);
  const auto readUnderTheLimit = [&] {
    FileInputStream s;
    s.open(fd, size);
    const char* p = nullptr;
    const rlimit limit{static_cast<rlim_t>(addressSpace() + (16 << 20)), RLIM_INFINITY};
    bool ok = setrlimit(RLIMIT_AS, &limit) == 0 && s.read(p, kMdatData, kMdatData) == kMdatData;
    s.reset(0);
    ok = ok && s.read(p, kMoov, kMoov) == kMoov && bytesAt(p, kMoov) == data.substr(0, kMoov) &&
         s.serving() == kBuffer;
    // The end of the file, then its start again, away from the buffer.
    s.reset(size - 8);
    ok = ok && s.read(p, 8, 8) == 8 && s.reset(0) == 0 && s.read(p, 8, 8) == 8 &&
         bytesAt(p, 8) == data.substr(0, 8);
    _exit(ok ? 0 : 1);
  };
  EXPECT_EXIT(readUnderTheLimit(), testing::ExitedWithCode(0), "");
  close(fd);
}

struct EntryCase {
  const char* name;
  int64_t recorded;
  Blocks blocks;
  std::function<void(mp4host::ArchiveLimits&)> limits;
  const char* error;  // reading it all fails so; null: reading it all gives the bytes
};

// An entry stream keeps its bytes in memory, past memoryBytes on a temporary
// file (a gap's zeros too), given back when closed; an entry shorter or longer
// than recorded, a failing source or a limit is an error for good.
TEST(EntryStream, KeepsItsBytesOnATemporaryFileOrFailsForGood) {
  std::string data = pattern(300000);
  std::fill(data.begin() + 100000, data.begin() + 220000, '\0');
  const auto none = [](mp4host::ArchiveLimits&) {};
  EntryCase cases[] = {
      {"Sparse", 300000, Blocks(data, true), none, nullptr},
      {"SizeNotRecorded", -1, Blocks(data), none, nullptr},
      {"OneByteBlocks", 300000, Blocks(data, false, SIZE_MAX, 1), none, nullptr},
      {"SparseInMemory", 300000, Blocks(data, true),
       [](mp4host::ArchiveLimits& l) { l.memoryBytes = 1 << 20; }, nullptr},
      {"Shorter", 300001, Blocks(data), none, "the entry ends after 300000 of its 300001 bytes"},
      {"Longer", 299999, Blocks(data), none, "the entry holds more than its recorded 299999 bytes"},
      {"SourceFails", 300000, Blocks(data, false, 100000), none, "the source failed"},
      {"EntryLimit", 300000, Blocks(data),
       [](mp4host::ArchiveLimits& l) { l.maxEntryBytes = 200000; },
       "the entry needs more than 200000 bytes decompressed (the limit)"},
      {"TemporaryFileLimit", 300000, Blocks(data, true),
       [](mp4host::ArchiveLimits& l) { l.maxTempBytes = 250000; },
       "the entry needs more than 250000 bytes of temporary file (the limit)"},
  };
  Blocks blocks(data);  // for the skips below; like the budget, outlives the stream
  mp4host::ArchiveBudget budget{mp4host::ArchiveLimits()};
  mp4host::EntryInputStream s;
  for (EntryCase& c : cases) {
    SCOPED_TRACE(c.name);
    mp4host::ArchiveLimits limits;
    limits.memoryBytes = 64 << 10;
    c.limits(limits);
    const bool spills = limits.memoryBytes < 300000;
    mp4host::ArchiveBudget caseBudget(limits);
    s.open(c.blocks, c.recorded, caseBudget);
    EXPECT_EQ(s.size(), c.recorded);
    const char* p = nullptr;
    ASSERT_EQ(s.read(p, 1000, 1000), 1000);
    EXPECT_EQ(bytesAt(p, 1000), data.substr(0, 1000));
    EXPECT_FALSE(s.spilled());
    s.reset(0);
    const int32_t n = s.read(p, 400000, 400000);
    if (c.error) {
      EXPECT_EQ(n, -2);
      EXPECT_STREQ(s.error(), c.error);
      EXPECT_EQ(s.status(), Strigi::Error);
      EXPECT_TRUE(s.reset(0) == 0 && s.skip(1) == 0);
      EXPECT_EQ(s.read(p, 1, 1), -2);
    } else {
      ASSERT_EQ(n, 300000);
      EXPECT_EQ(bytesAt(p, n), data);
      EXPECT_TRUE(s.spilled() == spills && s.held() == 300000 && s.size() == 300000);
      EXPECT_EQ(s.status(), Strigi::Eof);
    }
    s.close();
    EXPECT_TRUE(caseBudget.takeTemp(limits.maxTempBytes)) << "temporary bytes not given back";
  }
  // A stream that goes while it holds an entry gives its temporary bytes back.
  mp4host::ArchiveLimits small;
  small.memoryBytes = 64 << 10;
  mp4host::ArchiveBudget smallBudget(small);
  Blocks all(data);
  {
    mp4host::EntryInputStream open;
    open.open(all, 300000, smallBudget);
    EXPECT_TRUE(open.skip(300000) == 300000 && open.spilled());
    // Opened again without a close, it starts the new entry afresh.
    Blocks again(data);
    open.open(again, 300000, smallBudget);
    const char* q = nullptr;
    ASSERT_EQ(open.read(q, 1000, 1000), 1000);
    EXPECT_TRUE(bytesAt(q, 1000) == data.substr(0, 1000) && !open.spilled());
  }
  EXPECT_TRUE(smallBudget.takeTemp(small.maxTempBytes));
  s.open(blocks, 300000, budget);
  EXPECT_EQ(s.skip(200000), 200000);
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 10, 10), 10);
  EXPECT_EQ(bytesAt(p, 10), data.substr(200000, 10));
  EXPECT_TRUE(s.reset(300000) == 300000 && s.status() == Strigi::Eof);
}

// Each limit of an archive file allows its value and fails past it, for good.
TEST(ArchiveBudget, EachLimitAllowsItsValueAndNoMore) {
  mp4host::ArchiveLimits l;
  l.maxEntries = 2, l.maxArchiveBytes = 1000, l.ratioFloor = 100, l.maxRatio = 10;
  mp4host::ArchiveBudget entries(l), bytes(l), ratio(l), floor(l);
  EXPECT_TRUE(entries.countEntry() && entries.countEntry());
  EXPECT_FALSE(entries.countEntry());
  EXPECT_FALSE(entries.chargeExpanded(0));
  ratio.countInput(20);
  EXPECT_TRUE(ratio.chargeExpanded(100) && ratio.chargeExpanded(109));  // 209 / 10 = 20
  EXPECT_FALSE(ratio.chargeExpanded(1));
  EXPECT_EQ(ratio.exceeded(),
            "decompresses to more than 10 times its size (a bomb?); the rest is not read");
  EXPECT_TRUE(floor.chargeExpanded(100));  // up to the floor, whatever was read
  EXPECT_FALSE(floor.chargeExpanded(1));
  bytes.countInput(1000);
  EXPECT_TRUE(bytes.chargeExpanded(1000));
  EXPECT_FALSE(bytes.chargeExpanded(1) || bytes.ok() || bytes.inTime());
}

}  // namespace
