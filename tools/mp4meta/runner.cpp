#include "runner.h"

#include <errno.h>
#include <fcntl.h>
#include <mp4host/archive_walker.h>
#include <mp4host/error_text.h>
#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "diagnostics.h"
#include "options.h"
#include "path_source.h"

namespace mp4meta {

namespace {

// Standard output through a large buffer, written with write(2).
class Output {
 public:
  Output() { m_buffer.reserve(kSize); }
  ~Output() { flush(); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void write(const std::string& text) {
    // A large piece (a cover image in base64) goes out as it is rather than
    // being copied through the buffer first.
    if (text.size() >= kDirect || m_buffer.size() + text.size() > kSize) flush();
    if (text.size() >= kDirect) {
      writeAll(text.data(), text.size());
    } else {
      m_buffer += text;
    }
  }
  void flush() {
    writeAll(m_buffer.data(), m_buffer.size());
    m_buffer.clear();
  }
  bool failed() const { return m_failed; }

 private:
  static constexpr size_t kSize = 64 * 1024;
  static constexpr size_t kDirect = 16 * 1024;

  void writeAll(const char* data, size_t length) {
    while (length > 0 && !m_failed) {
      const ssize_t n = ::write(STDOUT_FILENO, data, length);
      if (n < 0) {
        if (errno == EINTR) continue;
        std::fprintf(stderr, "mp4meta: cannot write the output: %s\n",
                     mp4host::errorText(errno).c_str());
        m_failed = true;
        return;
      }
      data += n;
      length -= static_cast<size_t>(n);
    }
  }

  std::string m_buffer;
  bool m_failed = false;
};

// A "mp4meta: N files" line on standard error, redrawn in place, while a
// run lasts more than a second; only when standard error is a terminal.
class Progress {
 public:
  explicit Progress(const char* program)
      : m_program(program),
        m_enabled(isatty(STDERR_FILENO) == 1),
        m_start(Clock::now()),
        m_last(m_start) {}
  ~Progress() { clear(); }
  Progress(const Progress&) = delete;
  Progress& operator=(const Progress&) = delete;

  bool enabled() const { return m_enabled; }
  void count() {
    ++m_files;
    update();
  }
  void update() {
    if (!m_enabled) return;
    const Clock::time_point now = Clock::now();
    if (now - m_start < std::chrono::seconds(1) || now - m_last < std::chrono::milliseconds(100)) {
      return;
    }
    m_last = now;
    m_shown = std::fprintf(stderr, "\r%s: %llu files", m_program, m_files) - 1;
  }
  // Removes the line, so that a message can take its place.
  void clear() {
    if (m_shown <= 0) return;
    std::fprintf(stderr, "\r%*s\r", m_shown, "");
    m_shown = 0;
  }

 private:
  using Clock = std::chrono::steady_clock;
  const char* m_program;
  bool m_enabled;
  Clock::time_point m_start;
  Clock::time_point m_last;
  unsigned long long m_files = 0;
  int m_shown = 0;
};

// What one input gives, or one entry of an archive, or (after its entries)
// the archive itself.
struct Result {
  Input input;
  bool failed = false;
  std::string output;  // what goes to standard output
  std::string error;
  std::vector<std::string> warnings;
  std::vector<std::string> diagnostics;  // the analyzers' lines on standard error, when kept
  mp4host::ValueRecorder values;         // for a collector
};

// An archive's results go to the printing side in batches of at most this
// many results or (but at least one) bytes of output.
constexpr size_t kBatchResults = 64;
constexpr size_t kBatchBytes = 1 << 20;

// One input on its way through the run, with what it gave: one result for
// a file; for an archive, a batch at a time.
struct Job {
  Input input;
  std::vector<Result> results;  // the first count are this batch's
  size_t count = 0;
  size_t bytes = 0;
  bool done = false;
  bool batchReady = false;  // a full batch waits for the printing side

