// Files beyond 2 and 4 GiB, as cameras and phones write them: the movie box
// last, behind gigabytes of media data. The files are made sparse at test
// time and must give, through the host's file stream and mp4meta, exactly
// what the same movie box gives in a small file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <sstream>

#include "test_files.h"

namespace {

using namespace mp4test;

TEST(LargeFile, GivesWhatTheSmallFileGives) {
  const Track video{"vide", 600, 7200, stsd({videoEntry("avc1", 1920, 1080)})};
  const Track sound{"soun", 48000, 576000, stsd({audioEntry("mp4a", 2, 16, 48000u << 16)})};
  const Bytes moov = movie({video, sound}, {textItem("\251nam", "Holiday")}, 1000, 12000);
  hosttest::TempDir dir;
  std::vector<std::string> args = {"--json",
                                   dir.write("small.mp4", ftyp() + box("mdat", "") + moov)};
  // 3 GB with a 32-bit size, the largest 32-bit size, 5 GB with a 64-bit
  // size, all before the movie; and 3 GB after it, to the end of the file.
  for (const uint64_t mediaSize : {3000000000ull, 0xFFFFFFFFull, 5000000000ull, 0ull}) {
    const uint64_t size = mediaSize ? mediaSize : 3000000000ull;
    const Bytes mdat = size > UINT32_MAX ? be32(1) + "mdat" + be64(size)
                                         : be32(static_cast<uint32_t>(size)) + "mdat";
    // The movie's bytes before and after the media data; a hole between.
    const Bytes head = mediaSize ? ftyp() + mdat : ftyp() + moov + mdat;
    const Bytes tail = mediaSize ? moov : "";
    const uint64_t tailAt = head.size() - mdat.size() + size;
    const std::string path = dir.write(std::to_string(mediaSize) + ".mp4", head);
    const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
    struct stat st;
    const bool sparse =
        pwrite(fd, tail.data(), tail.size(), tailAt) == static_cast<ssize_t>(tail.size()) &&
        ftruncate(fd, tailAt + tail.size()) == 0 && fstat(fd, &st) == 0 &&
        st.st_blocks * 512 < (1 << 20);
    close(fd);
    if (!sparse) GTEST_SKIP() << "cannot make a sparse file of " << tailAt << " bytes here";
    args.push_back(path);
  }
  // An empty standard error also says the stream came back at its start.
  const hosttest::RunResult run = hosttest::runMp4meta(args);
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.err, "");
  std::vector<std::string> fields;
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);)
    fields.push_back(line.substr(line.find("\"fields\"")));
  ASSERT_NE(fields.at(0).find("\"content.mime_type\": [\"video/mp4\"]"), std::string::npos);
  EXPECT_EQ(fields, std::vector<std::string>(5, fields[0]));
}

}  // namespace
