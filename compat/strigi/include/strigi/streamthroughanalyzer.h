// Through analyzers: they see a stream before the other analyzers and hand
// it back, possibly wrapped, for the rest of the analysis.
#ifndef STRIGI_STREAMTHROUGHANALYZER_H
#define STRIGI_STREAMTHROUGHANALYZER_H

#include <strigi/streamanalyzerfactory.h>

namespace Strigi {

class AnalysisResult;
template <class T>
class StreamBase;
typedef StreamBase<char> InputStream;

class StreamThroughAnalyzer;

class STREAMANALYZER_EXPORT StreamThroughAnalyzerFactory : public StreamAnalyzerFactory {
 public:
  virtual StreamThroughAnalyzer* newInstance() const = 0;
};

class STREAMANALYZER_EXPORT StreamThroughAnalyzer {
 public:
  virtual ~StreamThroughAnalyzer() {}
  // The result that the next stream's values go to.
  virtual void setIndexable(AnalysisResult*) = 0;
  // Returns the stream to read from then on; in may be null for files
  // without content. An analyzer that only looks returns in, at position 0.
  virtual InputStream* connectInputStream(InputStream* in) = 0;
  virtual bool isReadyWithStream() = 0;
  virtual const char* name() const = 0;
};

}  // namespace Strigi

#endif