  Result& add(Input in) {
    if (count == results.size()) results.emplace_back();
    Result& r = results[count++];
    r.input = std::move(in);
    r.failed = false;
    r.output.clear();
    r.error.clear();
    r.warnings.clear();
    r.diagnostics.clear();
    r.values.clear();
    return r;
  }
  bool batchFull() const { return count >= kBatchResults || bytes >= kBatchBytes; }
};

// Hands a full batch of a job's results to the printing side and returns
// once they are printed.
using Flush = std::function<void(Job&)>;

// The work of one thread: its own analyzers, streams and formatter. It
// takes what an archive walk finds as it comes.
class Worker : private mp4host::ArchiveSink {
 public:
  Worker(const mp4host::PluginSet& plugins, const RunSettings& settings)
      : m_pipeline(plugins),
        m_walker(m_pipeline, settings.archiveLimits),
        m_json(settings.json),
        m_collect(settings.collector != nullptr),
        m_archives(settings.archives),
        m_keepDiagnostics(settings.nameDiagnostics) {
    m_pipeline.setPlainFileReads(settings.plainFileReads);
  }

  // With diagnostics kept, each result takes the lines written since the
  // result before it on this thread: those of its own analysis.
  void process(Job& job, const Flush& flush) {
    if (m_keepDiagnostics) DiagnosticCapture::begin();
    analyse(job, flush);
    if (m_keepDiagnostics) DiagnosticCapture::end();
  }

 private:
  void analyse(Job& job, const Flush& flush) {
    job.count = 0;
    job.bytes = 0;
    // A slot keeps the memory of one result from job to job, not a batch.
    if (job.results.size() > 1) job.results.resize(1);
    switch (job.input.kind) {
      case Input::File:
        analyzeFile(job, flush);
        break;
      case Input::Stdin:
        finish(job, job.add(job.input), m_pipeline.analyzeDescriptor(STDIN_FILENO, job.input.path));
        break;
      case Input::Failed:
      case Input::ListFailed:
      case Input::Entry:
      case Input::Archive: {
        Result& r = job.add(job.input);
        fail(r, job.input.error, job.input.kind == Input::Failed);
        break;
      }
    }
  }

  void analyzeFile(Job& job, const Flush& flush) {
    Input& in = job.input;
    int fd = in.fd;
    in.fd = -1;
    if (!m_archives) {
      const bool ok = fd >= 0 ? m_pipeline.analyzeRegularFile(fd, in.path, in.size)
                              : m_pipeline.analyzeFile(in.path);
      if (fd >= 0) ::close(fd);
      finish(job, job.add(in), ok);
      return;
    }
    if (fd < 0) fd = ::open(in.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      fail(job.add(in), mp4host::errorText(errno), true);
      return;
    }
    struct stat st;
    bool ok;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
      mp4host::ArchiveItem file{in.path, static_cast<int64_t>(st.st_size), true,
                                int64_t{st.st_mtim.tv_sec} * 1000000000 + st.st_mtim.tv_nsec, 0};
      m_job = &job;
      m_flush = &flush;
      const bool walked = m_walker.walk(fd, file, *this);
      m_job = nullptr;
      if (walked) {
        ::close(fd);
        return;
      }
      ok = m_pipeline.analyzeRegularFile(fd, in.path, st.st_size);
    } else {
      ok = m_pipeline.analyzeDescriptor(fd, in.path);
    }
    ::close(fd);
    finish(job, job.add(in), ok);
  }

  // An analysed result: what the pipeline holds.
  void finish(Job& job, Result& r, bool ok) {
    r.warnings = m_pipeline.warnings();
    takeDiagnostics(r);
    if (!ok) {
      fail(r, m_pipeline.error(), !m_collect);
    } else if (m_collect) {
      r.values = m_pipeline.values();
    } else if (m_json) {
      m_formatter.appendJson(r.output, r.input.path, m_pipeline.values());
    } else {
      m_formatter.appendText(r.output, r.input.path, m_pipeline.values());
    }
    // A huge result should not keep its memory for the jobs after it.
    if (r.output.capacity() > (1u << 20) && r.output.size() < (1u << 20)) {
      r.output.shrink_to_fit();
    }
    job.bytes += r.output.size() + r.values.values().size() * sizeof(mp4host::RecordedValue);
  }

