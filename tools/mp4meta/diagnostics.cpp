#include "diagnostics.h"

#include <sys/types.h>

namespace mp4meta {

namespace {

thread_local bool t_keeping = false;
thread_local std::string t_kept;

FILE* g_real = nullptr;

ssize_t writeDiagnostic(void*, const char* data, size_t size) {
  if (t_keeping) {
    t_kept.append(data, size);
    return static_cast<ssize_t>(size);
  }
  return static_cast<ssize_t>(std::fwrite(data, 1, size, g_real));
}

}  // namespace

DiagnosticCapture::DiagnosticCapture() : m_real(stderr) {
  cookie_io_functions_t functions{};
  functions.write = writeDiagnostic;
  FILE* capture = fopencookie(nullptr, "w", functions);
  if (!capture) return;  // then lines go out unnamed, as mp4meta prints them
  std::setvbuf(capture, nullptr, _IONBF, 0);
  g_real = m_real;
  stderr = capture;
}

DiagnosticCapture::~DiagnosticCapture() {
  if (stderr == m_real) return;
  FILE* capture = stderr;
  stderr = m_real;
  std::fclose(capture);
  g_real = nullptr;
}

void DiagnosticCapture::begin() {
  t_kept.clear();
  t_keeping = true;
}

std::vector<std::string> DiagnosticCapture::end() {
  t_keeping = false;
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < t_kept.size()) {
    size_t newline = t_kept.find('\n', start);
    if (newline == std::string::npos) newline = t_kept.size();
    lines.push_back(t_kept.substr(start, newline - start));
    start = newline + 1;
  }
  t_kept.clear();
  return lines;
}

}  // namespace mp4meta
