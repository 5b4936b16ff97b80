// The host's input streams: the contract that analyzers rely on (reads from
// the current position, pointers valid until the next read, reset and
// skip), the file stream's buffered and mapped paths, and the pipe stream's
// limits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mp4host/buffered_stream.h>
#include <mp4host/file_stream.h>
#include <signal.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "test_files.h"

namespace {

using hosttest::TempDir;
using mp4host::BufferedInputStream;
using mp4host::FileInputStream;

// Bytes that differ from position to position, so a wrong offset shows.
std::string pattern(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 7 + (i >> 9)) & 0xFF);
  return s;
}

std::string bytesAt(const char* p, int32_t n) { return std::string(p, static_cast<size_t>(n)); }

// A stream of either kind over given bytes: a file, or a pipe written by a
// thread while it is read.
class StreamSource {
 public:
  StreamSource(const std::string& kind, const std::string& data) {
    // A writer cut off by the end of a test must not kill the test run.
    signal(SIGPIPE, SIG_IGN);
    if (kind == "file") {
      m_fd = open(m_dir.write("data", data).c_str(), O_RDONLY | O_CLOEXEC);
      auto file = std::make_unique<FileInputStream>();
      file->open(m_fd, static_cast<int64_t>(data.size()));
      m_stream = std::move(file);
    } else {
      int fds[2];
      EXPECT_EQ(pipe(fds), 0);
      m_fd = fds[0];
      m_writer = std::thread([fd = fds[1], data] {
        size_t done = 0;
        while (done < data.size()) {
          const ssize_t n = write(fd, data.data() + done, data.size() - done);
          if (n <= 0) break;
          done += static_cast<size_t>(n);
        }
        close(fd);
      });
      auto pipe = std::make_unique<BufferedInputStream>();
      pipe->open(m_fd);
      m_stream = std::move(pipe);
    }
  }
  ~StreamSource() {
    m_stream.reset();
    close(m_fd);  // lets a writer still blocked in write fail
    if (m_writer.joinable()) m_writer.join();
  }
  Strigi::InputStream& stream() { return *m_stream; }

 private:
  TempDir m_dir;
  int m_fd = -1;
  std::thread m_writer;
  std::unique_ptr<Strigi::InputStream> m_stream;
};

class AnyStream : public ::testing::TestWithParam<std::string> {};

TEST_P(AnyStream, ReadsFromTheCurrentPositionAndAdvances) {
  const std::string data = pattern(300000);
  StreamSource source(GetParam(), data);
  Strigi::InputStream& s = source.stream();
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  EXPECT_EQ(bytesAt(p, 8), data.substr(0, 8));
  EXPECT_EQ(s.position(), 8);
  ASSERT_EQ(s.read(p, 100, 100), 100);
  EXPECT_EQ(bytesAt(p, 100), data.substr(8, 100));
  // Growing requests from the start, as the analyzer makes them, see every
  // byte from position 0 in one piece.
  for (int32_t n : {1000, 70000, 200000, 300000}) {
    ASSERT_EQ(s.reset(0), 0);
    ASSERT_EQ(s.read(p, n, n), n);
    EXPECT_EQ(bytesAt(p, n), data.substr(0, static_cast<size_t>(n))) << n;
  }
  EXPECT_EQ(s.size(), 300000);
}

TEST_P(AnyStream, ShortReadAtTheEndThenEndOfStream) {
  const std::string data = pattern(1000);
  StreamSource source(GetParam(), data);
  Strigi::InputStream& s = source.stream();
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 900, 900), 900);
  ASSERT_EQ(s.read(p, 500, 500), 100);
  EXPECT_EQ(bytesAt(p, 100), data.substr(900));
  EXPECT_EQ(s.status(), Strigi::Eof);
  EXPECT_EQ(s.read(p, 1, 1), -1);
  EXPECT_EQ(s.size(), 1000);
  // Back at the start the stream is usable again.
  EXPECT_EQ(s.reset(0), 0);
  EXPECT_EQ(s.status(), Strigi::Ok);
}

TEST_P(AnyStream, NoUpperLimitWhenMaxIsBelowMin) {
  StreamSource source(GetParam(), pattern(5000));
  const char* p = nullptr;
  EXPECT_GE(source.stream().read(p, 3000, 0), 3000);
}

TEST_P(AnyStream, PointerStaysValidAcrossResetAndSkip) {
  const std::string data = pattern(200000);
  StreamSource source(GetParam(), data);
  Strigi::InputStream& s = source.stream();
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 150000, 150000), 150000);
  EXPECT_EQ(s.reset(0), 0);
  EXPECT_EQ(s.skip(10), 10);
  EXPECT_EQ(s.position(), 10);
  EXPECT_EQ(bytesAt(p, 150000), data.substr(0, 150000));
}

TEST_P(AnyStream, SkipStopsAtTheEnd) {
  StreamSource source(GetParam(), pattern(100));
  Strigi::InputStream& s = source.stream();
  EXPECT_EQ(s.skip(30), 30);
  EXPECT_EQ(s.skip(1000), 70);
  EXPECT_EQ(s.position(), 100);
  const char* p = nullptr;
  EXPECT_EQ(s.read(p, 1, 1), -1);
}