  void takeDiagnostics(Result& r) {
    if (!m_keepDiagnostics) return;
    for (std::string& line : DiagnosticCapture::end()) r.diagnostics.push_back(std::move(line));
    DiagnosticCapture::begin();
  }

  void fail(Result& r, const std::string& error, bool jsonLine) {
    takeDiagnostics(r);
    r.failed = true;
    r.error = error;
    if (m_json && jsonLine) m_formatter.appendJsonError(r.output, r.input.path, r.error);
  }

  Input archiveInput(Input::Kind kind, const mp4host::ArchiveItem& item) const {
    return Input{kind,
                 item.path,
                 std::string(),
                 -1,
                 item.size,
                 item.hasTime ? item.mtimeNs : Input::kNoTime,
                 m_job->input.path,
                 item.depth};
  }

  void entry(const mp4host::ArchiveItem& item, const std::string& error) override {
    Result& r = m_job->add(archiveInput(Input::Entry, item));
    if (error.empty()) {
      finish(*m_job, r, true);
    } else {
      fail(r, error, !m_collect);
      m_job->bytes += r.output.size();
    }
    if (m_job->batchFull()) (*m_flush)(*m_job);
  }

  void archiveEnd(const mp4host::ArchiveItem& item, const std::string& error) override {
    Result& r = m_job->add(archiveInput(Input::Archive, item));
    if (!error.empty()) fail(r, error, !m_collect);
    m_job->bytes += r.output.size();
    if (m_job->batchFull()) (*m_flush)(*m_job);
  }

  mp4host::Pipeline m_pipeline;
  mp4host::ArchiveWalker m_walker;
  mp4host::ReportFormatter m_formatter;
  bool m_json;
  bool m_collect;
  bool m_archives;
  bool m_keepDiagnostics;
  Job* m_job = nullptr;  // during a walk
  const Flush* m_flush = nullptr;
};

// Prints results in input order.
class Printer {
 public:
  explicit Printer(const RunSettings& settings)
      : m_json(settings.json && !settings.collector),
        m_interactive(isatty(STDOUT_FILENO) == 1),
        m_program(settings.program),
        m_collector(settings.collector),
        m_progress(settings.program) {}

  // The job's results so far, which it then forgets.
  void print(Job& job) {
    for (size_t i = 0; i < job.count; ++i) print(job.results[i]);
    job.count = 0;
    job.bytes = 0;
  }

  Progress& progress() { return m_progress; }
  bool succeeded() {
    m_out.flush();
    return !m_failed && !m_out.failed();
  }

 private:
  void print(Result& r) {
    // Box paths in them are raw bytes ("\251nam"): shown as text is.
    for (const std::string& line : r.diagnostics) {
      const size_t start = std::min(line.find_first_not_of(' '), line.size());
      std::string shown;
      mp4host::appendDisplayText(shown, line.data() + start, line.size() - start);
      message(r.input.path, shown);
    }
    for (const std::string& warning : r.warnings) message(r.input.path, warning);
    if (r.failed) m_failed = true;
    if (m_collector && r.input.kind != Input::ListFailed) {
      m_collector->take(r.input, r.failed ? nullptr : &r.values, r.error);
    }
    // Errors go to standard error in text mode; a list that cannot be read
    // is no file, so it goes there in JSON mode too.
    if (r.failed && (!m_json || r.input.kind == Input::ListFailed) &&
        !(m_collector && m_collector->silent(r.input))) {
      message(r.input.path, r.error);
    }
    if (!r.output.empty()) {
      // On a terminal, results appear as they come and the progress line
      // (if shown there too) makes way for them.
      if (m_interactive) m_progress.clear();
      if (!m_json && m_printedFile) m_out.write("\n");
      m_out.write(r.output);
      if (m_interactive) m_out.flush();
      m_printedFile = true;
    }
    // Bound the memory a result keeps between files.
    if (r.output.capacity() > (1u << 20)) std::string().swap(r.output);
    if (r.input.kind != Input::Archive) m_progress.count();
  }

