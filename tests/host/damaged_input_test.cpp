// Damaged files. Every sample and a synthetic movie are cut at each
// top-level box boundary and at points inside each header and box, given
// stray trailing bytes, or read through streams that fail part-way. The
// oracle is the analyzer on the undamaged file the damage leaves: for a
// cut, the complete top-level boxes before it, whose reports must come out
// exactly, without the mime type, since the intake did not reach the end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>

#include "test_files.h"

namespace {

using namespace mp4test;

// The cut points of a file, each with the end of the complete top-level
// boxes before it: every boundary but the end, and inside each box its
// header and payload at their starts, middles and ends. Empty unless the
// boxes tile the file, none of them with a size field of 0.
std::map<size_t, size_t> cutPoints(const Bytes& file) {
  const auto word = [&](size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(file[at + i]);
    return v;
  };
  std::map<size_t, size_t> cuts;
  for (size_t at = 0, end; at < file.size(); at = end) {
    const size_t h = file.size() - at >= 8 && word(at, 4) == 1 ? 16 : 8;
    if (file.size() - at < h) return {};
    end = at + (h == 16 ? word(at + 8, 8) : word(at, 4));
    if (end < at + h || end > file.size()) return {};
    for (size_t in : {size_t{1}, size_t{4}, h - 1, h, h + 1, (end - at) / 2, end - at - 1}) {
      if (at + in < end) cuts.emplace(at + in, at);
    }
    cuts.emplace(end, end);
  }
  cuts.erase(file.size());
  return cuts;
}

std::map<std::string, Bytes> sources() {
  // The mime type changes along the file: sound first, video after 64-bit
  // media data.
  const Track sound{"soun", 48000, 96000, stsd({audioEntry("mp4a", 1, 16, 48000u << 16)})};
  const Track video{"vide", 600, 1200, stsd({videoEntry("avc1", 640, 360)})};
  std::map<std::string, Bytes> files = {
      {"synth", ftyp() + box("free", "") + movie({sound}, {}, 600, 1200) +
                    largeBox("mdat", zeros(300)) + movie({video}, {}, 600, 1800)}};
  for (const auto& entry : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".md" && ext != ".txt") files[entry.path().filename()] = readFile(entry.path());
  }
  return files;
}

Log withoutMimeType(Log log) {
  if (!log.empty() && log.back().rfind("content.mime_type ", 0) == 0) log.pop_back();
  return log;
}

// Cut files and files with stray bytes through streams of known size and of
// a size learnt at the end (a pipe's). A read that fails at an offset ends
// the intake like a cut there, though the stream is not at its end: without
// the mime type, also at a boundary.
TEST(DamagedInput, AnalyzerReportsWhatTheUndamagedPartGives) {
  testing::internal::CaptureStderr();
  for (const auto& [name, file] : sources()) {
    const std::map<size_t, size_t> cuts = cutPoints(file);
    const Log whole = Harness().run(file);
    ASSERT_FALSE(cuts.empty()) << name;
    ASSERT_EQ(whole.back().rfind("content.mime_type", 0), 0u) << name;
    for (const auto& [cut, complete] : cuts) {
      const Log prefix = Harness().run(file.substr(0, complete));
      for (auto size : {TestStream::Known, TestStream::LearntAtEnd}) {
        EXPECT_EQ(Harness().run(file.substr(0, cut), size),
                  complete == cut ? prefix : withoutMimeType(prefix))
            << name << " cut at " << cut << " " << size;
      }
      for (auto size : {TestStream::Known, TestStream::NeverKnown}) {
        TestStream in(file, size, static_cast<int64_t>(cut));
        EXPECT_EQ(Harness().run(&in), withoutMimeType(prefix))
            << name << " failing at " << cut << " " << size;
      }
    }
    for (size_t n = 1; n <= 7; ++n) {
      for (const Bytes& stray : {(be32(8) + "fre").substr(0, n), zeros(n)}) {
        for (auto size : {TestStream::Known, TestStream::LearntAtEnd}) {
          EXPECT_EQ(Harness().run(file + stray, size), withoutMimeType(whole)) << name << " " << n;
        }
      }
    }
  }
  testing::internal::GetCapturedStderr();
}

}  // namespace
