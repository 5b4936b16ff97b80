// Damaged files, end to end. Every sample and a few synthetic movies are cut
// at each top-level box boundary and at points inside each header and box,
// given stray trailing bytes, or read through streams that fail part-way;
// hand-made files carry bad size fields and nesting past the depth limit.
// The oracle is the analyzer itself on the undamaged file that the damage
// leaves: for a cut, the file of the complete top-level boxes before it,
// whose reports must come out exactly, without the mime type, since the
// intake did not reach the end. The same holds through the static analyzer
// over streams that catch reads outside the delivered bytes, through the
// loaded module over the host's file and pipe streams, and through mp4meta.
#include <boxes.h>
#include <gtest/gtest.h>
#include <mp4host/pipeline.h>
#include <recording.h>
#include <streams.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "json_value.h"
#include "recorded_values.h"
#include "test_files.h"

namespace {

using namespace mp4test;
using hosttest::TempDir;

// A top-level box as the intake sees it: [start, end), and its header
// length (16 with a 64-bit size). A size field of 0 runs to the end.
struct TopBox {
  size_t start;
  size_t end;
  size_t headerLength;
  bool toEnd;
};

// The top-level boxes of a well-formed file, in order.
std::vector<TopBox> topLevelBoxes(const Bytes& file) {
  std::vector<TopBox> boxes;
  size_t at = 0;
  while (at + 8 <= file.size()) {
    const uint32_t sizeField = static_cast<uint32_t>(
        static_cast<unsigned char>(file[at]) << 24 |
        static_cast<unsigned char>(file[at + 1]) << 16 |
        static_cast<unsigned char>(file[at + 2]) << 8 | static_cast<unsigned char>(file[at + 3]));
    TopBox b{at, at + sizeField, 8, sizeField == 0};
    if (sizeField == 0) b.end = file.size();
    if (sizeField == 1) {
      uint64_t large = 0;
      for (size_t i = 8; i < 16; ++i) large = large << 8 | static_cast<unsigned char>(file[at + i]);
      b.end = at + large;
      b.headerLength = 16;
    }
    boxes.push_back(b);
    at = b.end;
  }
  return boxes;
}

// Where a file is cut: every boundary, and inside each box its header and
// payload at their starts, middles and ends.
std::set<size_t> cutPoints(const std::vector<TopBox>& boxes) {
  std::set<size_t> cuts;
  for (const TopBox& b : boxes) {
    const size_t h = b.headerLength;
    for (size_t in : {size_t{1}, size_t{4}, h - 1, h, h + 1, (b.end - b.start) / 2}) {
      if (b.start + in < b.end) cuts.insert(b.start + in);
    }
    cuts.insert(b.end - 1);
    cuts.insert(b.end);
  }
  cuts.erase(0);
  return cuts;
}

// The complete top-level boxes before offset cut: the file that the cut
// leaves whole. A box of size field 0 is never complete when cut, since it
// would then run to the new end.
size_t completeBefore(const std::vector<TopBox>& boxes, size_t cut) {
  size_t end = 0;
  for (const TopBox& b : boxes) {
    if (b.end > cut) break;
    end = b.end;
  }
  return end;
}

Log withoutMimeType(Log log) {
  if (!log.empty() && log.back().key == "content.mime_type") log.pop_back();
  return log;
}

Bytes synthSong() {
  const Track sound{"soun", 44100, 441000, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
  return ftyp("M4A ") +
         movie({sound},
               {textItem("\251nam", "Title"), textItem("\251ART", "Artist"),
                item("trkn", {data(0, zeros(2) + be16(3) + be16(9) + zeros(2))}),
                item("gnre", {data(0, be16(17))}), item("rtng", {data(21, be16(4))}),
                item("covr", {data(13, "\xFF\xD8\xFF\xE0" + zeros(200))})},
               1000, 10000) +
         box("free", zeros(30)) + box("mdat", zeros(400));
}

// The mime type changes along the file: the first movie has sound only,
// the second (after 64-bit media data) a video track.
Bytes synthMovie() {
  const Track sound{"soun", 48000, 96000, stsd({audioEntry("mp4a", 1, 16, 48000u << 16)})};
  const Track video{"vide", 600, 1200, stsd({videoEntry("avc1", 640, 360)})};
  return ftyp() + box("free", "") + movie({sound}, {}, 600, 1200) + largeBox("mdat", zeros(300)) +
         movie({video}, {}, 600, 1800);
}

Bytes synthQuickTime() {
  const Track video{"vide", 600, 3000, stsd({videoEntry("mp4v", 320, 240)})};
  return movie({video}, {textItem("\251too", "Camera")}, 600, 3000) + box("mdat", zeros(200)) +
         box("udta", {textItem("\251nam", "x")});
}

std::map<std::string, Bytes> sources() {
  std::map<std::string, Bytes> files = {{"synth-song.m4a", synthSong()},
                                        {"synth-movie.mp4", synthMovie()},
                                        {"synth-quicktime.mov", synthQuickTime()}};
  for (const auto& entry : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".md" || ext == ".txt") continue;
    files[entry.path().filename().string()] = hosttest::readFile(entry.path().string());
  }
  return files;
}

// A damaged file and the undamaged file whose reports it must give;
// without the mime type when the intake cannot reach the end.
struct Damaged {
  std::string name;
  Bytes bytes;
  Bytes oracle;
  bool mimeType;
};

// Every cut of a file, and the file with 1 to 7 stray bytes after it.
std::vector<Damaged> damagedVersions(const std::string& name, const Bytes& file) {
  const std::vector<TopBox> boxes = topLevelBoxes(file);
  std::vector<Damaged> out;
  for (size_t cut : cutPoints(boxes)) {
    if (cut >= file.size()) continue;
    // A box of size field 0 cut after its header still runs to the end.
    const auto in = std::find_if(boxes.begin(), boxes.end(),
                                 [cut](const TopBox& b) { return b.start < cut && cut < b.end; });
    if (in != boxes.end() && in->toEnd && cut >= in->start + 8) continue;
    const size_t whole = completeBefore(boxes, cut);
    out.push_back({name + " cut at " + std::to_string(cut), file.substr(0, cut),
                   file.substr(0, whole), whole == cut});
  }
  if (boxes.back().toEnd) return out;  // stray bytes would belong to its last box
  const Bytes stray = be32(8) + "fre";
  for (size_t n = 1; n <= 7; ++n) {
    out.push_back({name + " with " + std::to_string(n) + " stray bytes", file + stray.substr(0, n),
                   file, false});
    out.push_back(
        {name + " with " + std::to_string(n) + " stray zeros", file + zeros(n), file, false});
  }
  return out;
}

// Hand-made damage: size fields at the top level and inside a container,
// and nesting past the depth limit.
std::vector<Damaged> handMade() {
  const Track sound{"soun", 44100, 441000, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
  const Bytes mvhdBox = mvhd(1000, 7000);
  const Bytes soundTrak = trak(sound);
  const Bytes tags = udtaTags({textItem("\251nam", "Song")});
  const Bytes head = ftyp();
  const Bytes goodMoov = box("moov", {mvhdBox, soundTrak, tags});
  std::vector<Damaged> out = {
      {"top-level size 0 last", head + goodMoov + boxWithSizeField(0, "mdat", zeros(50)),
       head + goodMoov + box("mdat", zeros(50)), true},
      {"top-level movie of size 0", head + boxWithSizeField(0, "moov", goodMoov.substr(8)),
       head + goodMoov, true},
      {"top-level 64-bit size", head + largeBox("moov", goodMoov.substr(8)), head + goodMoov, true},
      {"top-level size past the end", head + goodMoov + boxWithSizeField(900, "mdat", zeros(50)),
       head + goodMoov, false},
      {"top-level 64-bit size past the end", head + goodMoov + largeBox("mdat", zeros(9), 900),
       head + goodMoov, false},
      {"top-level 64-bit size below 16", head + goodMoov + largeBox("free", "", 12),
       head + goodMoov, false},
  };
  for (uint32_t n = 2; n < 8; ++n) {
    out.push_back({"top-level size " + std::to_string(n),
                   head + goodMoov + be32(n) + "free" + zeros(12), head + goodMoov, false});
  }
  // Inside the movie: a bad child ends the walk of the movie, and its later
  // siblings are not visited; the movie and the boxes after it are.
  const Bytes after = box("mdat", zeros(20));
  const auto insideMovie = [&](const std::string& what, const Bytes& bad) {
    return Damaged{"child " + what, head + box("moov", {mvhdBox, soundTrak, bad, tags}) + after,
                   head + box("moov", {mvhdBox, soundTrak}) + after, true};
  };
  out.push_back(insideMovie("past its container", boxWithSizeField(400, "udta", zeros(8))));
  out.push_back(insideMovie("64-bit size past its container", largeBox("udta", "", 400)));
  out.push_back(insideMovie("64-bit size below 16", largeBox("udta", "", 15)));
  for (uint32_t n = 2; n < 8; ++n) {
    out.push_back(insideMovie("size " + std::to_string(n), be32(n) + "udta"));
  }
  out.push_back({"child of size 0",
                 head + box("moov", {mvhdBox, soundTrak, boxWithSizeField(0, "free", "")}) + after,
                 head + box("moov", {mvhdBox, soundTrak, box("free", "")}) + after, true});
  // A video handler nested past the depth limit is never seen.
  Bytes nested = hdlr("vide");
  for (int i = 0; i < 20; ++i) nested = box("udta", nested);
  out.push_back({"nesting past the depth limit",
                 head + box("moov", {mvhdBox, soundTrak, nested, tags}) + after,
                 head + box("moov", {mvhdBox, soundTrak, box("udta", ""), tags}) + after, true});
  return out;
}

// All the damaged files, named for the test that shows them.
std::vector<Damaged> allDamaged() {
  std::vector<Damaged> all = handMade();
  for (const auto& [name, bytes] : sources()) {
    const std::vector<Damaged> versions = damagedVersions(name, bytes);
    all.insert(all.end(), versions.begin(), versions.end());
  }
  return all;
}

TEST(DamagedInput, SourcesAreWellFormedAtTheTopLevel) {
  const std::map<std::string, Bytes> files = sources();
  EXPECT_GE(files.size(), 12u);
  for (const auto& [name, bytes] : files) {
    const std::vector<TopBox> boxes = topLevelBoxes(bytes);
    ASSERT_FALSE(boxes.empty()) << name;
    EXPECT_EQ(boxes.back().end, bytes.size()) << name;
    // The intake walks each one to its end.
    const Log log = Harness().run(bytes);
    ASSERT_FALSE(log.empty()) << name;
    EXPECT_EQ(log.back().key, "content.mime_type") << name;
  }
}

// The analyzer over a stream that hands out fresh buffers of exactly the
// bytes delivered, of known size and of a size learnt at the end.
TEST(DamagedInput, AnalyzerReportsWhatTheUndamagedPartGives) {
  testing::internal::CaptureStderr();
  for (const Damaged& d : allDamaged()) {
    const Log oracle = Harness().run(d.oracle);
    const Log expected = d.mimeType ? oracle : withoutMimeType(oracle);
    FreshBufferStream sized(d.bytes);
    EXPECT_EQ(Harness().run(&sized), expected) << d.name;
    UnknownSizeStream learnsSize(d.bytes);
    EXPECT_EQ(Harness().run(&learnsSize), expected) << d.name;
  }
  testing::internal::GetCapturedStderr();
}

// A read that fails at an offset ends the intake like a cut there, though
// the stream is not at its end: without the mime type, also at a boundary.
TEST(DamagedInput, ReadFailingPartWayEndsLikeACut) {
  for (const auto& [name, file] : sources()) {
    const std::vector<TopBox> boxes = topLevelBoxes(file);
    for (size_t at : cutPoints(boxes)) {
      if (at >= file.size()) continue;
      const Log expected =
          withoutMimeType(Harness().run(file.substr(0, completeBefore(boxes, at))));
      for (bool knownSize : {true, false}) {
        FailingStream in(file, static_cast<int64_t>(at), knownSize);
        EXPECT_EQ(Harness().run(&in), expected)
            << name << " failing at " << at << (knownSize ? "" : ", size unknown");
      }
    }
  }
}

// Through the loaded module and the host's streams, as mp4meta reads files
// and standard input.
TEST(DamagedInput, HostStreamsReportWhatTheUndamagedPartGives) {
  hosttest::LoadedModule module(MP4_MODULE_PATH);
  mp4host::Pipeline pipeline(module.plugins);
  TempDir dir;
  int files = 0;
  const auto viaFile = [&](const Bytes& bytes) {
    // A new file each time: rewriting one makes some file systems flush it.
    const std::string path = dir.write(std::to_string(files++) + ".mp4", bytes);
    EXPECT_TRUE(pipeline.analyzeFile(path)) << pipeline.error();
    EXPECT_EQ(pipeline.warnings(), std::vector<std::string>{});
    return hosttest::describe(pipeline.values());
  };
  const auto viaPipe = [&](const Bytes& bytes) {
    EXPECT_TRUE(hosttest::analyzePipe(pipeline, bytes)) << pipeline.error();
    EXPECT_EQ(pipeline.warnings(), std::vector<std::string>{});
    return hosttest::describe(pipeline.values());
  };
  testing::internal::CaptureStderr();
  for (const Damaged& d : allDamaged()) {
    const std::vector<std::string> oracle = viaFile(d.oracle);
    const std::vector<std::string> expected =
        d.mimeType ? oracle : hosttest::withoutMimeType(oracle);
    EXPECT_EQ(viaFile(d.bytes), expected) << d.name;
    EXPECT_EQ(viaPipe(d.bytes), expected) << d.name << " (pipe)";
  }
  testing::internal::GetCapturedStderr();
}

bool sameJson(const hosttest::JsonValue& a, const hosttest::JsonValue& b) {
  if (a.type != b.type || a.text != b.text || a.items.size() != b.items.size() ||
      a.members.size() != b.members.size()) {
    return false;
  }
  for (size_t i = 0; i < a.items.size(); ++i) {
    if (!sameJson(a.items[i], b.items[i])) return false;
  }
  for (size_t i = 0; i < a.members.size(); ++i) {
    if (a.members[i].first != b.members[i].first ||
        !sameJson(a.members[i].second, b.members[i].second)) {
      return false;
    }
  }
  return true;
}

std::vector<hosttest::JsonValue> jsonLines(const std::string& text, size_t* malformed) {
  std::vector<hosttest::JsonValue> out;
  size_t from = 0;
  for (size_t end; (end = text.find('\n', from)) != std::string::npos; from = end + 1) {
    try {
      out.push_back(hosttest::parseJson(text.substr(from, end - from)));
    } catch (const std::exception&) {
      ++*malformed;
    }
  }
  return out;
}

// mp4meta over a directory of damaged files: it exits normally with one
// valid JSON line per file, whose fields are those of the undamaged part.
TEST(DamagedInput, Mp4metaGivesOneEntryPerFile) {
  TempDir dir;
  const std::vector<Damaged> damaged = allDamaged();
  for (size_t i = 0; i < damaged.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%05zu.mp4", i);
    dir.write(std::string("damaged/") + name, damaged[i].bytes);
    dir.write(std::string("oracle/") + name, damaged[i].oracle);
  }
  const hosttest::RunResult run = hosttest::runMp4meta({"--json", dir.path() + "/damaged"});
  const hosttest::RunResult oracleRun = hosttest::runMp4meta({"--json", dir.path() + "/oracle"});
  ASSERT_EQ(run.status, 0) << run.err.substr(0, 2000);
  ASSERT_EQ(oracleRun.status, 0) << oracleRun.err.substr(0, 2000);
  size_t malformed = 0;
  const std::vector<hosttest::JsonValue> reports = jsonLines(run.out, &malformed);
  const std::vector<hosttest::JsonValue> oracles = jsonLines(oracleRun.out, &malformed);
  EXPECT_EQ(malformed, 0u);
  ASSERT_EQ(reports.size(), damaged.size());
  ASSERT_EQ(oracles.size(), damaged.size());
  for (size_t i = 0; i < damaged.size(); ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%05zu.mp4", i);
    EXPECT_EQ(reports[i]["path"].text, dir.path() + "/damaged/" + name);
    hosttest::JsonValue expected = oracles[i]["fields"];
    if (!damaged[i].mimeType) {
      auto& m = expected.members;
      m.erase(
          std::remove_if(m.begin(), m.end(),
                         [](const auto& member) { return member.first == "content.mime_type"; }),
          m.end());
    }
    EXPECT_TRUE(sameJson(reports[i]["fields"], expected)) << damaged[i].name;
  }
  // Standard error holds nothing but the walker's diagnostics.
  for (size_t from = 0, end; (end = run.err.find('\n', from)) != std::string::npos;
       from = end + 1) {
    const std::string line = run.err.substr(from, end - from);
    const bool diagnostic = line.find("excess bytes in ") != std::string::npos ||
                            line.find("64 bit length") != std::string::npos ||
                            line.find("box smaller than its header") != std::string::npos;
    EXPECT_TRUE(diagnostic) << line;
  }
}

}  // namespace
