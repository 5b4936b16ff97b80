#include "recording.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>

#include "streams.h"

namespace mp4test {

Report str(const std::string& key, const std::string& value) { return {key, Kind::String, value}; }
Report i32(const std::string& key, int32_t value) {
  return {key, Kind::Int32, std::to_string(value)};
}
Report u32(const std::string& key, uint32_t value) {
  return {key, Kind::UInt32, std::to_string(value)};
}

Report mime(const std::string& type) { return str("content.mime_type", type); }

Log soundMovieLog() {
  return {i32("TODO_video.duration", 10),  i32("media.duration", 10),
          i32("audio.channel_count", 2),   str("media.sample_format", "16 bit int"),
          u32("media.sample_rate", 44100), str("av.audio_codec", "mp4a")};
}

Log withoutMimeType(Log log) {
  if (!log.empty() && log.back().key == "content.mime_type") log.pop_back();
  return log;
}

Log operator+(Log a, const Log& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

void PrintTo(const Report& report, std::ostream* os) {
  static const char* const kKinds[] = {"string", "bytes", "uint32", "int32", "double", "triplet"};
  *os << '{' << report.key << ", " << kKinds[static_cast<int>(report.kind)] << ", \"";
  constexpr size_t kShown = 64;
  for (size_t i = 0; i < report.value.size() && i < kShown; ++i) {
    const unsigned char c = static_cast<unsigned char>(report.value[i]);
    if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
      *os << static_cast<char>(c);
    } else {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      *os << escaped;
    }
  }
  *os << '"';
  if (report.value.size() > kShown) *os << "... (" << report.value.size() << " bytes)";
  *os << '}';
}

void PrintTo(const Log& log, std::ostream* os) {
  *os << log.size() << " reports:";
  for (const Report& report : log) {
    *os << "\n    ";
    PrintTo(report, os);
  }
}

void RecordingSink::record(const Strigi::RegisteredField* field, Kind kind, std::string value) {
  log.push_back(
      {field ? field->key() : std::string("(null field)"), kind, std::move(value), field});
}

void RecordingSink::addString(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                              const std::string& value) {
  record(field, Kind::String, value);
}

void RecordingSink::addBytes(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                             const char* data, uint32_t length) {
  record(field, Kind::Blob, std::string(data, length));
}

void RecordingSink::addUInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                              uint32_t value) {
  record(field, Kind::UInt32, std::to_string(value));
}

void RecordingSink::addInt32(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                             int32_t value) {
  record(field, Kind::Int32, std::to_string(value));
}

void RecordingSink::addDouble(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                              double value) {
  record(field, Kind::Double, std::to_string(value));
}

void RecordingSink::addTriplet(const Strigi::AnalysisResult&, const Strigi::RegisteredField* field,
                               const std::string& name, const std::string& value) {
  record(field, Kind::Triplet, name + "=" + value);
}

Harness::Harness() {
  factory_.registerFields(reg_);
  analyzer_.reset(static_cast<Mp4ThroughAnalyzer*>(factory_.newInstance()));
}

Harness::~Harness() = default;

Log Harness::call(const std::function<void(Mp4ThroughAnalyzer&)>& operation) {
  RecordingSink sink;
  Strigi::AnalysisResult result("test.mp4", sink);
  analyzer_->setIndexable(&result);
  operation(*analyzer_);
  analyzer_->setIndexable(nullptr);
  return sink.log;
}

Log Harness::run(Strigi::InputStream* in) {
  return call([in](Mp4ThroughAnalyzer& analyzer) {
    Strigi::InputStream* out = analyzer.connectInputStream(in);
    EXPECT_EQ(out, in) << "connectInputStream must return the stream it was given";
    if (out) {
      EXPECT_EQ(out->position(), 0) << "the stream must come back at position 0";
    }
  });
}

Log Harness::run(const std::string& bytes) {
  FreshBufferStream in(bytes);
  return run(&in);
}

bool parseExact(Mp4ThroughAnalyzer& analyzer, BoxParser parser, const std::string& payload,
                const std::string& path, int depth) {
  const std::unique_ptr<char[]> copy(new char[payload.size() ? payload.size() : 1]);
  payload.copy(copy.get(), payload.size());
  return (analyzer.*parser)(copy.get(), static_cast<int64_t>(payload.size()), path, depth);
}

}  // namespace mp4test
