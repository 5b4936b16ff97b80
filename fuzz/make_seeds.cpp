// Writes the fuzz seed corpus: copies of the sample files and synthetic
// files that reach every box parser and the odd corners of the box format,
// as raw streams for fuzz_analyzer_memory (CORPUS/memory) and behind the
// control header of fuzz_analyzer_pieces (CORPUS/pieces); and small
// archives of them in every format for fuzz_archive (CORPUS/archive).
//
//   make_fuzz_seeds SAMPLES_FOLDER CORPUS_FOLDER
#include <test_files.h>
#include <boxes.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <utility>
#include <vector>

namespace {

using mp4test::be16;
using mp4test::be32;
using mp4test::be64;
using mp4test::box;
using mp4test::boxWithSizeField;
using mp4test::Bytes;
using mp4test::data;
using mp4test::fullBox;
using mp4test::largeBox;
using mp4test::textItem;
using mp4test::zeros;

Bytes byte(uint8_t v) { return Bytes(1, static_cast<char>(v)); }

mp4test::Track audioTrack(const Bytes& code = "mp4a") {
  return {"soun", 44100, 441000, mp4test::stsd({mp4test::audioEntry(code, 2, 16, 44100u << 16)})};
}
mp4test::Track videoTrack(const Bytes& code = "avc1") {
  return {"vide", 10240, 102400, mp4test::stsd({mp4test::videoEntry(code, 320, 240)})};
}
Bytes mdat() { return box("mdat", Bytes(16, 'Z')); }

// Every item type the analyzer decodes, with the ones it ignores and one
// it does not know.
std::vector<Bytes> allItems() {
  using mp4test::item;
  return {
      textItem("aART", "Album Artist"),
      item("covr", {data(13, "\xFF\xD8\xFF\xE0JPEG"), data(14, "\x89PNG")}),
      textItem("cprt", "Copyright"),
      textItem("apID", "buyer@example.com"),
      textItem("purd", "2008-03-04T05:06:07Z"),
      textItem("keyw", "Keyword"),
      textItem("desc", "Description"),
      item("purl", {data(0, "http://example.com/feed")}),
      textItem("\251nam", "Title"),
      item("\251ART", {data(1, "Z\xC3\xB6\x65"), data(1, "Second")}),
      textItem("\251wrt", "Composer"),
      textItem("\251alb", "Album"),
      textItem("\251cmt", "Comment"),
      textItem("\251gen", "Genre"),
      item("gnre", {data(0, be16(18))}),
      textItem("\251day", "2008"),
      textItem("\251too", "Encoder"),
      item("trkn", {data(0, be16(0) + be16(5) + be16(12) + be16(0))}),
      item("disk", {data(0, be16(0) + be16(1) + be16(2))}),
      item("tmpo", {data(21, be16(120))}),
      item("rtng", {data(21, byte(4))}),
      item("cpil", {data(21, byte(1))}),
      item("pgap", {data(21, byte(1))}),
      textItem("\251grp", "Grouping"),
      item("----",
           {fullBox("mean", 0, 0, "com.example"), fullBox("name", 0, 0, "Name"), data(1, "Value")}),
      item("cnID", {data(21, be32(1234))}),
      item("stik", {data(21, byte(1))}),
      textItem("xyzw", "unknown item"),
  };
}

// Values cut short or at their limits, for each decoding.
std::vector<Bytes> shortItems() {
  using mp4test::item;
  return {
      item("\251nam", {box("data", zeros(7))}),
      item("\251ART", {data(1, Bytes())}),
      item("\251alb", {data(1, Bytes("a\0b", 3))}),
      item("gnre", {data(0, byte(7))}),
      item("trkn", {data(0, be16(0) + be16(3) + byte(1))}),
      item("disk", {data(0, zeros(5))}),
      item("rtng", {data(21, Bytes())}),
      item("rtng", {data(21, be16(0x1234))}),
  };
}

using Seed = std::pair<std::string, Bytes>;

std::vector<Seed> syntheticSeeds() {
  using mp4test::ftyp;
  using mp4test::hdlr;
  using mp4test::mdhd;
  using mp4test::meta;
  using mp4test::movie;
  using mp4test::mvhd;
  using mp4test::stsd;
  const Bytes audio = movie({audioTrack()}, {}, 1000, 5000);
  const Bytes sound = mp4test::audioEntry("mp4a", 2, 16, 44100u << 16);

  Bytes deep = mvhd(600, 6000);
  for (int level = 0; level < 20; ++level) deep = box(level % 2 ? "trak" : "udta", deep);
  Bytes deepMeta = textItem("\251nam", "deep");
  for (int level = 0; level < 8; ++level) deepMeta = box("udta", {meta({box("ilst", deepMeta)})});

  return {
      {"ftyp-only", box("ftyp", Bytes())},
      {"audio", ftyp("M4A ") + audio + mdat()},
      {"video-and-audio", ftyp() + mdat() + movie({videoTrack(), audioTrack()}, {}, 1000, 10000)},
      {"quicktime-moov-first",
       box("moov", {mvhd(600, 5999), mp4test::trak(videoTrack("mp4v")), mp4test::trak(audioTrack()),
                    box("udta", {box("\251nam", be16(5) + be16(0x55C4) + "Movie")})}) +
           box("wide", Bytes()) + mdat()},
      {"time-headers-v1",
       ftyp() + box("moov", {mvhd(1000, 4294967296LL * 1000 + 5000, 1),
                             mp4test::trak({"vide", 10000000, -1,
                                            stsd({mp4test::videoEntry("avc1", 1920, 1080)})})})},
      {"time-headers-odd",
       ftyp() + box("moov", {mvhd(0, 1000), mdhd(1, -1), mvhd(1000, 1000, 2),
                             fullBox("mdhd", 0, 0, zeros(8)), fullBox("mdhd", 1, 0, zeros(24)),
                             box("mvhd", byte(0))})},
      {"audio-entries", ftyp() + movie({audioTrack("mp4a"), audioTrack("enca"), audioTrack("samr"),
                                        audioTrack("sawb")})},
      {"video-entries", ftyp() + movie({videoTrack("mp4v"), videoTrack("avc1"), videoTrack("encv"),
                                        videoTrack("s263")})},
      {"stsd-odd",
       ftyp() + box("moov",
                    {box("stbl", {stsd({mp4test::audioEntry("alac", 2, 16, 44100u << 16), sound}),
                                  stsd({mp4test::audioEntry("MP4A", 2, 16, 44100u << 16)}),
                                  stsd({sound}, 1),
                                  stsd({mp4test::audioEntry("mp4a", 0, 65535, 0xFFFFFFFF)}),
                                  fullBox("stsd", 0, 0, be32(1) + be32(36) + "mp4a" + zeros(10)),
                                  fullBox("stsd", 0, 0, be32(1) + be32(16) + "avc"),
                                  fullBox("stsd", 0, 0, Bytes())})})},
      {"handlers",
       ftyp() + box("moov", {hdlr("mdir", "soun"), hdlr("SOUN"), hdlr("mdir"),
                             fullBox("hdlr", 0, 0, zeros(4)), hdlr("vide"), hdlr("soun")})},
      {"track-references",
       ftyp() + box("moov",
                    {box("trak",
                         {box("tref", {box("hint", be32(1)), box("hint", be32(0x01000002)),
                                       box("chap", be32(2)), box("hint", Bytes())}),
                          box("edts", {fullBox("elst", 0, 0, be32(0))}),
                          box("mdia", {box("minf", {box("dinf", {fullBox("dref", 0, 0, be32(0))}),
                                                    box("gmhd", {box("gmin", zeros(16))}),
                                                    box("hint", byte(0))})})})})},
      {"tags-all", ftyp("M4A ") + movie({audioTrack()}, allItems(), 1000, 1000)},
      {"tags-short-data", ftyp("M4A ") + box("moov", {mp4test::udtaTags(shortItems())})},
      {"meta-version-1",
       ftyp() +
           box("moov", {box("udta", {meta({mp4test::ilst({textItem("\251nam", "hidden")})}, 1)})})},
      {"data-outside-item-list",
       ftyp() +
           box("moov",
               {data(1, "at moov"), box("\251nam", {data(1, "moov item")}),
                box("ilst", {textItem("\251nam", "moov.ilst")}),
                box("udta",
                    {box("meta", {box("ilst", {textItem("\251nam", "plain")})}),
                     meta({box("ilst", {box("udta", {textItem("\251nam", "too deep")})})})})}) +
           meta({box("ilst", {textItem("\251nam", "top meta")})})},
      {"size-64bit",
       ftyp() + largeBox("free", zeros(8)) +
           box("moov", {largeBox("mvhd", mvhd(600, 1200).substr(8)),
                        largeBox("udta", mp4test::udtaTags({textItem("\251nam", "large")})),
                        largeBox("trak", Bytes(), 8)}) +
           largeBox("mdat", zeros(8))},
      {"size-64bit-cut-off", ftyp() + box("moov", {mvhd(1000, 1000), be32(1) + "trak" + be32(0)})},
      {"size-64bit-too-large", ftyp() + box("moov", {largeBox("trak", zeros(8), 0x7FFFFFFFFFFFFFFF),
                                                     largeBox("trak", zeros(8), ~uint64_t{1})})},
      {"size-zero-child",
       ftyp() + box("moov", {mvhd(1000, 2000),
                             box("udta", boxWithSizeField(
                                             0, "meta",
                                             zeros(4) + hdlr("mdir") +
                                                 mp4test::ilst({textItem("\251nam", "zero")})))})},
      {"size-zero-last", ftyp() + mdat() + boxWithSizeField(0, "moov", audio.substr(8))},
      {"child-too-small",
       ftyp() + box("moov", {boxWithSizeField(4, "trak", Bytes()), mvhd(1000, 1000)}) + audio},
      {"child-past-container",
       ftyp() + box("moov", {boxWithSizeField(120, "trak", zeros(92))}) + audio},
      {"container-tail-bytes", ftyp() + box("moov", {mvhd(1000, 1000), zeros(3)}) +
                                   box("moov", {box("udta", Bytes("\0\0\0\x10udt", 7))})},
      {"deep-nesting", ftyp() + box("moov", {deep}) + box("moov", {deepMeta})},
      {"empty-containers",
       ftyp() + box("moov", Bytes()) + box("moov", zeros(7)) + box("trak", Bytes())},
      {"stray-bytes", ftyp() + audio + zeros(3)},
      {"top-box-past-end", ftyp() + audio + boxWithSizeField(4096, "mdat", zeros(16))},
      {"top-size-small", ftyp() + boxWithSizeField(4, "free", Bytes()) + audio},
      {"top-size-64bit-small", ftyp() + largeBox("free", Bytes(), 8) + audio},
      {"top-size-64bit-cut-off", ftyp() + be32(1) + "free" + be32(0)},
      {"media-data-first", mdat() + audio},
      {"moov-only", box("moov", Bytes())},
  };
}

// The control header of fuzz_analyzer_pieces: stream kind, whether it
// resets anywhere, and parameter.
enum Kind { Plain = 0, Sized = 1, Failing = 2, Sparse = 3 };
constexpr uint8_t kSeekable = 4;
constexpr uint8_t kSizeUnknown = 8;

Bytes control(uint8_t kind, uint32_t parameter) { return byte(kind) + be32(parameter).substr(1); }

// A sparse stream: head, then holeUnits times 128 MiB of zeros, then tail.
Bytes sparse(const Bytes& head, uint32_t holeUnits, const Bytes& tail, uint8_t flags = kSeekable) {
  return control(Sparse | flags, ((holeUnits - 1) << 16) | static_cast<uint32_t>(head.size())) +
         head + tail;
}

constexpr uint64_t kHoleUnit = uint64_t{1} << 27;

std::vector<Seed> sparseSeeds() {
  const Bytes moov = mp4test::movie({audioTrack()}, {textItem("\251nam", "far")}, 1000, 7200000);
  const Bytes ftyp = mp4test::ftyp("M4A ");
  const uint64_t twoGiB = 16 * kHoleUnit;
  const Bytes twoGiBMdat = ftyp + be32(static_cast<uint32_t>(8 + twoGiB)) + "mdat";
  return {
      // An "mdat" of 2 GiB puts the "moov" beyond the reach of 32-bit reads.
      {"sparse-moov-after-2g", sparse(twoGiBMdat, 16, moov)},
      {"sparse-moov-after-2g-no-far-reset", sparse(twoGiBMdat, 16, moov, 0)},
      {"sparse-moov-after-4g", sparse(ftyp + be32(1) + "mdat" + be64(16 + 2 * twoGiB), 32, moov)},
      {"sparse-moov-past-end", sparse(twoGiBMdat, 16, moov.substr(0, moov.size() / 2))},
      {"sparse-size-zero-after-2g",
       sparse(twoGiBMdat, 16, boxWithSizeField(0, "moov", moov.substr(8)))},
      // A last box with size field 0 while the size is unknown: the stream
      // is read from the start until it ends.
      {"sparse-size-zero-unknown-size",
       sparse(ftyp + boxWithSizeField(0, "mdat", Bytes()), 16, moov, kSizeUnknown)},
      // Below 2 GiB everything is still read from the start.
      {"sparse-moov-after-512m",
       sparse(ftyp + be32(static_cast<uint32_t>(8 + 4 * kHoleUnit)) + "free", 4, moov)},
  };
}

Bytes readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFile(const std::filesystem::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) {
    std::fprintf(stderr, "%s: cannot write\n", path.c_str());
    std::exit(1);
  }
}

