// The committed samples, written by real encoders and taggers, against
// expected.txt, which was derived from their box listings.
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

// Per sample: its reports (a value "<N bytes>" stands for any N bytes) and
// its lines on standard error.
std::map<std::string, std::pair<Log, std::string>> parseExpected() {
  const std::map<std::string, std::string> kinds = {
      {"TODO_video.duration", "int"}, {"media.duration", "int"},      {"image.width", "int"},
      {"image.height", "int"},        {"audio.channel_count", "int"}, {"user.rating", "int"},
      {"media.sample_rate", "uint"}};
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
      const std::string key = line.substr(0, line.find('\t'));
      const auto kind = kinds.find(key);
      current->first.push_back(key + " " + (kind == kinds.end() ? "text" : kind->second) + " " +
                               line.substr(key.size() + 1));
    }
  }
  return samples;
}

TEST(Samples, ReportWhatExpectedTxtLists) {
  const auto all = parseExpected();
  EXPECT_EQ(all.size(), 9u);
  const std::regex placeholder(R"((.* text )<(\d+) bytes>)");
  for (const auto& [name, expected] : all) {
    const Bytes bytes = sample(name);
    Strigi::StringInputStream in(bytes.data(), static_cast<int32_t>(bytes.size()), false);
    testing::internal::CaptureStderr();
    Log log = Harness().run(&in);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), expected.second) << name;
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

}  // namespace
}  // namespace mp4test
