// Files beyond 2 and 4 GiB, as cameras and phones write them: the movie box
// last, behind gigabytes of media data. The files are made sparse at test
// time (the media data is a hole), and must give, through the host's file
// stream and through mp4meta, exactly what the same movie box gives in a
// small file. A stream that keeps to the letter of the interface cannot go
// that far: it ends the intake without a mime type and is handed back at its
// start (streams that go back only within what they read are the intake
// test's).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "recording.h"
#include "streams.h"
#include "test_files.h"

namespace {

using hosttest::TempDir;
using namespace mp4test;

// A movie with a video and a sound track and a few tags.
Bytes theMovie() {
  const Track video{"vide", 600, 7200, stsd({videoEntry("avc1", 1920, 1080)})};
  const Track sound{"soun", 48000, 576000, stsd({audioEntry("mp4a", 2, 16, 48000u << 16)})};
  return movie({video, sound},
               {textItem("\251nam", "Holiday"), textItem("\251too", "Phone camera"),
                item("trkn", {data(0, zeros(2) + be16(1) + be16(1) + zeros(2))})},
               1000, 12000);
}

Bytes smallFile() { return ftyp() + box("mdat", zeros(100)) + theMovie(); }

// A new file holding head at 0 and tail at offset, with a hole between;
// empty when the file system will not have it so (the hole takes disk).
std::string writeSparse(const TempDir& dir, const std::string& name, const Bytes& head,
                        int64_t offset, const Bytes& tail) {
  const std::string path = dir.write(name, "");
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  struct stat st;
  const bool ok =
      fd >= 0 && pwrite(fd, head.data(), head.size(), 0) == static_cast<ssize_t>(head.size()) &&
      pwrite(fd, tail.data(), tail.size(), offset) == static_cast<ssize_t>(tail.size()) &&
      fstat(fd, &st) == 0 && st.st_blocks * 512 < (1 << 20);
  if (fd >= 0) close(fd);
  if (!ok) unlink(path.c_str());
  return ok ? path : "";
}

struct LargeFile {
  const char* name;
  uint64_t mediaSize;  // of the media data box, header included
  bool largeSize;      // the media data box has a 64-bit size
};

class LargeFileTest : public testing::TestWithParam<LargeFile> {
 protected:
  void SetUp() override {
    const LargeFile& p = GetParam();
    const Bytes head = ftyp() + (p.largeSize ? be32(1) + "mdat" + be64(p.mediaSize)
                                             : be32(static_cast<uint32_t>(p.mediaSize)) + "mdat");
    const int64_t movieAt = static_cast<int64_t>(ftyp().size() + p.mediaSize);
    m_large = writeSparse(m_dir, std::string(p.name) + ".mp4", head, movieAt, theMovie());
    if (m_large.empty())
      GTEST_SKIP() << "cannot make a sparse file of " << movieAt << " bytes here";
    m_small = m_dir.write("small.mp4", smallFile());
  }

  TempDir m_dir;
  std::string m_large;
  std::string m_small;
};

// Through mp4meta and so the host's file stream; an empty standard error
// also says that the analyzer handed the stream back at its start.
TEST_P(LargeFileTest, GivesWhatTheSmallFileGives) {
  const hosttest::RunResult run = hosttest::runMp4meta({"--json", m_small, m_large});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  const size_t split = run.out.find('\n') + 1;
  const std::string small = run.out.substr(0, split);
  const std::string large = run.out.substr(split);
  EXPECT_EQ(large.substr(0, large.find("\"fields\"")), "{\"path\": \"" + m_large + "\", ");
  // Same fields, same values, in the same order.
  const auto fields = [](const std::string& line) { return line.substr(line.find("\"fields\"")); };
  EXPECT_EQ(fields(large), fields(small));
  EXPECT_NE(small.find("\"content.mime_type\": [\"video/mp4\"]"), std::string::npos) << small;
}

INSTANTIATE_TEST_SUITE_P(SparseFiles, LargeFileTest,
                         testing::Values(
                             // 3 GB of media data with a 32-bit size: the movie lies past 2 GiB.
                             LargeFile{"ThreeGB", 3000000000u, false},
                             // The largest 32-bit size: the movie begins past 4 GiB.
                             LargeFile{"Past4GiB", 0xFFFFFFFFu, false},
                             // 5 GB of media data with a 64-bit size.
                             LargeFile{"FiveGB", 5000000000u, true}),
                         [](const testing::TestParamInfo<LargeFile>& row) {
                           return std::string(row.param.name);
                         });

// The interface only promises resets within the bytes of the last read. A
// stream that keeps to that cannot come back to its start from a box it
// would be moved to, so it is never moved there, not even to a box whose
// start lies within the header just read.
struct WindowCase {
  const char* name;
  Bytes far;        // placed after ftyp and a complete movie
  int64_t size;     // of the stream from there on
  int64_t movieAt;  // a second movie this far from there, if not 0
};

class LastReadWindow : public testing::TestWithParam<WindowCase> {};

TEST_P(LastReadWindow, BoxPastTwoGiBEndsWithoutMimeTypeAtTheStart) {
  const Bytes head = ftyp() + theMovie();
  const Log complete = Harness().run(head);
  ASSERT_EQ(complete.back(), str("content.mime_type", "video/mp4"));
  const WindowCase& c = GetParam();
  const int64_t at = static_cast<int64_t>(head.size());
  SparseStream in(at + c.size, SparseStream::WithinLastRead);
  in.place(0, head + c.far);
  if (c.movieAt != 0) in.place(at + c.movieAt, theMovie());
  // run() also checks that the stream came back at position 0.
  EXPECT_EQ(Harness().run(&in), Log(complete.begin(), complete.end() - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Streams, LastReadWindow,
    testing::Values(WindowCase{"MovieAcross2GiB", be32(0x7FFFFFFFu) + "moov", 0x7FFFFFFF, 0},
                    WindowCase{"LargeMovieAcross2GiB", be32(1) + "moov" + be64(3000000000u),
                               3000000000, 0},
                    WindowCase{"MovieAfter3GBOfMedia", be32(3000000000u) + "mdat",
                               3000000000 + static_cast<int64_t>(theMovie().size()), 3000000000}),
    [](const testing::TestParamInfo<WindowCase>& row) { return std::string(row.param.name); });

}  // namespace
