// The result of analysing one stream: analyzers hand it their values.
#ifndef STRIGI_ANALYSISRESULT_H
#define STRIGI_ANALYSISRESULT_H

#include <strigi/strigiconfig.h>

#include <string>

namespace Strigi {

class RegisteredField;
class AnalysisResult;

// Receives every value of a result, in the order the analyzers report them:
// one member per addValue overload. The real library hands values to an
// index writer instead; a host of this interface implements a sink.
class STREAMANALYZER_EXPORT AnalysisSink {
 public:
  virtual ~AnalysisSink();
  virtual void addString(const AnalysisResult& result, const RegisteredField* field,
                         const std::string& value) = 0;
  virtual void addBytes(const AnalysisResult& result, const RegisteredField* field,
                        const char* data, uint32_t length) = 0;
  virtual void addUInt32(const AnalysisResult& result, const RegisteredField* field,
                         uint32_t value) = 0;
  virtual void addInt32(const AnalysisResult& result, const RegisteredField* field,
                        int32_t value) = 0;
  virtual void addDouble(const AnalysisResult& result, const RegisteredField* field,
                         double value) = 0;
  virtual void addTriplet(const AnalysisResult& result, const RegisteredField* field,
                          const std::string& name, const std::string& value) = 0;
};

// Simpler than the real class: it knows its path and its sink, nothing of
// the indexer or of child results.
class STREAMANALYZER_EXPORT AnalysisResult {
 public:
  AnalysisResult(const std::string& path, AnalysisSink& sink);
  AnalysisResult(const AnalysisResult&) = delete;
  AnalysisResult& operator=(const AnalysisResult&) = delete;

  const std::string& path() const { return m_path; }
  // The last component of the path.
  std::string fileName() const;

  void addValue(const RegisteredField* field, const std::string& value);
  void addValue(const RegisteredField* field, const char* data, uint32_t length);
  void addValue(const RegisteredField* field, uint32_t value);
  void addValue(const RegisteredField* field, int32_t value);
  void addValue(const RegisteredField* field, double value);
  void addValue(RegisteredField* field, const std::string& name, const std::string& value);

 private:
  const std::string m_path;
  AnalysisSink& m_sink;
};

}  // namespace Strigi

#endif
