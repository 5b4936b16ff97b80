// The committed samples, written by real encoders and taggers, against
// expected.txt, which was derived from their box listings. Then damaged
// files: every sample and a synthetic movie cut at each top-level box
// boundary and at points inside each header and box, given stray trailing
// bytes, or read through streams that fail part-way. The oracle is the
// analyzer on the undamaged file the damage leaves: for a cut, the complete
// top-level boxes before it, whose reports must come out exactly, without
// the mime type, since the intake did not reach the end.
#include <gtest/gtest.h>
#include <strigi/stringstream.h>

#include <map>
#include <regex>
#include <sstream>

#include "test_files.h"

namespace mp4test {
namespace {

Bytes sample(const std::string& name) {
  return readFile(std::string(MP4_SAMPLES_DIR) + "/" + name);
}

// Per sample: its reports as "KEY<TAB>VALUE" lines (a value "<N bytes>"
// stands for any N bytes) and its lines on standard error.
std::map<std::string, std::pair<Log, std::string>> parseExpected() {
  std::map<std::string, std::pair<Log, std::string>> samples;
  std::istringstream in(sample("expected.txt"));
  const std::regex stderrLine(R"re(# stderr: (\d+) spaces, then "(.*)" \(.*)re");
  std::pair<Log, std::string>* current = nullptr;
  std::smatch m;
  for (std::string line; std::getline(in, line);) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      current = &samples[line.substr(1, line.size() - 2)];
    } else if (current && std::regex_match(line, m, stderrLine)) {
      current->second += std::string(std::stoul(m[1].str()), ' ') +
                         std::regex_replace(m[2].str(), std::regex(R"(\\xa9)"), "\251") + "\n";
    } else if (current && !line.empty() && line[0] != '#') {
      current->first.push_back(line);
    }
  }
  return samples;
}

TEST(Samples, ReportWhatExpectedTxtLists) {
  const auto all = parseExpected();
  EXPECT_EQ(all.size(), 9u);
  const std::regex placeholder(R"((.*\t)<(\d+) bytes>)"), kind(R"(^(\S+) \S+ )");
  for (const auto& [name, expected] : all) {
    const Bytes bytes = sample(name);
    Strigi::StringInputStream in(bytes.data(), static_cast<int32_t>(bytes.size()), false);
    testing::internal::CaptureStderr();
    Log log = Harness().run(&in);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected.second) << name;
    // The kind of each key's values is the synthetic tests' to pin.
    for (std::string& line : log) line = std::regex_replace(line, kind, "$1\t");
    // Covers are given by their size, and are the very images stored.
    std::smatch m;
    for (size_t i = 0; i < log.size() && i < expected.first.size(); ++i) {
      if (!std::regex_match(expected.first[i], m, placeholder)) continue;
      const std::string image = log[i].substr(std::min(log[i].size(), m[1].str().size()));
      EXPECT_TRUE(image.rfind("\xFF\xD8", 0) == 0 || image.rfind("\x89PNG", 0) == 0) << name;
      log[i] = m[1].str() + "<" + std::to_string(image.size()) + " bytes>";
    }
    EXPECT_EQ(log, expected.first) << name;
  }
}

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
  for (const auto& [name, expected] : parseExpected()) files[name] = sample(name);
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
}  // namespace mp4test