  void message(const std::string& path, const std::string& text) {
    // Keep what was printed before the message ahead of it on a terminal.
    if (!m_json) m_out.flush();
    m_progress.clear();
    std::string line = m_program;
    line += ": ";
    mp4host::appendDisplayText(line, path.data(), path.size());
    line += ": ";
    line += text;
    line += '\n';
    std::fwrite(line.data(), 1, line.size(), stderr);
  }

  bool m_json;
  bool m_interactive;
  const char* m_program;
  Collector* m_collector;
  Output m_out;
  Progress m_progress;
  bool m_failed = false;
  bool m_printedFile = false;
};

// The next input the collector (if any) admits.
bool nextInput(PathSource& source, const RunSettings& settings, Input* input) {
  while (!(settings.collector && settings.collector->stopped()) && source.next(input)) {
    if (!settings.collector || settings.collector->admit(*input)) return true;
    if (input->fd >= 0) ::close(input->fd);
    input->fd = -1;
  }
  return false;
}

bool runSerial(const mp4host::PluginSet& plugins, PathSource& source, const RunSettings& settings) {
  Worker worker(plugins, settings);
  Printer printer(settings);
  Job job;
  const Flush flush = [&printer](Job& full) { printer.print(full); };
  while (nextInput(source, settings, &job.input)) {
    worker.process(job, flush);
    printer.print(job);
  }
  return printer.succeeded();
}

// The slots of runParallel's ring: 16 per job. A filled slot may hold an
// open file, and a worker may open one more of its own, so under a
// descriptor limit the ring is made smaller: the files ahead never take the
// descriptors the workers, the walk and the output need (with 64 jobs a
// ring of 1,024 files would take all of the usual limit).
uint64_t ringSlots(unsigned jobs) {
  uint64_t slots = static_cast<uint64_t>(jobs) * 16;
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
    const uint64_t spare = 32 + static_cast<uint64_t>(jobs);
    const uint64_t room = limit.rlim_cur > spare ? limit.rlim_cur - spare : 0;
    slots = std::min(slots, std::max<uint64_t>(room, 2));
  }
  return slots;
}

// Jobs go round a ring of slots: the reading side fills a slot when its
// previous job has been printed, the workers take slots in order, and the
// printing side prints them in order as they finish. The ring bounds the
// memory of a run of any size and keeps the output in input order. The
// printing side sleeps until half a ring is done (or the last job), so a
// run of many small files does not wake it for every file. An archive's
// worker hands over its entries' results a batch at a time and waits until
// the printing side has printed them, which it does as soon as the jobs
// before are printed.
bool runParallel(const mp4host::PluginSet& plugins, PathSource& source,
                 const RunSettings& settings) {
  const unsigned jobs = settings.jobs;
  const uint64_t ringSize = ringSlots(jobs);
  std::vector<Job> ring(ringSize);
  std::mutex mutex;
  std::condition_variable workAvailable;
  std::condition_variable jobDone;
  std::condition_variable batchTaken;
  uint64_t submitted = 0;
  uint64_t taken = 0;
  uint64_t printed = 0;
  uint64_t awaited = UINT64_MAX;  // the job whose end wakes the printing side
  bool stopping = false;

  const Flush flush = [&](Job& job) {
    std::unique_lock<std::mutex> lock(mutex);
    job.batchReady = true;
    if (&job == &ring[printed % ringSize]) jobDone.notify_one();
    batchTaken.wait(lock, [&] { return !job.batchReady; });
  };
  auto work = [&](Worker* worker) {
    for (;;) {
      uint64_t seq;
      {
        std::unique_lock<std::mutex> lock(mutex);
        workAvailable.wait(lock, [&] { return taken < submitted || stopping; });
        if (taken == submitted) return;
        seq = taken++;
      }
      Job& job = ring[seq % ringSize];
      worker->process(job, flush);
      bool wake;
      {
        std::lock_guard<std::mutex> lock(mutex);
        job.done = true;
        wake = seq == awaited || seq == printed;
      }
      if (wake) jobDone.notify_one();
    }
  };

  // Workers are made here, one after the other, since making analyzers
  // calls into the modules.
  std::vector<std::unique_ptr<Worker>> workers;
  for (unsigned i = 0; i < jobs; ++i) {
    workers.push_back(std::make_unique<Worker>(plugins, settings));
  }
  std::vector<std::thread> threads;
  for (unsigned i = 0; i < jobs; ++i) threads.emplace_back(work, workers[i].get());

  Printer printer(settings);
  bool sourceDone = false;
  {
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      while (printed < submitted) {
        Job& job = ring[printed % ringSize];
        const bool finished = job.done;
        if (!finished && !job.batchReady) break;
        lock.unlock();
        printer.print(job);
        lock.lock();
        if (finished) {
          job.done = false;
          ++printed;
        } else {
          job.batchReady = false;
          batchTaken.notify_all();
        }
      }
      while (!sourceDone && submitted - printed < ringSize) {
        Job& slot = ring[submitted % ringSize];
        lock.unlock();
        sourceDone = !nextInput(source, settings, &slot.input);
        lock.lock();
        if (!sourceDone) {
          ++submitted;
          workAvailable.notify_one();
        }
      }
      if (printed == submitted) break;
      // Wait for a batch to finish; when its last job is done already, for
      // the oldest job, which is not. The oldest job's end, or a batch of
      // its results, wakes the printing side too.
      awaited = printed + std::min(ringSize / 2, submitted - printed) - 1;
      if (ring[awaited % ringSize].done) awaited = printed;
      const Job& next = ring[awaited % ringSize];
      const Job& oldest = ring[printed % ringSize];
      while (!next.done && !oldest.done && !oldest.batchReady) {
        if (printer.progress().enabled()) {
          jobDone.wait_for(lock, std::chrono::milliseconds(100));
          lock.unlock();
          printer.progress().update();
          lock.lock();
        } else {
          jobDone.wait(lock);
        }
      }
    }
    stopping = true;
  }
  workAvailable.notify_all();
  for (std::thread& t : threads) t.join();
  workers.clear();
  return printer.succeeded();
}

}  // namespace

