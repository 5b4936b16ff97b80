#include <strigi/streamanalyzerfactory.h>

namespace Strigi {

class StreamAnalyzerFactory::Private {
 public:
  std::vector<const RegisteredField*> fields;
};

StreamAnalyzerFactory::StreamAnalyzerFactory() : p(new Private) {}

StreamAnalyzerFactory::~StreamAnalyzerFactory() { delete p; }

void StreamAnalyzerFactory::addField(const RegisteredField* field) { p->fields.push_back(field); }

const std::vector<const RegisteredField*>& StreamAnalyzerFactory::registeredFields() const {
  return p->fields;
}

}  // namespace Strigi
