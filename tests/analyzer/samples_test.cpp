#include <gtest/gtest.h>
#include <strigi/stringstream.h>

#include <map>
#include <regex>
#include <sstream>

#include "boxes.h"
#include "recording.h"

namespace mp4test {
namespace {

Bytes sample(const std::string& name) {
  return readFile(std::string(MP4_SAMPLES_DIR) + "/" + name);
}

// What expected.txt says of one sample: its reports (a value "<N bytes>"
// stands for any N bytes) and its lines on standard error.
struct Expected {
  Log log;
  std::string diagnostics;
};

Kind kindOf(const std::string& key) {
  static const std::map<std::string, Kind> kinds = {
      {"TODO_video.duration", Kind::Int32}, {"media.duration", Kind::Int32},
      {"image.width", Kind::Int32},         {"image.height", Kind::Int32},
      {"audio.channel_count", Kind::Int32}, {"user.rating", Kind::Int32},
      {"media.sample_rate", Kind::UInt32}};
  const auto found = kinds.find(key);
  return found == kinds.end() ? Kind::String : found->second;
}

std::map<std::string, Expected> parseExpected() {
  std::map<std::string, Expected> samples;
  std::istringstream in(sample("expected.txt"));
  const std::regex stderrLine(R"re(# stderr: (\d+) spaces, then "(.*)" \(.*)re");
  Expected* current = nullptr;
  std::string line;
  std::smatch m;
  while (std::getline(in, line)) {
    if (line.size() > 2 && line.front() == '[' && line.back() == ']') {
      current = &samples[line.substr(1, line.size() - 2)];
    } else if (current && std::regex_match(line, m, stderrLine)) {
      const std::string text = std::regex_replace(m[2].str(), std::regex(R"(\\xa9)"), "\251");
      current->diagnostics += std::string(std::stoul(m[1].str()), ' ') + text + "\n";
    } else if (current && !line.empty() && line[0] != '#') {
      const size_t tab = line.find('\t');
      const std::string key = line.substr(0, tab);
      current->log.push_back({key, kindOf(key), line.substr(tab + 1)});
    }
  }
  return samples;
}

// Equal, but for "<N bytes>" values, which match any value of N bytes.
bool matches(const Report& expected, const Report& actual) {
  static const std::regex placeholder(R"(<(\d+) bytes>)");
  std::smatch m;
  if (std::regex_match(expected.value, m, placeholder)) {
    return expected.key == actual.key && expected.kind == actual.kind &&
           actual.value.size() == std::stoul(m[1].str());
  }
  return expected == actual;
}

struct SampleRun {
  Log log;
  std::string diagnostics;
};

SampleRun analyze(const std::string& name) {
  const Bytes bytes = sample(name);
  Strigi::StringInputStream in(bytes.data(), static_cast<int32_t>(bytes.size()), false);
  Harness harness;
  testing::internal::CaptureStderr();
  Log log = harness.run(&in);
  return {std::move(log), testing::internal::GetCapturedStderr()};
}

class Sample : public testing::TestWithParam<const char*> {};

TEST_P(Sample, ReportsWhatExpectedTxtLists) {
  const std::map<std::string, Expected> all = parseExpected();
  ASSERT_EQ(all.count(GetParam()), 1u) << "no entry in expected.txt";
  const Expected& expected = all.at(GetParam());
  const SampleRun run = analyze(GetParam());
  EXPECT_EQ(run.diagnostics, expected.diagnostics);
  ASSERT_EQ(run.log.size(), expected.log.size()) << testing::PrintToString(run.log);
  for (size_t i = 0; i < run.log.size(); ++i) {
    EXPECT_TRUE(matches(expected.log[i], run.log[i]))
        << "report " << i << ": expected " << testing::PrintToString(expected.log[i]) << ", got "
        << testing::PrintToString(run.log[i]);
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, Sample,
                         testing::Values("av-h264-aac.mp4", "av-mpeg4.mp4", "h263-amr.3gp",
                                         "movie.mov", "movie-moov-first.mov", "fragmented.ismv",
                                         "song-atomicparsley.m4a", "song-mutagen.m4a",
                                         "song-ffmpeg.m4a"));

TEST(Samples, ExpectedTxtCoversEverySample) { EXPECT_EQ(parseExpected().size(), 9u); }

// The values of the first reports under key.
std::vector<std::string> valuesOf(const Log& log, const std::string& key) {
  std::vector<std::string> values;
  for (const Report& r : log) {
    if (r.key == key) values.push_back(r.value);
  }
  return values;
}

// expected.txt gives covers by their size only: they are the very images
// the taggers stored.
TEST(Samples, CoversAreTheStoredImages) {
  const std::vector<std::string> parsley =
      valuesOf(analyze("song-atomicparsley.m4a").log, "content.thumbnail");
  ASSERT_EQ(parsley.size(), 1u);
  EXPECT_EQ(parsley[0].substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(parsley[0].substr(parsley[0].size() - 2), "\xFF\xD9");
  const std::vector<std::string> mutagen =
      valuesOf(analyze("song-mutagen.m4a").log, "content.thumbnail");
  ASSERT_EQ(mutagen.size(), 2u);
  EXPECT_EQ(mutagen[0].substr(0, 2), "\xFF\xD8");
  EXPECT_EQ(mutagen[1].substr(0, 4), "\x89PNG");
}

}  // namespace
}  // namespace mp4test
