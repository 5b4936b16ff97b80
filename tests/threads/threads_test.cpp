// Analyzers from the loaded MP4 module on many threads at once, as an
// indexer runs them: each thread has its own pipeline, all share the module
// and its field handles. Files are read through the file stream, from
// memory and through a pipe. Every thread must get exactly what one thread
// alone gets, and the walker's diagnostic lines must come out whole.
#include <gtest/gtest.h>
#include <strigi/stringstream.h>

#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>

#include "test_files.h"

namespace {

using namespace mp4test;

constexpr int kThreads = 8;
constexpr int kRounds = 40;
constexpr int kSources = 3;  // the file stream, memory, a pipe

std::map<std::string, int> countLines(const std::string& text) {
  std::map<std::string, int> counts;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) ++counts[line];
  return counts;
}

Log analyze(mp4host::Pipeline& pipeline, const std::string& path, const Bytes& contents,
            int source) {
  Strigi::StringInputStream memory(contents.data(), static_cast<int32_t>(contents.size()), false);
  const bool ok = source == 0   ? pipeline.analyzeFile(path)
                  : source == 1 ? pipeline.analyzeStream(memory, path)
                                : hosttest::analyzePipe(pipeline, contents);
  Log lines = describe(pipeline.values());
  if (!ok) lines.push_back("error " + pipeline.error());
  for (const std::string& warning : pipeline.warnings()) lines.push_back("warning " + warning);
  return lines;
}

TEST(Threads, EveryThreadGetsWhatOneThreadGets) {
  // The samples (two of them give a diagnostic line) and expected.txt, not
  // an MP4 file.
  std::vector<std::string> paths;
  std::vector<Bytes> contents;
  for (const auto& entry : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    if (entry.path().extension() == ".md") continue;
    paths.push_back(entry.path());
    contents.push_back(readFile(entry.path()));
  }
  const size_t files = paths.size();
  hosttest::LoadedModule module;
  std::vector<Log> reference(files);
  testing::internal::CaptureStderr();
  {
    mp4host::Pipeline pipeline(module.plugins);
    for (size_t i = 0; i < files; ++i) reference[i] = analyze(pipeline, paths[i], contents[i], 0);
  }
  const std::map<std::string, int> referenceLines =
      countLines(testing::internal::GetCapturedStderr());
  ASSERT_FALSE(referenceLines.empty()) << "no file gave a diagnostic line";

  // Half the threads go through the files in the same order, so that they
  // analyse the same file at the same time; the others start elsewhere.
  // Each thread reads each file from each source in turn.
  std::atomic<int> ready{0};
  std::vector<std::vector<std::string>> mismatches(kThreads);
  testing::internal::CaptureStderr();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      mp4host::Pipeline pipeline(module.plugins);
      ++ready;
      while (ready.load() < kThreads) std::this_thread::yield();
      for (int round = 0; round < kRounds; ++round) {
        const size_t first = t % 2 == 0 ? 0 : static_cast<size_t>(t * 3 + round);
        for (size_t k = 0; k < files; ++k) {
          const size_t i = (first + k) % files;
          const int source = (round + t / 2) % kSources;
          if (analyze(pipeline, paths[i], contents[i], source) != reference[i]) {
            mismatches[t].push_back(paths[i] + " from source " + std::to_string(source));
          }
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::map<std::string, int> threadLines = countLines(testing::internal::GetCapturedStderr());
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(mismatches[t], std::vector<std::string>{}) << t;
  // Each diagnostic line came out whole, as often as the files give it.
  std::map<std::string, int> expectedLines = referenceLines;
  for (auto& [line, count] : expectedLines) count *= kThreads * kRounds;
  EXPECT_EQ(threadLines, expectedLines);
}

}  // namespace