// A song and a movie in every format, one archive in another, and a few
// hostile ones: cut short, an encrypted entry, names leading out.
std::vector<Seed> archiveSeeds() {
  using hosttest::packArchive;
  const Bytes song =
      mp4test::ftyp("M4A ") + mp4test::movie({audioTrack()}, allItems(), 1000, 5000) + mdat();
  const Bytes movie = mp4test::ftyp() + mdat() + mp4test::movie({videoTrack()}, {}, 600, 1200);
  const std::vector<hosttest::Member> members{
      {"album", "", hosttest::Member::Folder}, {"album/song.m4a", song}, {"movie.mp4", movie}};
  std::vector<Seed> seeds;
  const char* const formats[][3] = {{"zip-stored", "", "zip"},   {"zip", "", "deflated.zip"},
                                    {"tar", "", "tar"},          {"tar", "gzip", "tar.gz"},
                                    {"tar", "bzip2", "tar.bz2"}, {"tar", "xz", "tar.xz"},
                                    {"tar", "zstd", "tar.zst"},  {"7z", "", "7z"}};
  for (const auto& f : formats) seeds.emplace_back(f[2], packArchive(f[0], members, f[1]));
  seeds.emplace_back("nested.zip",
                     packArchive("zip-stored", {{"in.tgz", packArchive("tar", members, "gzip")}}));
  const Bytes zip = packArchive("zip", members);
  seeds.emplace_back("cut.zip", zip.substr(0, zip.size() / 2));
  seeds.emplace_back("encrypted.zip", packArchive("zip-encrypted", members));
  seeds.emplace_back("names.tar", packArchive("tar", {{"../up.m4a", song},
                                                      {"/abs.m4a", song},
                                                      {"link", "up", hosttest::Member::Symlink}}));
  return seeds;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s SAMPLES_FOLDER CORPUS_FOLDER\n", argv[0]);
    return 2;
  }
  const std::filesystem::path memory = std::filesystem::path(argv[2]) / "memory";
  const std::filesystem::path pieces = std::filesystem::path(argv[2]) / "pieces";
  std::filesystem::create_directories(memory);
  std::filesystem::create_directories(pieces);

  std::vector<std::filesystem::path> samples;
  for (const auto& entry : std::filesystem::directory_iterator(argv[1])) {
    const std::string extension = entry.path().extension().string();
    if (extension != ".md" && extension != ".txt") samples.push_back(entry.path());
  }
  std::sort(samples.begin(), samples.end());
  std::vector<Seed> seeds;
  for (const auto& path : samples) {
    seeds.emplace_back("sample-" + path.filename().string(), readFile(path));
  }
  for (const Seed& seed : syntheticSeeds()) seeds.emplace_back("synth-" + seed.first, seed.second);

  // For the piece stream, the samples take the three stream kinds in turn;
  // each synthetic seed comes with an unknown size, and with a known size or
  // failing halfway through, in turn.
  const char* const prefixes[] = {"plain-", "sized-", "failing-"};
  int sampleIndex = 0;
  int syntheticIndex = 0;
  for (const Seed& seed : seeds) {
    writeFile(memory / seed.first, seed.second);
    const uint32_t half = static_cast<uint32_t>(seed.second.size() / 2);
    std::vector<uint8_t> kinds;
    if (seed.first.rfind("synth-", 0) == 0) {
      kinds = {Plain, static_cast<uint8_t>(syntheticIndex++ % 2 == 0 ? Sized : Failing)};
    } else {
      kinds = {static_cast<uint8_t>(sampleIndex++ % 3)};
    }
    for (const uint8_t kind : kinds) {
      writeFile(pieces / (prefixes[kind] + seed.first), control(kind, half) + seed.second);
    }
  }
  for (const Seed& seed : sparseSeeds()) writeFile(pieces / seed.first, seed.second);
  const std::filesystem::path archives = std::filesystem::path(argv[2]) / "archive";
  std::filesystem::create_directories(archives);
  for (const Seed& seed : archiveSeeds()) writeFile(archives / seed.first, seed.second);
  std::printf("%zu seeds written to %s\n", seeds.size(), argv[2]);
  return 0;
}
