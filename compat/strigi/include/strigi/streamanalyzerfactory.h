// Base class of every analyzer factory.
#ifndef STRIGI_STREAMANALYZERFACTORY_H
#define STRIGI_STREAMANALYZERFACTORY_H

#include <strigi/strigiconfig.h>

#include <vector>

namespace Strigi {

class FieldRegister;
class RegisteredField;

class STREAMANALYZER_EXPORT StreamAnalyzerFactory {
 public:
  StreamAnalyzerFactory();
  virtual ~StreamAnalyzerFactory();
  virtual const char* name() const = 0;
  virtual void registerFields(FieldRegister&) = 0;

  void addField(const RegisteredField* field);
  const std::vector<const RegisteredField*>& registeredFields() const;

 private:
  StreamAnalyzerFactory(const StreamAnalyzerFactory&) = delete;
  StreamAnalyzerFactory& operator=(const StreamAnalyzerFactory&) = delete;

  class Private;
  Private* const p;
};

}  // namespace Strigi

#endif
