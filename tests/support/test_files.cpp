#include "test_files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

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

std::string TempDir::mkdir(const std::string& name) const {
  const std::string path = m_path + "/" + name;
  std::filesystem::create_directories(path);
  return path;
}

std::string taggedSong(const std::string& title, int seconds) {
  using namespace mp4test;
  const Bytes jpeg = "\xFF\xD8\xFF\xE0" + zeros(60);
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
  const std::string outPath = scratch.path() + "/out";
  const std::string errPath = scratch.path() + "/err";
  int in[2];
  if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");

  std::vector<std::string> argStrings{program};
  argStrings.insert(argStrings.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argStrings) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string pluginPath = options.pluginPath.empty() ? MP4_MODULE_DIR : options.pluginPath;

  const pid_t pid = fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0666);
    const int nullIn = open("/dev/null", O_RDONLY);
    if (out < 0 || err < 0 || nullIn < 0) _exit(126);
    dup2(options.stdinIsPipe ? in[0] : nullIn, 0);
    dup2(out, 1);
    dup2(err, 2);
    setenv("STRIGI_PLUGIN_PATH", pluginPath.c_str(), 1);
    signal(SIGPIPE, SIG_DFL);
    if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) {
      _exit(126);
    }
    if (options.asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(125);
    // A tool that hangs fails the test instead of stopping the suite.
    alarm(60);
    execv(argv[0], argv.data());
    _exit(127);
  }
  close(in[0]);
  // The input is written while the tool runs, as from a real pipe.
  std::thread feeder = writeToPipe(in[1], options.stdinIsPipe ? options.stdinData : "");
  int status = 0;
  waitpid(pid, &status, 0);
  feeder.join();
  RunResult result;
  result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  result.out = mp4test::readFile(outPath);
  result.err = mp4test::readFile(errPath);
  return result;
}

LoadedModule::LoadedModule() {
  EXPECT_TRUE(plugins.loadModule(MP4_MODULE_PATH)) << MP4_MODULE_PATH;
  plugins.registerFields(fields);
}

std::vector<std::string> describe(const mp4host::ValueRecorder& recorder) {
  std::vector<std::string> lines;
  for (const mp4host::RecordedValue& v : recorder.values()) {
    std::string line = v.field->key();
    switch (v.kind) {
      case mp4host::RecordedValue::Text:
        line += " text " + std::string(recorder.bytes(v), v.length);
        break;
      case mp4host::RecordedValue::Signed:
        line += " int " + std::to_string(v.integer);
        break;
      case mp4host::RecordedValue::Unsigned:
        line += " uint " + std::to_string(v.integer);
        break;
      case mp4host::RecordedValue::Real:
        line += " real " + std::to_string(v.real);
        break;
      case mp4host::RecordedValue::Pair:
        line += " pair " + std::string(recorder.nameBytes(v), v.nameLength) + "=" +
                std::string(recorder.bytes(v), v.length);
        break;
    }
    lines.push_back(line);
  }
  return lines;
}

std::thread writeToPipe(int fd, std::string bytes) {
  // The writer fails instead of killing the test if the reader stops early.
  signal(SIGPIPE, SIG_IGN);
  return std::thread([fd, bytes = std::move(bytes)] {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
}

bool analyzePipe(mp4host::Pipeline& pipeline, const std::string& bytes) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::thread writer = writeToPipe(fds[1], bytes);
  const bool ok = pipeline.analyzeDescriptor(fds[0], "-");
  close(fds[0]);
  writer.join();
  return ok;
}

}  // namespace hosttest
