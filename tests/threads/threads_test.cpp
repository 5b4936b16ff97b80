// Analyzers from the loaded MP4 module running on many threads at once, as
// an indexer runs them: each thread has its own pipeline (analyzers,
// streams, result), all share the module and its field handles. Files are
// read through the file stream, from memory and through a pipe. Every
// thread must get exactly what one thread alone gets, for every file, and
// the walker's diagnostic lines must come out whole.
#include <gtest/gtest.h>
#include <mp4host/pipeline.h>
#include <strigi/stringstream.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "test_files.h"

namespace {

using namespace mp4test;
namespace fs = std::filesystem;

constexpr int kThreads = 8;
constexpr int kRounds = 40;

// Files of many shapes besides the samples: a 64-bit size with the movie
// last, cut short, stray bytes, a container child past its end.
std::vector<std::pair<std::string, Bytes>> syntheticFiles() {
  const Bytes song = hosttest::taggedSong("Title", 10);
  const Bytes film =
      ftyp() + largeBox("mdat", zeros(2000)) + movie({videoTrack(), soundTrack()}, {}, 600, 6000);
  return {
      {"film.mp4", film},
      {"cut.mp4", film.substr(0, film.size() - 40)},
      {"stray.m4a", song + "abc"},
      {"past-container.mp4",
       ftyp() + box("moov", {mvhd(1000, 3000), boxWithSizeField(500, "trak", zeros(20))})},
      {"not-mp4.txt", "just some text, not a movie\n"},
  };
}

std::map<std::string, int> countLines(const std::string& text) {
  std::map<std::string, int> counts;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) ++counts[line];
  return counts;
}

class Threads : public testing::Test {
 protected:
  void SetUp() override {
    for (const fs::directory_entry& entry : fs::directory_iterator(SAMPLES_DIR)) {
      const std::string ext = entry.path().extension().string();
      if (ext != ".md" && ext != ".txt") m_paths.push_back(entry.path().string());
    }
    for (const auto& [name, bytes] : syntheticFiles()) m_paths.push_back(m_dir.write(name, bytes));
    std::sort(m_paths.begin(), m_paths.end());
    for (const std::string& path : m_paths) m_contents.push_back(readFile(path));
  }

  // Where a pipeline reads a file from: the file stream, memory, or the
  // pipe stream over a pipe written by another thread.
  enum Source { File, Memory, Pipe };
  static constexpr int kSources = 3;
  static const char* sourceName(int source) {
    return source == File ? "file" : source == Memory ? "memory" : "pipe";
  }

  // What one pipeline gives for a file, with its errors and warnings.
  static std::vector<std::string> analyze(mp4host::Pipeline& pipeline, const std::string& path,
                                          const std::string& contents, int source) {
    bool ok;
    if (source == Memory) {
      Strigi::StringInputStream stream(contents.data(), static_cast<int32_t>(contents.size()),
                                       false);
      ok = pipeline.analyzeStream(stream, path);
    } else if (source == Pipe) {
      ok = hosttest::analyzePipe(pipeline, contents);
    } else {
      ok = pipeline.analyzeFile(path);
    }
    std::vector<std::string> lines = hosttest::describe(pipeline.values());
    if (!ok) lines.push_back("error " + pipeline.error());
    for (const std::string& warning : pipeline.warnings()) lines.push_back("warning " + warning);
    return lines;
  }

  hosttest::TempDir m_dir;
  std::vector<std::string> m_paths;
  std::vector<std::string> m_contents;
};

TEST_F(Threads, EveryThreadGetsWhatOneThreadGets) {
  hosttest::LoadedModule module;
  ASSERT_EQ(module.plugins.factories().size(), 1u);
  const size_t files = m_paths.size();

  std::vector<std::vector<std::string>> reference(files);
  testing::internal::CaptureStderr();
  {
    mp4host::Pipeline pipeline(module.plugins);
    for (size_t i = 0; i < files; ++i) {
      reference[i] = analyze(pipeline, m_paths[i], m_contents[i], File);
      for (int source : {Memory, Pipe}) {
        EXPECT_EQ(analyze(pipeline, m_paths[i], m_contents[i], source), reference[i])
            << m_paths[i] << " from " << sourceName(source);
      }
    }
  }
  const std::map<std::string, int> referenceLines =
      countLines(testing::internal::GetCapturedStderr());
  ASSERT_FALSE(referenceLines.empty()) << "no file gave a diagnostic line";

  // Half the threads go through the files in the same order, so that they
  // analyse the same file at the same time; the others start elsewhere.
  std::atomic<int> ready{0};
  std::vector<std::vector<std::string>> mismatches(kThreads);
  std::vector<int> analysed(kThreads, 0);
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
          if (analyze(pipeline, m_paths[i], m_contents[i], source) != reference[i]) {
            mismatches[t].push_back(m_paths[i] + " from " + sourceName(source));
          }
          ++analysed[t];
        }
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  const std::map<std::string, int> threadLines = countLines(testing::internal::GetCapturedStderr());

  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[t], std::vector<std::string>{}) << "thread " << t;
    EXPECT_EQ(analysed[t], static_cast<int>(files) * kRounds);
  }
  // Each diagnostic line came out whole, as often as the files give it.
  std::map<std::string, int> expectedLines;
  for (const auto& [line, count] : referenceLines) {
    expectedLines[line] = count / kSources * kThreads * kRounds;
  }
  EXPECT_EQ(threadLines, expectedLines);
}

}  // namespace
