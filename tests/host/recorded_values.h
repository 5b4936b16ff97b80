// What a host collected for one file, as comparable lines, and the sparse
// and damaged files that the end-to-end tests feed it.
#ifndef MP4HOST_RECORDED_VALUES_H
#define MP4HOST_RECORDED_VALUES_H

#include <gtest/gtest.h>
#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <mp4host/value_recorder.h>
#include <signal.h>
#include <strigi/fieldtypes.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

namespace hosttest {

// The MP4 module loaded from path as a host loads it, its fields
// registered. Pipelines made from it must go before it.
struct LoadedModule {
  explicit LoadedModule(const std::string& path) {
    EXPECT_TRUE(plugins.loadModule(path)) << path;
    plugins.registerFields(fields);
  }
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
};

// One line per recorded value, in report order: the key, the kind and the
// value (text as its bytes, numbers in decimal).
inline std::vector<std::string> describe(const mp4host::ValueRecorder& recorder) {
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

// The lines without a last "content.mime_type" line, if there is one.
inline std::vector<std::string> withoutMimeType(std::vector<std::string> lines) {
  if (!lines.empty() && lines.back().rfind("content.mime_type ", 0) == 0) lines.pop_back();
  return lines;
}

// Runs pipeline over bytes written into a pipe by another thread, as
// standard input is read; returns what analyzeDescriptor returned.
inline bool analyzePipe(mp4host::Pipeline& pipeline, const std::string& bytes) {
  // The writer fails instead of killing the test if the reader stops early.
  signal(SIGPIPE, SIG_IGN);
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::thread writer([fd = fds[1], &bytes] {
    for (size_t done = 0; done < bytes.size();) {
      const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    close(fd);
  });
  const bool ok = pipeline.analyzeDescriptor(fds[0], "-");
  close(fds[0]);
  writer.join();
  return ok;
}

}  // namespace hosttest

#endif
