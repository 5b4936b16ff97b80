// The paths taken for speed: the file stream's switch from its buffer to a
// mapping under every request pattern an analyzer can make, the vector
// base64 encoder against a plain one, and mp4meta's output with the fast
// stream against the plain buffered one.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <mp4host/file_stream.h>
#include <mp4host/report_format.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "test_files.h"

namespace {

using hosttest::TempDir;
using mp4host::FileInputStream;

std::string pattern(size_t n) {
  std::string s(n, '\0');
  uint32_t x = 12345;
  for (size_t i = 0; i < n; ++i) {
    x = x * 1103515245u + 12345u;
    s[i] = static_cast<char>(x >> 24);
  }
  return s;
}

// One step of a request pattern: move to position, then read(min, max).
struct Request {
  int64_t position;
  int32_t min;
  int32_t max;
  bool mappedAfter;  // whether the stream serves from a mapping afterwards
};

struct RequestCase {
  const char* name;
  std::vector<Request> requests;
};

constexpr int64_t kFileSize = 3 << 20;
constexpr int32_t kInit = static_cast<int32_t>(FileInputStream::kInitialRead);
constexpr int32_t kAhead = static_cast<int32_t>(FileInputStream::kReadAhead);
constexpr int32_t kGap = static_cast<int32_t>(FileInputStream::kMaxGap);

class FileStreamRequests : public ::testing::TestWithParam<RequestCase> {};

// Every read hands out exactly the file's bytes at the position, however
// the stream came to hold them, and keeps the position contract.
TEST_P(FileStreamRequests, HandOutTheFilesBytes) {
  const std::string data = pattern(kFileSize);
  TempDir dir;
  const int fd = open(dir.write("f", data).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  FileInputStream s;
  s.open(fd, kFileSize);
  for (const Request& r : GetParam().requests) {
    SCOPED_TRACE("request at " + std::to_string(r.position) + " for " + std::to_string(r.min));
    ASSERT_EQ(s.reset(r.position), r.position);
    const char* p = nullptr;
    const int32_t n = s.read(p, r.min, r.max);
    const int64_t left = kFileSize - r.position;
    ASSERT_GE(n, std::min<int64_t>(r.min, left));
    ASSERT_LE(n, r.max >= r.min ? std::min<int64_t>(r.max, left) : left);
    ASSERT_EQ(std::string(p, static_cast<size_t>(n)),
              data.substr(static_cast<size_t>(r.position), static_cast<size_t>(n)));
    EXPECT_EQ(s.position(), r.position + n);
    EXPECT_EQ(s.mapped(), r.mappedAfter);
  }
  s.close();
  close(fd);
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, FileStreamRequests,
    ::testing::Values(
        // The analyzer's reads of a song with its movie box first: header,
        // box, next header, then the whole media data, which maps.
        RequestCase{"MovieFirst",
                    {{0, 1, 1024, false},
                     {0, 8, 8, false},
                     {0, 40, 40, false},
                     {0, 30000, 30000, false},
                     {0, 30008, 30008, false},
                     {0, 2000000, 2000000, true},
                     {0, 8, 8, true}}},
        // Movie box after the media data: the media data maps at once.
        RequestCase{"MovieLast",
                    {{0, 8, 8, false},
                     {0, 2900000, 2900000, true},
                     {0, 2900008, 2900008, true},
                     {0, static_cast<int32_t>(kFileSize), static_cast<int32_t>(kFileSize), true}}},
        // Requests that end on and just past the buffered bytes (the first
        // read buffers kReadAhead bytes past its end), and one that starts
        // past them.
        RequestCase{"StraddleTheBufferEnd",
                    {{0, 100, 100, false},
                     {100 + kAhead - 6, 6, 6, false},
                     {100 + kAhead - 6, 12, 12, false},
                     {0, kInit * 3, kInit * 3, false},
                     {kInit * 3 + kAhead + 10, 8, 8, true},
                     {0, kInit * 3 + kAhead + 18, kInit * 3 + kAhead + 18, true}}},
        // A request that reaches exactly kMaxGap past the buffered bytes is
        // read; one byte more maps.
        RequestCase{
            "GapLimit",
            {{0, 8, 8, false},
             {0, kInit + kGap, kInit + kGap, false},
             {0, kInit + kGap + kAhead + kGap + 1, kInit + kGap + kAhead + kGap + 1, true}}},
        // Far moves and back: away from the buffer, then position 0 again.
        RequestCase{"FarResetAndBack",
                    {{0, 8, 8, false},
                     {2000000, 16, 16, true},
                     {0, 8, 8, true},
                     {kFileSize - 8, 8, 8, true}}},
        // After a view is made for the media data: bytes before its window
        // (from the mapping), across the window's start, the window read on
        // a little, then moved far ahead, and a large read back from 0.
        RequestCase{"InAndAroundAView",
                    {{0, 8, 8, false},
                     {0, 2000000, 2000000, true},
                     {100, 1000, 1000, true},
                     {1990000, 20000, 20000, true},
                     {0, 2000000 + kGap, 2000000 + kGap, true},
                     {0, 2900000, 2900000, true},
                     {0, 2900008, 2900008, true},
                     {0, 1000000, 1000000, true}}},
        // No upper limit (max below min): at least min, at most what is left.
        RequestCase{"NoUpperLimit", {{0, 10, 0, false}, {kFileSize - 5, 1, -1, true}}},
        // The last bytes of the file, read from near its end first.
        RequestCase{"TailOnly", {{kFileSize - 100, 100, 100, true}, {0, 100, 100, true}}}),
    [](const ::testing::TestParamInfo<RequestCase>& row) { return row.param.name; });

// One stream over many files in turn, each with its media data viewed
// through a mapping: each shows its own bytes. Then a file whose view is
// too large to keep after it, and one whose end lies beyond the reach of
// views, mapped whole.
TEST(FileStreamViews, ManyFilesInTurnEachShowTheirOwnBytes) {
  TempDir dir;
  FileInputStream s;
  for (int i = 0; i < 30; ++i) {
    // Sizes that are not whole pages, now larger, now smaller than the one
    // before, so that views map over what earlier ones left in every way.
    std::string data = pattern(300000 + static_cast<size_t>((i * 7) % 11) * 40961);
    data[0] = static_cast<char>(i);
    const int fd = open(dir.write("f" + std::to_string(i), data).c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    s.open(fd, static_cast<int64_t>(data.size()));
    const char* p = nullptr;
    ASSERT_EQ(s.read(p, 8, 8), 8);
    s.reset(0);
    const int32_t n = static_cast<int32_t>(data.size());
    ASSERT_EQ(s.read(p, n, n), n) << "file " << i;
    EXPECT_TRUE(s.mapped());
    EXPECT_EQ(std::string(p, data.size()), data) << "file " << i;
    s.close();
    close(fd);
  }
  // A view larger than what is kept after the file, then beyond views.
  for (const int64_t big :
       {FileInputStream::kStaleMapped + 5000, FileInputStream::kViewSpan + 3 * 4096 + 5000}) {
    SCOPED_TRACE(big);
    const int fd = open(dir.write("big" + std::to_string(big), "").c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_EQ(ftruncate(fd, big), 0);
    ASSERT_EQ(pwrite(fd, "tail", 4, big - 4), 4);
    s.open(fd, big);
    ASSERT_EQ(s.reset(big - 4), big - 4);
    const char* p = nullptr;
    ASSERT_EQ(s.read(p, 4, 4), 4);
    EXPECT_TRUE(s.mapped());
    EXPECT_EQ(std::string(p, 4), "tail");
    s.close();
    close(fd);
  }
}

// A file cut short after open: the view's window cannot be read, which is
// an error for good, and nothing touches the mapping past the new end.
TEST(FileStreamViews, FileCutShortUnderAViewIsAnError) {
  TempDir dir;
  const std::string data = pattern(kFileSize);
  const int fd = open(dir.write("f", data).c_str(), O_RDWR | O_CLOEXEC);
  FileInputStream s;
  s.open(fd, kFileSize);
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  ASSERT_EQ(ftruncate(fd, 1 << 20), 0);
  s.reset(0);
  EXPECT_EQ(s.read(p, 2900000, 2900000), -2);
  EXPECT_EQ(s.status(), Strigi::Error);
  EXPECT_NE(std::string(s.error()), "");
  s.close();
  close(fd);
}

// With mapping off the same requests read every byte into the buffer.
TEST(FileStreamPlain, ReadsEveryByteInsteadOfMapping) {
  const std::string data = pattern(kFileSize);
  TempDir dir;
  const int fd = open(dir.write("f", data).c_str(), O_RDONLY | O_CLOEXEC);
  FileInputStream s;
  s.setMapping(false);
  s.open(fd, kFileSize);
  const char* p = nullptr;
  ASSERT_EQ(s.read(p, 8, 8), 8);
  s.reset(0);
  ASSERT_EQ(s.read(p, 2900000, 2900000), 2900000);
  EXPECT_FALSE(s.mapped());
  EXPECT_EQ(std::string(p + 2899000, 1000), data.substr(2899000, 1000));
  ASSERT_EQ(s.reset(kFileSize - 10), kFileSize - 10);
  ASSERT_EQ(s.read(p, 10, 10), 10);
  EXPECT_EQ(std::string(p, 10), data.substr(kFileSize - 10));
  EXPECT_FALSE(s.mapped());
  s.close();
  close(fd);
}

// The plain encoder that the vector ones must match: bit by bit.
std::string referenceBase64(const std::string& in) {
  static const char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  uint32_t bits = 0;
  int count = 0;
  for (unsigned char c : in) {
    bits = (bits << 8) | c;
    count += 8;
    while (count >= 6) {
      count -= 6;
      out += kAlphabet[(bits >> count) & 63];
    }
  }
  if (count > 0) out += kAlphabet[(bits << (6 - count)) & 63];
  while (out.size() % 4 != 0) out += '=';
  return out;
}

TEST(Base64, EveryLengthAndByteMatchesThePlainEncoder) {
  std::mt19937 random(7);
  for (size_t length = 0; length <= 300; ++length) {
    std::string in(length, '\0');
    for (char& c : in) c = static_cast<char>(random());
    std::string out = "prefix";
    mp4host::appendBase64(out, in.data(), in.size());
    ASSERT_EQ(out, "prefix" + referenceBase64(in)) << "length " << length;
  }
  // Every index value in every position of a vector.
  std::string all;
  for (int round = 0; round < 3; ++round) {
    for (int c = 0; c < 256; ++c) all += static_cast<char>((c * (round * 2 + 1)) & 0xFF);
  }
  std::string out;
  mp4host::appendBase64(out, all.data(), all.size());
  EXPECT_EQ(out, referenceBase64(all));
}

// mp4meta reports the same with the mapped stream as with the plain one,
// for every sample and at every job count.
TEST(Mp4metaStreams, MappedAndBufferedReadsGiveTheSameOutput) {
  TempDir dir;
  std::vector<std::string> args = {"--json", SAMPLES_DIR};
  args.push_back(dir.write("song.m4a", hosttest::taggedSong("Song", 90)));
  args.push_back(dir.write("movie.mp4", hosttest::videoFile(640, 480)));
  std::vector<std::string> plain = args;
  plain.insert(plain.begin(), {"--stream=buffered", "--jobs=1"});
  const hosttest::RunResult want = hosttest::runMp4meta(plain);
  ASSERT_EQ(want.status, 0) << want.err;
  for (const char* jobs : {"--jobs=1", "--jobs=3"}) {
    std::vector<std::string> fast = args;
    fast.insert(fast.begin(), jobs);
    const hosttest::RunResult got = hosttest::runMp4meta(fast);
    EXPECT_EQ(got.status, 0) << got.err;
    EXPECT_EQ(got.out, want.out) << jobs;
  }
}

}  // namespace