bool loadAnalyzers(const char* program, mp4host::PluginSet& plugins,
                   Strigi::FieldRegister& fields) {
  const std::vector<std::string> directories = mp4host::pluginDirectories();
  plugins.loadDirectories(directories);
  for (const mp4host::LoadError& e : plugins.errors()) {
    std::fprintf(stderr, "%s: %s: %s\n", program, e.path.c_str(), e.message.c_str());
  }
  if (plugins.factories().empty()) {
    std::string looked;
    for (const std::string& directory : directories) {
      if (!looked.empty()) looked += ", ";
      looked += directory;
    }
    std::fprintf(stderr,
                 "%s: no analyzer modules (strigita_*.so) could be loaded; looked in: %s\n"
                 "%s: set STRIGI_PLUGIN_PATH to the directory that holds them\n",
                 program, looked.c_str(), program);
    return false;
  }
  plugins.registerFields(fields);
  return true;
}

unsigned defaultJobs() {
  const long cpus = sysconf(_SC_NPROCESSORS_ONLN);
  if (cpus < 1) return 1;
  return cpus > static_cast<long>(kMaxJobs) ? kMaxJobs : static_cast<unsigned>(cpus);
}

bool runAnalysis(const mp4host::PluginSet& plugins, PathSource& source,
                 const RunSettings& settings) {
  std::unique_ptr<DiagnosticCapture> capture;
  if (settings.nameDiagnostics) capture = std::make_unique<DiagnosticCapture>();
  if (settings.jobs <= 1) return runSerial(plugins, source, settings);
  return runParallel(plugins, source, settings);
}

}  // namespace mp4meta
