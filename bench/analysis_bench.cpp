// Benchmarks of the analysis of typical files: the plug-in's walk of movie
// boxes held in memory, and the whole work of mp4meta for one file (file
// stream, analyzer, JSON) on files written to a temporary directory, with
// the mapped stream and with plain buffered reads. Times are per file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <mp4host/file_stream.h>
#include <mp4host/pipeline.h>
#include <mp4host/plugin_loader.h>
#include <mp4host/report_format.h>
#include <mp4host/value_recorder.h>
#include <mp4throughanalyzer.h>
#include <strigi/analysisresult.h>
#include <strigi/fieldtypes.h>
#include <strigi/streambase.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "boxes.h"

namespace {

using mp4test::be32;
using mp4test::box;
using mp4test::Bytes;

// A stream over bytes in memory that hands out pointers into them, as the
// host's file stream does from its buffer or mapping.
class MemoryStream : public Strigi::InputStream {
 public:
  explicit MemoryStream(const Bytes& bytes) : m_bytes(bytes) {
    m_size = static_cast<int64_t>(bytes.size());
  }
  int32_t read(const char*& start, int32_t min, int32_t max) override {
    const int64_t left = m_size - m_position;
    if (left <= 0) {
      m_status = Strigi::Eof;
      return -1;
    }
    int64_t n = left;
    if (max >= min && n > max) n = max;
    start = m_bytes.data() + m_position;
    m_position += n;
    return static_cast<int32_t>(n);
  }
  int64_t reset(int64_t pos) override {
    if (pos < 0 || pos > m_size) return m_position;
    m_position = pos;
    m_status = Strigi::Ok;
    return pos;
  }

 private:
  const Bytes& m_bytes;
};

Bytes jpegLike(size_t n) {
  Bytes b = "\xFF\xD8\xFF\xE0";
  b.reserve(n);
  uint32_t x = 1;
  while (b.size() < n) {
    x = x * 1664525u + 1013904223u;
    b += static_cast<char>(x >> 24);
  }
  return b;
}

std::vector<Bytes> songTags(bool cover) {
  std::vector<Bytes> items = {
      mp4test::textItem("\251nam", "A title of a song"),
      mp4test::textItem("\251ART", "Some Artist"),
      mp4test::textItem("\251alb", "The Album"),
      mp4test::textItem("aART", "Some Artist"),
      mp4test::textItem("\251day", "2003"),
      mp4test::textItem("\251gen", "Rock"),
      mp4test::textItem("\251too", "Lavf59.27.100"),
      mp4test::item("trkn",
                    {mp4test::data(0, mp4test::zeros(2) + "\0\x05\0\x0C" + mp4test::zeros(2))}),
      mp4test::item("disk", {mp4test::data(0, mp4test::zeros(2) + "\0\x01\0\x02")}),
  };
  if (cover) items.push_back(mp4test::item("covr", {mp4test::data(13, jpegLike(100 * 1024))}));
  return items;
}

// A sample table of n samples: sizes, one chunk per ten samples, one
// time-to-sample run.
Bytes sampleTable(const Bytes& stsd, uint32_t n) {
  Bytes stsz = mp4test::zeros(4) + be32(0) + be32(n);
  for (uint32_t i = 0; i < n; ++i) stsz += be32(300 + i % 97);
  Bytes stco = mp4test::zeros(4) + be32(n / 10);
  for (uint32_t i = 0; i < n / 10; ++i) stco += be32(4096 + i * 3000);
  return stsd + box("stts", mp4test::zeros(4) + be32(1) + be32(n) + be32(1024)) +
         box("stsz", stsz) + box("stco", stco);
}

// ftyp, moov and an mdat of mediaBytes, in either order.
Bytes file(const Bytes& moov, size_t mediaBytes, bool movieFirst) {
  const Bytes mdat = box("mdat", Bytes(mediaBytes, '\x55'));
  return mp4test::ftyp("M4A ") + (movieFirst ? moov + mdat : mdat + moov);
}

Bytes songMovie(bool cover) {
  const Bytes stsd = mp4test::stsd({mp4test::audioEntry("mp4a", 2, 16, 44100u << 16)});
  return mp4test::movie({{"soun", 44100, 44100 * 200, sampleTable(stsd, 8600)}}, songTags(cover),
                        1000, 200000);
}

// Two tracks of an hour-long film: 90,000 video samples, 170,000 sound samples.
Bytes filmMovie() {
  const Bytes video = mp4test::stsd({mp4test::videoEntry("avc1", 1920, 1080)});
  const Bytes sound = mp4test::stsd({mp4test::audioEntry("mp4a", 2, 16, 48000u << 16)});
  return mp4test::movie({{"vide", 25000, 90000000LL, sampleTable(video, 90000)},
                         {"soun", 48000, 172800000LL, sampleTable(sound, 170000)}},
                        {mp4test::textItem("\251nam", "A film")}, 1000, 3600000);
}

enum FileKind { kSong, kSongCover, kFilm };

const Bytes& movieOf(int kind) {
  static const Bytes song = songMovie(false);
  static const Bytes cover = songMovie(true);
  static const Bytes film = filmMovie();
  return kind == kSong ? song : kind == kSongCover ? cover : film;
}

const char* nameOf(int kind) {
  return kind == kSong ? "song" : kind == kSongCover ? "song+cover100k" : "film-2-tracks";
}

// The analyzer made by the plug-in's factory, with the fields registered.
struct Analyzer {
  Strigi::FieldRegister fields;
  Mp4ThroughAnalyzerFactory factory;
  std::unique_ptr<Strigi::StreamThroughAnalyzer> analyzer;
  Analyzer() {
    factory.registerFields(fields);
    analyzer.reset(factory.newInstance());
  }
};

// The plug-in's walk of ftyp and moov in memory, reporting into the host's
// recorder; the mdat is left out, as the walk only steps over it.
void BM_WalkInMemory(benchmark::State& state) {
  const Bytes bytes = mp4test::ftyp("M4A ") + movieOf(static_cast<int>(state.range(0)));
  Analyzer a;
  mp4host::ValueRecorder values;
  for (auto _ : state) {
    values.clear();
    MemoryStream stream(bytes);
    Strigi::AnalysisResult result("bench", values);
    a.analyzer->setIndexable(&result);
    a.analyzer->connectInputStream(&stream);
    a.analyzer->setIndexable(nullptr);
    benchmark::DoNotOptimize(values.values().data());
  }
  state.SetLabel(nameOf(static_cast<int>(state.range(0))));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(bytes.size()));
}
BENCHMARK(BM_WalkInMemory)->DenseRange(kSong, kFilm);

