// Strigi through analyzer for MP4, M4A and QuickTime files: walks the box
// tree and reports the mime type, the iTunes-style tags, durations, codecs,
// picture size and audio format.
#ifndef STRIGI_MP4THROUGHANALYZER_H
#define STRIGI_MP4THROUGHANALYZER_H

#include <strigi/analyzerplugin.h>
#include <strigi/streamthroughanalyzer.h>

#include <cstdint>
#include <list>
#include <string>

class Mp4ThroughAnalyzerFactory;

class Mp4ThroughAnalyzer : public Strigi::StreamThroughAnalyzer {
 public:
  explicit Mp4ThroughAnalyzer(const Mp4ThroughAnalyzerFactory* f);
  ~Mp4ThroughAnalyzer() override;

  void setIndexable(Strigi::AnalysisResult* result) override;
  Strigi::InputStream* connectInputStream(Strigi::InputStream* in) override;
  bool isReadyWithStream() override;
  const char* name() const override;

  // The walker and the box parsers. Each takes the box payload (the bytes
  // after the box header), its length, the box's path ("moov.udta.meta")
  // and the nesting depth; none reads outside the payload it is given.
  bool parseBox(const char* data, int64_t size, const std::string& path, int depth);
  bool readSubBoxes(const char* data, int64_t size, const std::string& path, int depth);
  static bool haveSubBoxes(const std::string& type);
  static bool parseFullBox(const char* data, int64_t size, uint8_t* version, uint32_t* flags);

  bool parseFtypBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseMdhdBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseMvhdBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseHdlrBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseHintBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseStsdBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseMetaBox(const char* data, int64_t size, const std::string& path, int depth);
  bool parseDataBox(const char* data, int64_t size, const std::string& path, int depth);

 private:
  bool walkTopLevel(Strigi::InputStream* in);
  bool parseTimeHeader(const char* data, int64_t size, const Strigi::RegisteredField* field);

  int32_t haveAudio;
  int32_t haveVideo;
  int32_t isQuickTime;
  Strigi::AnalysisResult* analysisResult;
  // The creating factory; kept although no parser needs it.
  [[maybe_unused]] const Mp4ThroughAnalyzerFactory* factory;
};

class Mp4ThroughAnalyzerFactory : public Strigi::StreamThroughAnalyzerFactory {
 public:
  const char* name() const override;
  void registerFields(Strigi::FieldRegister& reg) override;
  Strigi::StreamThroughAnalyzer* newInstance() const override;
};

class Mp4Factory : public Strigi::AnalyzerFactoryFactory {
 public:
  std::list<Strigi::StreamThroughAnalyzerFactory*> streamThroughAnalyzerFactories() const override;
};

extern "C" {
Strigi::AnalyzerFactoryFactory* strigiAnalyzerFactory();
void deleteStrigiAnalyzerFactory(Strigi::AnalyzerFactoryFactory* f);
}

#endif