TEST_P(AnyStream, EmptyInputEndsAtOnce) {
  StreamSource source(GetParam(), "");
  const char* p = nullptr;
  EXPECT_EQ(source.stream().read(p, 8, 8), -1);
  EXPECT_EQ(source.stream().status(), Strigi::Eof);
  EXPECT_EQ(source.stream().size(), 0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, AnyStream, ::testing::Values("file", "pipe"));

class FileStream : public ::testing::Test {
 protected:
  // Opens a stream over a new file holding data.
  FileInputStream& open(const std::string& data) {
    m_fd = ::open(m_dir.write("f" + std::to_string(m_count++), data).c_str(), O_RDWR | O_CLOEXEC);
    m_stream.open(m_fd, static_cast<int64_t>(data.size()));
    return m_stream;
  }
  ~FileStream() override {
    m_stream.close();
    if (m_fd >= 0) close(m_fd);
  }
  TempDir m_dir;
  int m_fd = -1;
  int m_count = 0;
  FileInputStream m_stream;
};

TEST_F(FileStream, SizeIsKnownAtOpenAndResetGoesAnywhereWithin) {
  FileInputStream& s = open(pattern(5000));
  EXPECT_EQ(s.size(), 5000);
  EXPECT_EQ(s.reset(4990), 4990);
  const char* p = nullptr;
  EXPECT_EQ(s.read(p, 10, 10), 10);
  EXPECT_EQ(bytesAt(p, 10), pattern(5000).substr(4990));
  EXPECT_EQ(s.reset(5000), 5000);
  EXPECT_EQ(s.reset(5001), 5000);
  EXPECT_EQ(s.reset(-1), 5000);
}

TEST_F(FileStream, RequestsNearTheStartAreReadNotMapped) {
  FileInputStream& s = open(pattern(4 << 20));
  const char* p = nullptr;
  for (int32_t n = 8; n < 400000; n += 30000) {
    ASSERT_EQ(s.read(p, n, n), n);
    s.reset(0);
  }
  EXPECT_FALSE(s.mapped());
}

TEST_F(FileStream, RequestFarPastTheReadBytesIsServedFromAMapping) {
  const std::string data = pattern(4 << 20);
  FileInputStream& s = open(data);
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  s.reset(0);
  ASSERT_EQ(s.read(p, 4 << 20, 4 << 20), 4 << 20);
  EXPECT_TRUE(s.mapped());
  EXPECT_EQ(bytesAt(p + (3 << 20), 100), data.substr(3 << 20, 100));
  // The mapping goes with the file.
  s.close();
  EXPECT_FALSE(s.mapped());
}

TEST_F(FileStream, ReadsPastTwoGigabytesAfterAFarReset) {
  // A sparse file: only the header at 3 GiB is written.
  const int64_t far = 3LL << 30;
  const std::string path = m_dir.write("sparse", "");
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_EQ(ftruncate(fd, far + 4096), 0);
  ASSERT_EQ(pwrite(fd, "\0\0\0\x10moov", 8, far), 8);
  FileInputStream s;
  s.open(fd, far + 4096);
  ASSERT_EQ(s.reset(far), far);
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  EXPECT_EQ(bytesAt(p, 8), std::string("\0\0\0\x10moov", 8));
  EXPECT_EQ(s.reset(0), 0);
  s.close();
  close(fd);
}

TEST_F(FileStream, FileShorterThanAtOpenIsAnErrorForGood) {
  FileInputStream& s = open(pattern(50000));
  ASSERT_EQ(ftruncate(m_fd, 10), 0);
  const char* p = nullptr;
  EXPECT_EQ(s.read(p, 20000, 20000), -2);
  EXPECT_EQ(s.status(), Strigi::Error);
  EXPECT_NE(std::string(s.error()), "");
  EXPECT_EQ(s.reset(0), 0);
  EXPECT_EQ(s.status(), Strigi::Error);
  EXPECT_EQ(s.read(p, 1, 1), -2);
}

TEST_F(FileStream, ServesOneFileAfterAnother) {
  open(pattern(300000));
  const char* p = nullptr;
  ASSERT_EQ(m_stream.read(p, 300000, 300000), 300000);
  m_stream.close();
  close(m_fd);
  FileInputStream& s = open("second file");
  EXPECT_FALSE(s.mapped());
  EXPECT_EQ(s.status(), Strigi::Ok);
  ASSERT_EQ(s.read(p, 100, 100), 11);
  EXPECT_EQ(bytesAt(p, 11), "second file");
}

TEST(PipeStream, SizeIsKnownOnceTheLastByteHasBeenRead) {
  StreamSource source("pipe", pattern(100));
  Strigi::InputStream& s = source.stream();
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  EXPECT_EQ(s.size(), -1);
  ASSERT_EQ(s.read(p, 92, 92), 92);
  EXPECT_EQ(s.size(), 100);
}

TEST(PipeStream, ResetOnlyWithinTheBytesReadSoFar) {
  StreamSource source("pipe", pattern(200000));
  Strigi::InputStream& s = source.stream();
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 16, 16), 16);
  EXPECT_EQ(s.reset(0), 0);
  EXPECT_EQ(s.reset(150000), 0);
  EXPECT_EQ(s.reset(1LL << 32), 0);
  EXPECT_EQ(s.position(), 0);
}

TEST(PipeStream, ReadErrorIsAnErrorForGood) {
  TempDir dir;
  // Reading a directory fails; the stream does not know it is one.
  const int fd = open(dir.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  BufferedInputStream s;
  s.open(fd);
  const char* p = nullptr;
  EXPECT_EQ(s.read(p, 8, 8), -2);
  EXPECT_EQ(s.status(), Strigi::Error);
  EXPECT_NE(std::string(s.error()).find("read error"), std::string::npos);
  s.reset(0);
  EXPECT_EQ(s.read(p, 8, 8), -2);
  s.close();
  close(fd);
}

}  // namespace
