#include <strigi/analysisresult.h>

namespace Strigi {

AnalysisSink::~AnalysisSink() = default;

AnalysisResult::AnalysisResult(const std::string& path, AnalysisSink& sink)
    : m_path(path), m_sink(sink) {}

std::string AnalysisResult::fileName() const {
  const std::string::size_type slash = m_path.rfind('/');
  return slash == std::string::npos ? m_path : m_path.substr(slash + 1);
}

void AnalysisResult::addValue(const RegisteredField* field, const std::string& value) {
  m_sink.addString(*this, field, value);
}

void AnalysisResult::addValue(const RegisteredField* field, const char* data, uint32_t length) {
  m_sink.addBytes(*this, field, data, length);
}

void AnalysisResult::addValue(const RegisteredField* field, uint32_t value) {
  m_sink.addUInt32(*this, field, value);
}

void AnalysisResult::addValue(const RegisteredField* field, int32_t value) {
  m_sink.addInt32(*this, field, value);
}

void AnalysisResult::addValue(const RegisteredField* field, double value) {
  m_sink.addDouble(*this, field, value);
}

void AnalysisResult::addValue(RegisteredField* field, const std::string& name,
                              const std::string& value) {
  m_sink.addTriplet(*this, field, name, value);
}

}  // namespace Strigi
