// Damaged files. Every sample and a synthetic movie are cut at each
// top-level box boundary and at points inside each header and box, given
// stray trailing bytes, or read through streams that fail part-way; hand-made
// files carry bad sizes inside the movie and nesting past the depth limit.
// The oracle is the analyzer on the undamaged file the damage leaves: for a
// cut, the complete top-level boxes before it, whose reports must come out
// exactly, without the mime type, since the intake did not reach the end.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "test_files.h"

namespace {

using namespace mp4test;

// The top-level boxes of a well-formed file as [start, end) and whether
// the size field was 0 (to the end).
struct TopBox {
  size_t start, end, headerLength;
  bool toEnd;
};

std::vector<TopBox> topLevelBoxes(const Bytes& file) {
  std::vector<TopBox> boxes;
  const auto word = [&](size_t at, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | static_cast<unsigned char>(file[at + i]);
    return v;
  };
  for (size_t at = 0; at + 8 <= file.size(); at = boxes.back().end) {
    const uint64_t size = word(at, 4);
    boxes.push_back({at,
                     size == 0   ? file.size()
                     : size == 1 ? at + word(at + 8, 8)
                                 : at + size,
                     size == 1 ? 16u : 8u, size == 0});
  }
  return boxes;
}

// Every boundary, and inside each box its header and payload at their
// starts, middles and ends.
std::set<size_t> cutPoints(const std::vector<TopBox>& boxes) {
  std::set<size_t> cuts;
  for (const TopBox& b : boxes) {
    const size_t h = b.headerLength;
    for (size_t in :
         {size_t{1}, size_t{4}, h - 1, h, h + 1, (b.end - b.start) / 2, b.end - b.start - 1}) {
      if (b.start + in < b.end) cuts.insert(b.start + in);
    }
    cuts.insert(b.end);
  }
  cuts.erase(0);
  return cuts;
}

// The end of the complete top-level boxes before offset cut.
size_t completeBefore(const std::vector<TopBox>& boxes, size_t cut) {
  size_t end = 0;
  for (const TopBox& b : boxes) {
    if (b.end > cut) break;
    end = b.end;
  }
  return end;
}

std::map<std::string, Bytes> sources() {
  // The mime type changes along the file: sound first, video after 64-bit
  // media data.
  const Track sound{"soun", 48000, 96000, stsd({audioEntry("mp4a", 1, 16, 48000u << 16)})};
  const Track video{"vide", 600, 1200, stsd({videoEntry("avc1", 640, 360)})};
  std::map<std::string, Bytes> files = {
      {"synth", ftyp() + box("free", "") + movie({sound}, {}, 600, 1200) +
                    largeBox("mdat", zeros(300)) + movie({video}, {}, 600, 1800)}};
  for (const auto& entry : std::filesystem::directory_iterator(SAMPLES_DIR)) {
    const std::string ext = entry.path().extension().string();
    if (ext != ".md" && ext != ".txt") files[entry.path().filename()] = readFile(entry.path());
  }
  return files;
}

// A damaged file and the undamaged one whose reports it must give, without
// the mime type when the intake cannot reach the end.
struct Damaged {
  std::string name;
  Bytes bytes, oracle;
  bool mimeType;
};

std::vector<Damaged> allDamaged() {
  // A bad child ends the walk of the movie: its later siblings are not
  // visited, the boxes after the movie are.
  const Bytes head = ftyp(), mvhdBox = mvhd(1000, 7000), soundTrak = trak(soundTrack());
  const Bytes tags = udtaTags({textItem("\251nam", "Song")}), after = box("mdat", zeros(20));
  const auto inMovie = [&](const std::string& what, const Bytes& bad, const Bytes& good) {
    return Damaged{what, head + box("moov", {mvhdBox, soundTrak, bad, tags}) + after,
                   head + box("moov", {mvhdBox, soundTrak, good}) + after, true};
  };
  Bytes deep = hdlr("vide");
  for (int i = 0; i < 20; ++i) deep = box("udta", deep);
  std::vector<Damaged> out = {
      {"top-level 64-bit size", head + largeBox("moov", box("moov", {mvhdBox, tags}).substr(8)),
       head + box("moov", {mvhdBox, tags}), true},
      inMovie("past its container", boxWithSizeField(400, "udta", zeros(8)), ""),
      inMovie("64-bit size past its container", largeBox("udta", "", 400), ""),
      inMovie("64-bit size below 16", largeBox("udta", "", 15), ""),
      inMovie("nested past the depth limit", deep, box("udta", "") + tags),
      {"child of size 0", head + box("moov", {mvhdBox, soundTrak, boxWithSizeField(0, "free", "")}),
       head + box("moov", {mvhdBox, soundTrak, box("free", "")}), true}};
  for (uint32_t n = 2; n < 8; ++n)
    out.push_back(inMovie("size " + std::to_string(n), be32(n) + "udta", ""));
  for (const auto& [name, file] : sources()) {
    const std::vector<TopBox> boxes = topLevelBoxes(file);
    for (size_t cut : cutPoints(boxes)) {
      // A box of size field 0 cut after its header still runs to the end.
      const bool inToEnd = boxes.back().toEnd && cut >= boxes.back().start + 8;
      if (cut >= file.size() || inToEnd) continue;
      const size_t whole = completeBefore(boxes, cut);
      out.push_back({name + " cut at " + std::to_string(cut), file.substr(0, cut),
                     file.substr(0, whole), whole == cut});
    }
    if (boxes.back().toEnd) continue;  // stray bytes would belong to its last box
    for (size_t n = 1; n <= 7; ++n) {
      out.push_back(
          {name + " with stray bytes", file + (be32(8) + "fre").substr(0, n), file, false});
      out.push_back({name + " with stray zeros", file + zeros(n), file, false});
    }
  }
  return out;
}

Log withoutMimeType(Log log) {
  if (!log.empty() && log.back().rfind("content.mime_type ", 0) == 0) log.pop_back();
  return log;
}

// Through streams of known size and of a size learnt at the end (a pipe's).
TEST(DamagedInput, AnalyzerReportsWhatTheUndamagedPartGives) {
  for (const auto& [name, bytes] : sources()) {
    ASSERT_EQ(topLevelBoxes(bytes).back().end, bytes.size()) << name;
    ASSERT_EQ(Harness().run(bytes).back().rfind("content.mime_type", 0), 0u) << name;
  }
  testing::internal::CaptureStderr();
  for (const Damaged& d : allDamaged()) {
    const Log oracle = Harness().run(d.oracle);
    const Log expected = d.mimeType ? oracle : withoutMimeType(oracle);
    EXPECT_EQ(Harness().run(d.bytes), expected) << d.name;
    EXPECT_EQ(Harness().run(d.bytes, TestStream::LearntAtEnd), expected) << d.name;
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
      for (auto size : {TestStream::Known, TestStream::NeverKnown}) {
        TestStream in(file, size, static_cast<int64_t>(at));
        EXPECT_EQ(Harness().run(&in), expected) << name << " failing at " << at << " " << size;
      }
    }
  }
}

}  // namespace