// A temporary directory with one file, removed at the end.
class TempFile {
 public:
  explicit TempFile(const Bytes& contents) {
    char dir[] = "/tmp/mp4bench-XXXXXX";
    if (!mkdtemp(dir)) throw std::runtime_error("mkdtemp failed");
    m_dir = dir;
    m_path = m_dir + "/file.mp4";
    const int fd = open(m_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0 ||
        write(fd, contents.data(), contents.size()) != static_cast<ssize_t>(contents.size())) {
      throw std::runtime_error("cannot write " + m_path);
    }
    // Written back, as files being indexed usually are.
    fsync(fd);
    close(fd);
  }
  ~TempFile() {
    unlink(m_path.c_str());
    rmdir(m_dir.c_str());
  }
  const std::string& path() const { return m_path; }

 private:
  std::string m_dir;
  std::string m_path;
};

// The loaded module and a pipeline over it, as one mp4meta worker has.
struct Host {
  Strigi::FieldRegister fields;
  mp4host::PluginSet plugins;
  std::unique_ptr<mp4host::Pipeline> pipeline;
  mp4host::ReportFormatter formatter;
  Host() {
    if (!plugins.loadModule(MP4_MODULE_PATH)) throw std::runtime_error("cannot load the module");
    plugins.registerFields(fields);
    pipeline = std::make_unique<mp4host::Pipeline>(plugins);
  }
};

// Open, analyse through the file stream, format as JSON, close: what
// mp4meta --json does for each file, less the writing. Arguments: the kind
// of movie, the movie box first (1) or last (0), plain buffered reads (1).
// Reported per file.
void BM_AnalyzeFile(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const bool movieFirst = state.range(1) != 0;
  const bool plain = state.range(2) != 0;
  const size_t media = kind == kFilm ? 200u << 20 : 1u << 20;
  const TempFile f(file(movieOf(kind), media, movieFirst));
  Host host;
  host.pipeline->setPlainFileReads(plain);
  std::string out;
  for (auto _ : state) {
    out.clear();
    if (!host.pipeline->analyzeFile(f.path())) state.SkipWithError("analysis failed");
    host.formatter.appendJson(out, f.path(), host.pipeline->values());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetLabel(std::string(nameOf(kind)) + (movieFirst ? ", movie first" : ", movie last") +
                 (plain ? ", buffered" : ", mapped"));
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}
BENCHMARK(BM_AnalyzeFile)
    ->ArgsProduct({{kSong, kSongCover, kFilm}, {1, 0}, {0}})
    ->Args({kSong, 0, 1})
    ->Args({kSongCover, 1, 1});

// JSON of a 100 KB cover: UTF-8 check, then base64.
void BM_JsonBinaryValue(benchmark::State& state) {
  const Bytes cover = jpegLike(static_cast<size_t>(state.range(0)));
  std::string out;
  for (auto _ : state) {
    out.clear();
    mp4host::appendJsonValue(out, cover.data(), cover.size());
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(cover.size()));
}
BENCHMARK(BM_JsonBinaryValue)->Arg(100 * 1024);

}  // namespace

BENCHMARK_MAIN();
