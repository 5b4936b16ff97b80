// Standard error lines written while a thread analyses a file, kept for
// that file, so that a host can print each with the file it is about.
#ifndef MP4META_DIAGNOSTICS_H
#define MP4META_DIAGNOSTICS_H

#include <cstdio>
#include <string>
#include <vector>

namespace mp4meta {

// While one lives, stderr is a stream whose bytes, on a thread between
// begin() and end(), are kept for that thread; on any other thread (or
// outside begin and end) they go to standard error as before. The
// analyzer modules write through stderr (under flockfile, one line at a
// time), so nothing in them changes. One at a time, made before the
// threads that write and gone after them.
class DiagnosticCapture {
 public:
  DiagnosticCapture();
  ~DiagnosticCapture();
  DiagnosticCapture(const DiagnosticCapture&) = delete;
  DiagnosticCapture& operator=(const DiagnosticCapture&) = delete;

  static void begin();
  // The lines kept since begin, without their line ends (a last line
  // without one too).
  static std::vector<std::string> end();

 private:
  FILE* m_real;
};

}  // namespace mp4meta

#endif
