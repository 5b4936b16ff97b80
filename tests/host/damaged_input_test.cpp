// Damaged files, end to end. Every sample and a few synthetic movies are cut
// at each top-level box boundary and at points inside each header and box,
// given stray trailing bytes, or read through streams that fail part-way;
// hand-made files carry bad size fields inside the movie and nesting past
// the depth limit. The oracle is the analyzer itself on the undamaged file
// that the damage leaves: for a cut, the file of the complete top-level
// boxes before it, whose reports must come out exactly, without the mime
// type, since the intake did not reach the end. The same holds through
// streams that catch reads outside the delivered bytes (of known size and
// of a size learnt at the end, as a pipe's) and through mp4meta over files.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "recording.h"
#include "streams.h"
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

// The mime type changes along the file: the first movie has sound only,
// the second (after 64-bit media data) a video track.
Bytes synthMovie() {
  const Track sound{"soun", 48000, 96000, stsd({audioEntry("mp4a", 1, 16, 48000u << 16)})};
  const Track video{"vide", 600, 1200, stsd({videoEntry("avc1", 640, 360)})};
  return ftyp() + box("free", "") + movie({sound}, {}, 600, 1200) + largeBox("mdat", zeros(300)) +
         movie({video}, {}, 600, 1800);
}

std::map<std::string, Bytes> sources() {
  std::map<std::string, Bytes> files = {{"synth-movie.mp4", synthMovie()}};
  for (const auto& entry : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    const std::string ext = entry.path().extension().string();
    if (ext == ".md" || ext == ".txt") continue;
    files[entry.path().filename().string()] = readFile(entry.path().string());
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

// Hand-made damage inside the movie: a bad child ends the walk of the
// movie, and its later siblings are not visited; the movie and the boxes
// after it are. A video handler nested past the depth limit is never seen.
std::vector<Damaged> handMade() {
  const Bytes head = ftyp();
  const Bytes mvhdBox = mvhd(1000, 7000);
  const Bytes soundTrak = trak(soundTrack());
  const Bytes tags = udtaTags({textItem("\251nam", "Song")});
  const Bytes after = box("mdat", zeros(20));
  const auto insideMovie = [&](const std::string& what, const Bytes& bad, const Bytes& good) {
    return Damaged{"child " + what, head + box("moov", {mvhdBox, soundTrak, bad, tags}) + after,
                   head + box("moov", {mvhdBox, soundTrak, good}) + after, true};
  };
  std::vector<Damaged> out = {
      {"top-level 64-bit size", head + largeBox("moov", box("moov", {mvhdBox, tags}).substr(8)),
       head + box("moov", {mvhdBox, tags}), true},
      insideMovie("past its container", boxWithSizeField(400, "udta", zeros(8)), ""),
      insideMovie("64-bit size past its container", largeBox("udta", "", 400), ""),
      insideMovie("64-bit size below 16", largeBox("udta", "", 15), ""),
  };
  for (uint32_t n = 2; n < 8; ++n) {
    out.push_back(insideMovie("size " + std::to_string(n), be32(n) + "udta", ""));
  }
  out.push_back(Damaged{"child of size 0",
                        head + box("moov", {mvhdBox, soundTrak, boxWithSizeField(0, "free", "")}),
                        head + box("moov", {mvhdBox, soundTrak, box("free", "")}), true});
  Bytes nested = hdlr("vide");
  for (int i = 0; i < 20; ++i) nested = box("udta", nested);
  out.push_back(insideMovie("nested past the depth limit", nested, box("udta", "") + tags));
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

// The analyzer over a stream that hands out fresh buffers of exactly the
// bytes delivered, of known size and of a size learnt at the end.
TEST(DamagedInput, AnalyzerReportsWhatTheUndamagedPartGives) {
  // The sources are well formed: the intake walks each one to its end.
  for (const auto& [name, bytes] : sources()) {
    ASSERT_EQ(topLevelBoxes(bytes).back().end, bytes.size()) << name;
    ASSERT_EQ(Harness().run(bytes).back().key, "content.mime_type") << name;
  }
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

std::vector<nlohmann::ordered_json> jsonLines(const std::string& text) {
  std::vector<nlohmann::ordered_json> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    out.push_back(nlohmann::ordered_json::parse(line, nullptr, false));
    EXPECT_FALSE(out.back().is_discarded()) << line;
  }
  return out;
}

// mp4meta over a directory of damaged files (through the host's file
// stream): it exits normally with one valid JSON line per file, whose
// fields are those of the undamaged part.
TEST(DamagedInput, Mp4metaGivesOneEntryPerFile) {
  TempDir dir;
  const std::vector<Damaged> damaged = allDamaged();
  const auto name = [](size_t i) {
    std::string n = std::to_string(i);
    return std::string(5 - n.size(), '0') + n + ".mp4";
  };
  // A new file for each case: rewriting one makes some file systems flush it.
  for (size_t i = 0; i < damaged.size(); ++i) {
    dir.write("damaged/" + name(i), damaged[i].bytes);
    dir.write("oracle/" + name(i), damaged[i].oracle);
  }
  const hosttest::RunResult run = hosttest::runMp4meta({"--json", dir.path() + "/damaged"});
  const hosttest::RunResult oracleRun = hosttest::runMp4meta({"--json", dir.path() + "/oracle"});
  ASSERT_EQ(run.status, 0) << run.err.substr(0, 2000);
  ASSERT_EQ(oracleRun.status, 0) << oracleRun.err.substr(0, 2000);
  const std::vector<nlohmann::ordered_json> reports = jsonLines(run.out);
  const std::vector<nlohmann::ordered_json> oracles = jsonLines(oracleRun.out);
  ASSERT_EQ(reports.size(), damaged.size());
  ASSERT_EQ(oracles.size(), damaged.size());
  for (size_t i = 0; i < damaged.size(); ++i) {
    EXPECT_EQ(reports[i]["path"], dir.path() + "/damaged/" + name(i));
    nlohmann::ordered_json expected = oracles[i]["fields"];
    if (!damaged[i].mimeType) expected.erase("content.mime_type");
    EXPECT_EQ(reports[i]["fields"], expected) << damaged[i].name;
  }
  // Standard error holds nothing but the walker's diagnostics.
  std::istringstream err(run.err);
  for (std::string line; std::getline(err, line);) {
    const bool diagnostic = line.find("excess bytes in ") != std::string::npos ||
                            line.find("64 bit length") != std::string::npos ||
                            line.find("box smaller than its header") != std::string::npos;
    EXPECT_TRUE(diagnostic) << line;
  }
}

}  // namespace
