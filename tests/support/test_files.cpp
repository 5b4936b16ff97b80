#include "test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace mp4test {

Log describe(const mp4host::ValueRecorder& recorder) {
  static const char* const kKinds[] = {" text ", " int ", " uint ", " real ", " pair "};
  Log lines;
  for (const mp4host::RecordedValue& v : recorder.values()) {
    std::string line = (v.field ? v.field->key() : "(null field)") + kKinds[v.kind];
    if (v.kind == v.Text) line += std::string(recorder.bytes(v), v.length);
    if (v.kind == v.Signed || v.kind == v.Unsigned) line += std::to_string(v.integer);
    lines.push_back(line);
  }
  return lines;
}

TestStream::TestStream(std::string bytes, Size size, int64_t failAt)
    : m_bytes(std::move(bytes)), m_sizeKind(size), m_failAt(failAt) {
  m_size = size == Known ? static_cast<int64_t>(m_bytes.size()) : -1;
}

int32_t TestStream::read(const char*& start, int32_t min, int32_t max) {
  m_buffer.reset();
  if (m_status == Strigi::Error) return -2;
  const int64_t total = static_cast<int64_t>(m_bytes.size());
  const int64_t limit = m_failAt >= 0 ? std::min(m_failAt, total) : total;
  // max below min means no upper limit.
  const int64_t wanted = std::max(0, max < min ? min : max);
  const int64_t n = std::min(wanted, std::max<int64_t>(0, limit - m_position));
  const bool failing = m_failAt >= 0 && n < wanted && m_position + n == m_failAt;
  m_buffer.reset(new char[n > 0 ? n : 1]);
  std::memcpy(m_buffer.get(), m_bytes.data() + m_position, static_cast<size_t>(n));
  start = m_buffer.get();
  m_position += n;
  m_furthest = std::max(m_furthest, m_position);
  if (failing) {
    m_status = Strigi::Error;
    m_error = "read failed";
    return n > 0 ? static_cast<int32_t>(n) : -2;
  }
  if (m_position == total) {
    m_status = Strigi::Eof;
    if (m_sizeKind != NeverKnown) m_size = total;
  }
  return n == 0 && m_position == total ? -1 : static_cast<int32_t>(n);
}

int64_t TestStream::reset(int64_t pos) {
  if (pos >= 0 && pos <= m_furthest) {
    m_position = pos;
    m_status = Strigi::Ok;
  }
  return m_position;
}

Harness::Harness() {
  factory.registerFields(reg);
  analyzer.reset(static_cast<Mp4ThroughAnalyzer*>(factory.newInstance()));
}

Log Harness::call(const std::function<void(Mp4ThroughAnalyzer&)>& operation) {
  values.clear();
  Strigi::AnalysisResult result("test.mp4", values);
  analyzer->setIndexable(&result);
  operation(*analyzer);
  analyzer->setIndexable(nullptr);
  return describe(values);
}

Log Harness::run(Strigi::InputStream* in) {
  return call([in](Mp4ThroughAnalyzer& a) {
    Strigi::InputStream* out = a.connectInputStream(in);
    EXPECT_EQ(out, in) << "connectInputStream must return the stream it was given";
    EXPECT_EQ(out ? out->position() : 0, 0) << "the stream must come back at position 0";
  });
}

Log Harness::run(const Bytes& bytes, TestStream::Size size) {
  TestStream in(bytes, size);
  return run(&in);
}

}  // namespace mp4test

namespace hosttest {

TempDir::TempDir() {
  const char* base = std::getenv("TMPDIR");
  std::string pattern = std::string(base && *base ? base : "/tmp") + "/mp4host-test-XXXXXX";
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  m_path = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(m_path, ignored);
}

std::string TempDir::write(const std::string& name, const std::string& contents) const {
  const std::string path = m_path + "/" + name;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream(path, std::ios::binary) << contents;
  return path;
}

std::string taggedSong(const std::string& title, int seconds, size_t coverSize) {
  using namespace mp4test;
  const Bytes jpeg = "\xFF\xD8\xFF\xE0" + zeros(coverSize - 4);
  const Track sound{"soun", 44100, 44100LL * seconds,
                    stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
  return ftyp("M4A ") +
         movie({sound}, {textItem("\251nam", title), item("covr", {data(13, jpeg)})}, 1000,
               1000LL * seconds) +
         box("mdat", zeros(100));
}

std::string videoFile(int width, int height) {
  using namespace mp4test;
  const Track video{
      "vide", 600, 1200,
      stsd({videoEntry("avc1", static_cast<uint16_t>(width), static_cast<uint16_t>(height))})};
  return ftyp() + box("mdat", zeros(3000)) + movie({video}, {}, 600, 1200);
}

RunResult runMp4meta(const std::vector<std::string>& args, const RunOptions& options) {
  return runTool(MP4META_PATH, args, options);
}

RunResult runTool(const std::string& program, const std::vector<std::string>& args,
                  const RunOptions& options) {
  TempDir scratch;
  const std::string outPath = scratch.path() + "/out", errPath = scratch.path() + "/err";
  // The input is written while the tool runs, as from a real pipe.
  const FedPipe in(options.stdinData);
  std::vector<char*> argv{const_cast<char*>(program.c_str())};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT, 0666);
    if (out < 0 || err < 0) _exit(126);
    dup2(in.fd(), 0);
    dup2(out, 1);
    dup2(err, 2);
    if (!options.preload.empty()) {
      setenv("LD_PRELOAD", options.preload.c_str(), 1);
      setenv("ASAN_OPTIONS", "verify_asan_link_order=0", 1);
    }
    setenv("STRIGI_PLUGIN_PATH",
           options.pluginPath.empty() ? MP4_MODULE_DIR : options.pluginPath.c_str(), 1);
    for (const auto& [name, value] : options.environment) {
      value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
    }
    signal(SIGPIPE, SIG_DFL);
    // Root's file access outlives exec only through what the bounding set keeps.
    if (options.permissionsHold)
      for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH}) prctl(PR_CAPBSET_DROP, cap, 0, 0, 0);
    // A tool that hangs fails the test instead of stopping the suite.
    alarm(60);
    execv(argv[0], argv.data());
    _exit(127);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, mp4test::readFile(outPath),
          mp4test::readFile(errPath)};
}

LoadedModule::LoadedModule() {
  EXPECT_TRUE(plugins.loadModule(MP4_MODULE_PATH)) << MP4_MODULE_PATH;
  plugins.registerFields(fields);
}

FedPipe::FedPipe(std::string bytes) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  m_fd = fds[0];
  // The writer fails instead of killing the test if the reader stops early.
  signal(SIGPIPE, SIG_IGN);
  m_writer = std::thread([fd = fds[1], bytes = std::move(bytes)] {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
}

FedPipe::~FedPipe() {
  close(m_fd);
  m_writer.join();
}

}  // namespace hosttest
