// What a host collected for one file, as comparable lines, and the sparse
// and damaged files that the end-to-end tests feed it.
#ifndef MP4HOST_RECORDED_VALUES_H
#define MP4HOST_RECORDED_VALUES_H

#include <gtest/gtest.h>
#include <mp4host/plugin_loader.h>
#include <mp4host/value_recorder.h>
#include <strigi/fieldtypes.h>

#include <string>
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

}  // namespace hosttest

#endif
