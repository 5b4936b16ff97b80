#include "mp4throughanalyzer.h"

#include <strigi/analysisresult.h>
#include <strigi/fieldtypes.h>
#include <strigi/streambase.h>
#include <strigi/textutils.h>

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <optional>

#define MP4_PLUGIN_EXPORT __attribute__((visibility("default")))

namespace {

// Field handles, written by registerFields and read by every analyzer.
const Strigi::RegisteredField* mimeTypeField = nullptr;
const Strigi::RegisteredField* audioGenreField = nullptr;
const Strigi::RegisteredField* audioTitleField = nullptr;
const Strigi::RegisteredField* audioTrackNumberField = nullptr;
const Strigi::RegisteredField* audioDiscNumberField = nullptr;
const Strigi::RegisteredField* audioComposerField = nullptr;
const Strigi::RegisteredField* contentCommentField = nullptr;
const Strigi::RegisteredField* audioArtistField = nullptr;
const Strigi::RegisteredField* audioAlbumField = nullptr;
const Strigi::RegisteredField* audioAlbumArtistField = nullptr;
const Strigi::RegisteredField* mediaCodecField = nullptr;
const Strigi::RegisteredField* contentLinksField = nullptr;
const Strigi::RegisteredField* contentPurchaserField = nullptr;
const Strigi::RegisteredField* contentPurchaseDateField = nullptr;
const Strigi::RegisteredField* contentKeywordField = nullptr;
const Strigi::RegisteredField* contentDescriptionField = nullptr;
const Strigi::RegisteredField* contentGeneratorField = nullptr;
const Strigi::RegisteredField* audioDurationField = nullptr;
const Strigi::RegisteredField* mediaDurationField = nullptr;
const Strigi::RegisteredField* videoDurationField = nullptr;
const Strigi::RegisteredField* audioCodecField = nullptr;
const Strigi::RegisteredField* videoCodecField = nullptr;
const Strigi::RegisteredField* contentCopyrightField = nullptr;
const Strigi::RegisteredField* contentThumbnailField = nullptr;
const Strigi::RegisteredField* contentCreationTimeField = nullptr;
const Strigi::RegisteredField* contentMaintainerField = nullptr;
const Strigi::RegisteredField* contentIdField = nullptr;
const Strigi::RegisteredField* userRatingField = nullptr;
const Strigi::RegisteredField* imageWidthField = nullptr;
const Strigi::RegisteredField* imageHeightField = nullptr;
const Strigi::RegisteredField* channelsField = nullptr;
const Strigi::RegisteredField* sampleRateField = nullptr;
const Strigi::RegisteredField* sampleFormatField = nullptr;

struct FieldDeclaration {
  const char* key;
  const std::string* type;
  const Strigi::RegisteredField** slot;
};

// Registration order is part of the interface with the host. The "TODO_"
// keys are the keys the index has always used; they are not placeholders.
constexpr FieldDeclaration kFields[] = {
    {"content.mime_type", &Strigi::FieldRegister::stringType, &mimeTypeField},
    {"content.genre", &Strigi::FieldRegister::stringType, &audioGenreField},
    {"audio.title", &Strigi::FieldRegister::stringType, &audioTitleField},
    {"TODO_trackNumber", &Strigi::FieldRegister::stringType, &audioTrackNumberField},
    {"TODO_discNumber", &Strigi::FieldRegister::stringType, &audioDiscNumberField},
    {"content.author", &Strigi::FieldRegister::stringType, &audioComposerField},
    {"content.comment", &Strigi::FieldRegister::stringType, &contentCommentField},
    {"audio.artist", &Strigi::FieldRegister::stringType, &audioArtistField},
    {"audio.album", &Strigi::FieldRegister::stringType, &audioAlbumField},
    {"TODO_audio.albumartist", &Strigi::FieldRegister::stringType, &audioAlbumArtistField},
    {"media.codec", &Strigi::FieldRegister::stringType, &mediaCodecField},
    {"content.links", &Strigi::FieldRegister::stringType, &contentLinksField},
    {"TODO_content.purchaser", &Strigi::FieldRegister::stringType, &contentPurchaserField},
    {"TODO_content.purchasedate", &Strigi::FieldRegister::datetimeType, &contentPurchaseDateField},
    {"content.keyword", &Strigi::FieldRegister::stringType, &contentKeywordField},
    {"content.description", &Strigi::FieldRegister::stringType, &contentDescriptionField},
    {"content.generator", &Strigi::FieldRegister::stringType, &contentGeneratorField},
    {"audio.duration", &Strigi::FieldRegister::integerType, &audioDurationField},
    {"media.duration", &Strigi::FieldRegister::integerType, &mediaDurationField},
    {"TODO_video.duration", &Strigi::FieldRegister::integerType, &videoDurationField},
    {"av.audio_codec", &Strigi::FieldRegister::stringType, &audioCodecField},
    {"av.video_codec", &Strigi::FieldRegister::stringType, &videoCodecField},
    {"content.copyright", &Strigi::FieldRegister::stringType, &contentCopyrightField},
    {"content.thumbnail", &Strigi::FieldRegister::binaryType, &contentThumbnailField},
    {"content.creation_time", &Strigi::FieldRegister::datetimeType, &contentCreationTimeField},
    {"content.maintainer", &Strigi::FieldRegister::stringType, &contentMaintainerField},
    {"content.ID", &Strigi::FieldRegister::stringType, &contentIdField},
    {"user.rating", &Strigi::FieldRegister::integerType, &userRatingField},
    {"image.width", &Strigi::FieldRegister::integerType, &imageWidthField},
    {"image.height", &Strigi::FieldRegister::integerType, &imageHeightField},
    {"audio.channel_count", &Strigi::FieldRegister::integerType, &channelsField},
    {"media.sample_rate", &Strigi::FieldRegister::integerType, &sampleRateField},
    {"media.sample_format", &Strigi::FieldRegister::integerType, &sampleFormatField},
};

// Box types are four raw bytes compared byte for byte, here as one 32-bit
// word. Item types that start with the copyright sign are written with the
// octal escape \251 (a hex escape would swallow the letters after it).
struct FourCC {
  // Implicit, so that tables can list plain literals such as "moov".
  constexpr FourCC(const char (&code)[5])  // NOLINT(google-explicit-constructor)
      : word(pack(code[0], code[1], code[2], code[3])) {}
  static constexpr uint32_t pack(char a, char b, char c, char d) {
    return static_cast<uint32_t>(static_cast<uint8_t>(a)) << 24 |
           static_cast<uint32_t>(static_cast<uint8_t>(b)) << 16 |
           static_cast<uint32_t>(static_cast<uint8_t>(c)) << 8 |
           static_cast<uint32_t>(static_cast<uint8_t>(d));
  }
  uint32_t word;
};

// The four bytes at bytes as a word comparable with FourCC::word.
uint32_t typeWord(const char* bytes) {
  return FourCC::pack(bytes[0], bytes[1], bytes[2], bytes[3]);
}

bool isType(const char* bytes, FourCC code) { return typeWord(bytes) == code.word; }

constexpr FourCC kContainerTypes[] = {
    "moov", "trak",    "edts",    "mdia",    "minf",    "dinf",    "stbl", "gmhd",
    "tref", "chap",    "udta",    "ilst",    "\251nam", "\251ART", "aART", "\251alb",
    "gnre", "trkn",    "disk",    "\251day", "pgap",    "apID",    "cprt", "cnID",
    "rtng", "atID",    "plID",    "geID",    "sfID",    "akID",    "stik", "purd",
    "covr", "\251wrt", "\251cmt", "\251gen", "\251too", "keyw",    "desc", "purl",
};
static_assert(sizeof(kContainerTypes) / sizeof(kContainerTypes[0]) == 40, "40 container types");

using BoxParser = bool (Mp4ThroughAnalyzer::*)(const char*, int64_t, const std::string&, int);

struct ParsedType {
  FourCC type;
  BoxParser parser;
};

constexpr ParsedType kParsedTypes[] = {
    {"ftyp", &Mp4ThroughAnalyzer::parseFtypBox}, {"mdhd", &Mp4ThroughAnalyzer::parseMdhdBox},
    {"mvhd", &Mp4ThroughAnalyzer::parseMvhdBox}, {"hdlr", &Mp4ThroughAnalyzer::parseHdlrBox},
    {"hint", &Mp4ThroughAnalyzer::parseHintBox}, {"stsd", &Mp4ThroughAnalyzer::parseStsdBox},
    {"meta", &Mp4ThroughAnalyzer::parseMetaBox}, {"data", &Mp4ThroughAnalyzer::parseDataBox},
};

BoxParser parserFor(uint32_t type) {
  for (const ParsedType& entry : kParsedTypes) {
    if (entry.type.word == type) return entry.parser;
  }
  return nullptr;
}

// The container types as sorted words, for a binary search on every box.
template <size_t N>
constexpr std::array<uint32_t, N> sortedWords(const FourCC (&codes)[N]) {
  std::array<uint32_t, N> words{};
  for (size_t i = 0; i < N; ++i) {
    size_t j = i;
    for (; j > 0 && words[j - 1] > codes[i].word; --j) words[j] = words[j - 1];
    words[j] = codes[i].word;
  }
  return words;
}

constexpr auto kContainerWords = sortedWords(kContainerTypes);

bool isContainer(uint32_t type) {
  return std::binary_search(kContainerWords.begin(), kContainerWords.end(), type);
}

// How the value of a tag item is decoded from its data box.
enum class Decoding { Text, GenreNumber, NumberPair, Rating, Nothing };

struct ItemType {
  FourCC type;
  const Strigi::RegisteredField* const* slot;
  Decoding decoding;
};

constexpr ItemType kItemTypes[] = {
    {"aART", &audioAlbumArtistField, Decoding::Text},
    {"covr", &contentThumbnailField, Decoding::Text},
    {"cprt", &contentCopyrightField, Decoding::Text},
    {"apID", &contentPurchaserField, Decoding::Text},
    {"purd", &contentPurchaseDateField, Decoding::Text},
    {"keyw", &contentKeywordField, Decoding::Text},
    {"desc", &contentDescriptionField, Decoding::Text},
    {"purl", &contentLinksField, Decoding::Text},
    {"\251nam", &audioTitleField, Decoding::Text},
    {"\251ART", &audioArtistField, Decoding::Text},
    {"\251wrt", &audioComposerField, Decoding::Text},
    {"\251alb", &audioAlbumField, Decoding::Text},
    {"\251cmt", &contentCommentField, Decoding::Text},
    {"\251gen", &audioGenreField, Decoding::Text},
    {"gnre", &audioGenreField, Decoding::GenreNumber},
    {"\251day", &contentCreationTimeField, Decoding::Text},
    {"\251too", &contentGeneratorField, Decoding::Text},
    {"trkn", &audioTrackNumberField, Decoding::NumberPair},
    {"disk", &audioDiscNumberField, Decoding::NumberPair},
    {"tmpo", nullptr, Decoding::Nothing},
    {"rtng", &userRatingField, Decoding::Rating},
    {"cpil", nullptr, Decoding::Nothing},
    {"pgap", nullptr, Decoding::Nothing},
    {"\251grp", nullptr, Decoding::Nothing},
    {"----", nullptr, Decoding::Nothing},
};

const ItemType* itemTypeFor(uint32_t type) {
  for (const ItemType& item : kItemTypes) {
    if (item.type.word == type) return &item;
  }
  return nullptr;
}

// A payload: the bytes a box parser may look at. Reads go through Record,
// which exists only where its N bytes lie inside the payload and whose
// accessors check their offsets at compile time, so no parser can read
// outside the box it was given.
class Payload {
 public:
  Payload(const char* data, int64_t size) : data_(data), size_(size > 0 ? size : 0) {}
  const char* data() const { return data_; }
  int64_t size() const { return size_; }
  // The bytes from offset to the end; empty when offset lies beyond it.
  Payload from(int64_t offset) const {
    return offset >= 0 && offset <= size_ ? Payload(data_ + offset, size_ - offset)
                                          : Payload(data_, 0);
  }
  std::string text() const { return std::string(data_, static_cast<size_t>(size_)); }

 private:
  const char* data_;
  int64_t size_;
};

template <int64_t N>
class Record {
 public:
  // The N bytes at offset, if the payload holds them.
  static std::optional<Record> at(const Payload& payload, int64_t offset = 0) {
    if (offset < 0 || offset > payload.size() || payload.size() - offset < N) return std::nullopt;
    return Record(payload.data() + offset);
  }
  template <int64_t Off>
  uint8_t u8() const {
    static_assert(Off >= 0 && Off + 1 <= N, "read outside the record");
    return static_cast<uint8_t>(p_[Off]);
  }
  template <int64_t Off>
  uint16_t u16() const {
    static_assert(Off >= 0 && Off + 2 <= N, "read outside the record");
    return Strigi::readBigEndianUInt16(p_ + Off);
  }
  template <int64_t Off>
  uint32_t u32() const {
    static_assert(Off >= 0 && Off + 4 <= N, "read outside the record");
    return Strigi::readBigEndianUInt32(p_ + Off);
  }
  template <int64_t Off>
  int32_t i32() const {
    static_assert(Off >= 0 && Off + 4 <= N, "read outside the record");
    return Strigi::readBigEndianInt32(p_ + Off);
  }
  template <int64_t Off>
  int64_t i64() const {
    static_assert(Off >= 0 && Off + 8 <= N, "read outside the record");
    return Strigi::readBigEndianInt64(p_ + Off);
  }
  // Four type bytes, compared or copied as they are.
  template <int64_t Off>
  const char* code() const {
    static_assert(Off >= 0 && Off + 4 <= N, "read outside the record");
    return p_ + Off;
  }

 private:
  explicit Record(const char* p) : p_(p) {}
  const char* p_;
};

// Writes four spaces per level to standard error.
void indent(int level) {
  for (int i = 0; i < level; ++i) std::fputs("    ", stderr);
}

// One diagnostic line of the walker: the indentation, then text with the
// box path written as its raw bytes. Standard error stays locked for the
// whole line, so lines from analyzers on other threads do not cut into it.
void diagnose(int depth, const char* before, const std::string& path, const char* after) {
  flockfile(stderr);
  indent(depth);
  std::fputs(before, stderr);
  std::fwrite(path.data(), 1, path.size(), stderr);
  std::fputs(after, stderr);
  funlockfile(stderr);
}

void diagnose(int depth, const char* line) { diagnose(depth, line, std::string(), ""); }

// The header of a box inside a container, as the walker decodes it.
struct ChildHeader {
  enum Kind { Normal, TooSmall, HeaderPastEnd } kind;
  int64_t size;  // the whole box, header included
  int64_t headerLength;
};

// Decodes the header at the start of rest, the unwalked part of a container
// payload of at least 8 bytes. A size field of 0 takes all of rest; 1 takes
// the 64-bit size that follows the type, if rest holds it.
constexpr int64_t kLargeHeaderLength = 16;

ChildHeader decodeChildHeader(const Record<8>& header, const Payload& rest) {
  const uint32_t sizeField = header.u32<0>();
  if (sizeField == 0) return {ChildHeader::Normal, rest.size(), 8};
  if (sizeField == 1) {
    const auto large = Record<16>::at(rest);
    if (!large) return {ChildHeader::HeaderPastEnd, 0, kLargeHeaderLength};
    const int64_t size = large->i64<8>();
    return {size < kLargeHeaderLength ? ChildHeader::TooSmall : ChildHeader::Normal, size,
            kLargeHeaderLength};
  }
  return {sizeField < 8 ? ChildHeader::TooSmall : ChildHeader::Normal, sizeField, 8};
}

constexpr int kMaxWalkDepth = 15;
constexpr int64_t kMaxRead = std::numeric_limits<int32_t>::max();

// Payload lengths that the parsers need before they read anything.
constexpr int64_t kFullBoxHeaderLength = 4;
constexpr int64_t kHdlrLength = 12;
constexpr int64_t kTimeHeaderLengthV0 = 20;
constexpr int64_t kTimeHeaderLengthV1 = 32;
constexpr int64_t kStsdTypeLength = 16;
constexpr int64_t kSampleEntryLength = 44;
constexpr int64_t kDataValueOffset = 8;

bool isVideoEntry(const char* type) {
  return isType(type, "mp4v") || isType(type, "avc1") || isType(type, "encv") ||
         isType(type, "s263");
}

bool isAudioEntry(const char* type) {
  return isType(type, "mp4a") || isType(type, "enca") || isType(type, "samr") ||
         isType(type, "sawb");
}

// The reads of the top-level loop. Boxes that end within the first
// 2147483647 bytes are read from position 0 with exactly the bytes up to
// their end, as the stream's buffer is meant to be used. Beyond that no
// 32-bit read reaches them; they are read in place after moving the stream
// there with reset, only on a stream shown to go anywhere and back. Every
// read leaves the stream at position 0.
class TopLevelReader {
 public:
  explicit TopLevelReader(Strigi::InputStream* in) : in_(in) {}

  // Makes length bytes at offset available to use; false when the stream
  // cannot deliver them.
  template <class Use>
  bool withBytes(uint64_t offset, int64_t length, Use use) {
    if (length < 0 || length > kMaxRead) return false;
    if (offset <= static_cast<uint64_t>(kMaxRead - length)) {
      const int32_t need = static_cast<int32_t>(offset + static_cast<uint64_t>(length));
      const char* start = nullptr;
      const int32_t n = in_->read(start, need, need);
      in_->reset(0);
      if (n < need) return false;
      use(start + offset);
      return true;
    }
    return readFar(offset, length, use);
  }

  // Whether the stream holds length bytes at offset, reading them only
  // when they lie within the first 2147483647 bytes.
  bool holds(uint64_t offset, uint64_t length) {
    if (offset <= static_cast<uint64_t>(kMaxRead) &&
        length <= static_cast<uint64_t>(kMaxRead) - offset) {
      return withBytes(offset, static_cast<int64_t>(length), [](const char*) {});
    }
    const int64_t size = in_->size();
    return size >= 0 && offset <= static_cast<uint64_t>(size) &&
           length <= static_cast<uint64_t>(size) - offset;
  }

  // Reads from position 0 until the stream ends and returns the number of
  // bytes it holds, or -1 when that number is not found within the first
  // 2147483647 bytes or the stream fails.
  int64_t deliveredSize(uint64_t from) {
    int64_t need = from < static_cast<uint64_t>(kMaxRead) ? static_cast<int64_t>(from) : kMaxRead;
    for (;;) {
      need = need > kMaxRead / 2 ? kMaxRead : (need < 4096 ? 4096 : need * 2);
      const char* start = nullptr;
      const int32_t n = in_->read(start, static_cast<int32_t>(need), static_cast<int32_t>(need));
      const bool failed = in_->status() == Strigi::Error;
      in_->reset(0);
      if (failed) return -1;
      if (n < need) return n < 0 ? 0 : n;
      if (need == kMaxRead) return -1;
    }
  }

 private:
  template <class Use>
  bool readFar(uint64_t offset, int64_t length, Use use) {
    const int64_t size = in_->size();
    if (size < 0 || offset > static_cast<uint64_t>(size) ||
        static_cast<uint64_t>(length) > static_cast<uint64_t>(size) - offset) {
      return false;
    }
    // A reset is only promised within the last read, and the box may begin
    // within the header just read, where any stream goes. Its end lies
    // beyond every byte read so far: a stream that goes there and back to
    // 0 goes anywhere, and one that does not is never moved away.
    const int64_t end = static_cast<int64_t>(offset) + length;
    if (in_->reset(end) != end) {
      in_->reset(0);
      return false;
    }
    const int64_t position = static_cast<int64_t>(offset);
    if (in_->reset(0) != 0 || in_->reset(position) != position) {
      in_->reset(0);
      return false;
    }
    // The bytes are used before the stream goes back: a reset may move a
    // stream's buffer. The guard rewinds also when use throws.
    struct Rewind {
      Strigi::InputStream* in;
      ~Rewind() { in->reset(0); }
    } rewind{in_};
    const char* start = nullptr;
    const int32_t n = in_->read(start, static_cast<int32_t>(length), static_cast<int32_t>(length));
    if (n < length) return false;
    use(start);
    return true;
  }

  Strigi::InputStream* in_;
};

// Whether parseBox looks at the payload of a box of this type at all.
bool payloadIsRead(uint32_t type) { return parserFor(type) != nullptr || isContainer(type); }

}  // namespace

Mp4ThroughAnalyzer::Mp4ThroughAnalyzer(const Mp4ThroughAnalyzerFactory* f)
    : haveAudio(0), haveVideo(0), isQuickTime(0), analysisResult(nullptr), factory(f) {}

Mp4ThroughAnalyzer::~Mp4ThroughAnalyzer() {}

void Mp4ThroughAnalyzer::setIndexable(Strigi::AnalysisResult* result) { analysisResult = result; }

bool Mp4ThroughAnalyzer::isReadyWithStream() { return true; }

const char* Mp4ThroughAnalyzer::name() const { return "Mp4"; }

Strigi::InputStream* Mp4ThroughAnalyzer::connectInputStream(Strigi::InputStream* in) {
  if (!in) return in;
  // An analyzer serves many streams in turn; nothing found in one may decide
  // the mime type of the next.
  haveAudio = 0;
  haveVideo = 0;
  isQuickTime = 0;

  const char* start = nullptr;
  const int32_t n = in->read(start, 8, 8);
  in->reset(0);
  if (n < 8) return in;
  if (isType(start + 4, "moov")) {
    isQuickTime = 1;
  } else if (!isType(start + 4, "ftyp")) {
    return in;
  }

  if (!walkTopLevel(in)) return in;

  if (isQuickTime) {
    analysisResult->addValue(mimeTypeField, std::string("video/quicktime"));
  } else if (haveVideo) {
    analysisResult->addValue(mimeTypeField, std::string("video/mp4"));
  } else if (haveAudio) {
    analysisResult->addValue(mimeTypeField, std::string("audio/mp4"));
  }
  return in;
}

// Hands every top-level box to parseBox. Returns true when the walk reached
// the end of the stream, false when a box could not be read whole.
bool Mp4ThroughAnalyzer::walkTopLevel(Strigi::InputStream* in) {
  TopLevelReader reader(in);
  uint64_t offset = 0;
  for (;;) {
    const int64_t streamSize = in->size();
    if (streamSize != -1 && streamSize <= static_cast<int64_t>(offset)) return true;

    uint32_t sizeField = 0;
    char type[4];
    if (!reader.withBytes(offset, 8, [&](const char* header) {
          sizeField = Strigi::readBigEndianUInt32(header);
          std::copy(header + 4, header + 8, type);
        })) {
      return false;
    }

    uint64_t boxSize = sizeField;
    int64_t headerLength = 8;
    bool lastBox = false;
    if (sizeField == 1) {
      int64_t large = 0;
      if (!reader.withBytes(offset, 16, [&](const char* header) {
            large = Strigi::readBigEndianInt64(header + 8);
          })) {
        return false;
      }
      if (large < 16) return false;
      boxSize = static_cast<uint64_t>(large);
      headerLength = 16;
    } else if (sizeField == 0) {
      // The box runs to the end of the stream, wherever that turns out to be.
      // A box whose payload nobody looks at (media data still being
      // recorded, say) need not be read to find its end: on a stream of
      // unknown size that would mean holding all of it.
      if (in->size() == -1 && !payloadIsRead(typeWord(type))) return true;
      int64_t end = in->size();
      if (end == -1) end = reader.deliveredSize(offset);
      if (end < 0 || static_cast<uint64_t>(end) < offset + 8) return false;
      boxSize = static_cast<uint64_t>(end) - offset;
      lastBox = true;
    } else if (sizeField < 8) {
      return false;
    }

    const std::string path(type, 4);
    if (payloadIsRead(typeWord(type))) {
      if (!reader.withBytes(offset,
                            static_cast<int64_t>(
                                std::min<uint64_t>(boxSize, std::numeric_limits<int64_t>::max())),
                            [&](const char* box) {
                              parseBox(box + headerLength,
                                       static_cast<int64_t>(boxSize) - headerLength, path, 0);
                            })) {
        return false;
      }
    } else if (!reader.holds(offset, boxSize)) {
      return false;
    }
    if (lastBox) return true;
    if (boxSize > std::numeric_limits<uint64_t>::max() - offset) return false;
    offset += boxSize;
  }
}

bool Mp4ThroughAnalyzer::parseBox(const char* data, int64_t size, const std::string& path,
                                  int depth) {
  if (path.size() < 4) return false;
  const uint32_t type = typeWord(path.data() + path.size() - 4);
  if (const BoxParser parser = parserFor(type)) return (this->*parser)(data, size, path, depth + 1);
  if (isContainer(type)) return readSubBoxes(data, size, path, depth + 1);
  return false;
}

bool Mp4ThroughAnalyzer::readSubBoxes(const char* data, int64_t size, const std::string& path,
                                      int depth) {
  if (depth > kMaxWalkDepth) return false;
  const Payload payload(data, size);
  // One path buffer for all children: the container's path and "." stay,
  // the last four bytes are each child's type.
  std::string childPath;
  childPath.reserve(path.size() + 5);
  childPath.append(path).push_back('.');
  const size_t typeOffset = childPath.size();
  int64_t offset = 0;
  while (const auto header = Record<8>::at(payload, offset)) {
    const Payload rest = payload.from(offset);
    const ChildHeader child = decodeChildHeader(*header, rest);
    childPath.resize(typeOffset);
    childPath.append(header->code<4>(), 4);
    if (child.kind == ChildHeader::HeaderPastEnd) {
      diagnose(depth, "64 bit length cut off at the end of ", childPath, " box\n");
      return true;
    }
    if (child.headerLength == kLargeHeaderLength) {
      char line[48];
      std::snprintf(line, sizeof line, "64 bit length: %" PRId64 "\n", child.size);
      diagnose(depth, line);
    }
    if (child.kind == ChildHeader::TooSmall) {
      diagnose(depth, "box smaller than its header: ", childPath, "\n");
      return true;
    }
    if (child.size > rest.size()) {
      char excess[64];
      std::snprintf(excess, sizeof excess, "%" PRId64 " excess bytes in ",
                    child.size - rest.size());
      diagnose(depth, excess, childPath, " box\n");
      return true;
    }
    parseBox(rest.data() + child.headerLength, child.size - child.headerLength, childPath, depth);
    offset += child.size;
  }
  return true;
}

bool Mp4ThroughAnalyzer::haveSubBoxes(const std::string& type) {
  return type.size() == 4 && isContainer(typeWord(type.data()));
}

bool Mp4ThroughAnalyzer::parseFullBox(const char* data, int64_t size, uint8_t* version,
                                      uint32_t* flags) {
  const auto header = Record<kFullBoxHeaderLength>::at(Payload(data, size));
  if (!header) return false;
  *version = header->u8<0>();
  *flags = header->u32<0>() & 0xFFFFFFu;
  return true;
}

bool Mp4ThroughAnalyzer::parseFtypBox(const char*, int64_t, const std::string&, int) {
  return true;
}

// The first byte is taken as a version, as for a full box, although "hint"
// references in a track reference box hold track identifiers; kept so.
bool Mp4ThroughAnalyzer::parseHintBox(const char* data, int64_t size, const std::string&, int) {
  uint8_t version;
  uint32_t flags;
  return parseFullBox(data, size, &version, &flags) && version == 0;
}

bool Mp4ThroughAnalyzer::parseHdlrBox(const char* data, int64_t size, const std::string&, int) {
  const auto box = Record<kHdlrLength>::at(Payload(data, size));
  if (!box) return false;
  const char* handlerType = box->code<8>();
  if (isType(handlerType, "soun")) {
    haveAudio = 1;
  } else if (isType(handlerType, "vide")) {
    haveVideo = 1;
  }
  return true;
}

bool Mp4ThroughAnalyzer::parseMvhdBox(const char* data, int64_t size, const std::string&, int) {
  return parseTimeHeader(data, size, videoDurationField);
}

bool Mp4ThroughAnalyzer::parseMdhdBox(const char* data, int64_t size, const std::string&, int) {
  return parseTimeHeader(data, size, mediaDurationField);
}

// Movie and media headers: the duration in whole seconds, truncated toward
// zero, reported as the low 32 bits of the quotient. A timescale of 0 gives
// no duration at all.
bool Mp4ThroughAnalyzer::parseTimeHeader(const char* data, int64_t size,
                                         const Strigi::RegisteredField* field) {
  const Payload payload(data, size);
  uint8_t version;
  uint32_t flags;
  if (!parseFullBox(data, size, &version, &flags)) return false;
  int64_t timescale;
  int64_t duration;
  if (version == 0) {
    const auto box = Record<kTimeHeaderLengthV0>::at(payload);
    if (!box) return false;
    timescale = box->u32<12>();
    duration = box->i32<16>();
  } else if (version == 1) {
    const auto box = Record<kTimeHeaderLengthV1>::at(payload);
    if (!box) return false;
    timescale = box->u32<20>();
    duration = box->i64<24>();
  } else {
    return false;
  }
  if (timescale == 0) return false;
  const int64_t seconds = duration / timescale;
  analysisResult->addValue(field, static_cast<int32_t>(static_cast<uint32_t>(seconds)));
  return true;
}

bool Mp4ThroughAnalyzer::parseStsdBox(const char* data, int64_t size, const std::string&, int) {
  const Payload payload(data, size);
  uint8_t version;
  uint32_t flags;
  if (!parseFullBox(data, size, &version, &flags) || version != 0) return false;
  const auto head = Record<kStsdTypeLength>::at(payload);
  if (!head) return false;
  const char* codec = head->code<12>();
  const bool video = isVideoEntry(codec);
  if (!video && !isAudioEntry(codec)) return true;
  const auto entry = Record<kSampleEntryLength>::at(payload);
  if (!entry) return false;
  const std::string codecName(codec, 4);
  if (video) {
    analysisResult->addValue(imageWidthField, static_cast<int32_t>(entry->u16<40>()));
    analysisResult->addValue(imageHeightField, static_cast<int32_t>(entry->u16<42>()));
    analysisResult->addValue(videoCodecField, codecName);
  } else {
    analysisResult->addValue(channelsField, static_cast<int32_t>(entry->u16<32>()));
    analysisResult->addValue(sampleFormatField, std::to_string(entry->u16<34>()) + " bit int");
    analysisResult->addValue(sampleRateField, static_cast<uint32_t>(entry->u32<40>() >> 16));
    analysisResult->addValue(audioCodecField, codecName);
  }
  return true;
}

bool Mp4ThroughAnalyzer::parseMetaBox(const char* data, int64_t size, const std::string& path,
                                      int depth) {
  uint8_t version;
  uint32_t flags;
  if (!parseFullBox(data, size, &version, &flags) || version != 0) return false;
  const Payload children = Payload(data, size).from(kFullBoxHeaderLength);
  return readSubBoxes(children.data(), children.size(), path, depth + 1);
}

// A data box is a tag value only as the direct child of an item of the item
// list at "moov.udta.meta.ilst"; its item type is the path component before
// ".data".
bool Mp4ThroughAnalyzer::parseDataBox(const char* data, int64_t size, const std::string& path,
                                      int) {
  constexpr char kItemList[] = "moov.udta.meta.ilst";
  constexpr size_t kItemListLength = sizeof kItemList - 1;
  constexpr size_t kItemSuffix = 10;  // ".", the item type, "." and "data"
  if (path.size() != kItemListLength + kItemSuffix ||
      path.compare(0, kItemListLength, kItemList) != 0) {
    return true;
  }
  const ItemType* item = itemTypeFor(typeWord(path.data() + path.size() - 9));
  if (!item || item->decoding == Decoding::Nothing) return true;

  const Payload payload(data, size);
  if (payload.size() < kDataValueOffset) return true;
  const Payload value = payload.from(kDataValueOffset);
  const Strigi::RegisteredField* field = *item->slot;
  switch (item->decoding) {
    case Decoding::Text:
      analysisResult->addValue(field, value.text());
      break;
    case Decoding::GenreNumber:
      if (const auto genre = Record<2>::at(value)) {
        analysisResult->addValue(field, "(" + std::to_string(genre->u16<0>()) + ")");
      }
      break;
    case Decoding::NumberPair:
      if (const auto pair = Record<6>::at(value)) {
        analysisResult->addValue(
            field, std::to_string(pair->u16<2>()) + "/" + std::to_string(pair->u16<4>()));
      }
      break;
    case Decoding::Rating:
      // Taggers usually store the rating in one byte.
      if (const auto wide = Record<2>::at(value)) {
        analysisResult->addValue(field, static_cast<int32_t>(wide->u16<0>()));
      } else if (const auto narrow = Record<1>::at(value)) {
        analysisResult->addValue(field, static_cast<int32_t>(narrow->u8<0>()));
      }
      break;
    case Decoding::Nothing:
      break;
  }
  return true;
}

const char* Mp4ThroughAnalyzerFactory::name() const { return "Mp4ThroughAnalyzer"; }

void Mp4ThroughAnalyzerFactory::registerFields(Strigi::FieldRegister& reg) {
  for (const FieldDeclaration& field : kFields) {
    *field.slot = reg.registerField(std::string(field.key), *field.type, 1, nullptr);
  }
}

Strigi::StreamThroughAnalyzer* Mp4ThroughAnalyzerFactory::newInstance() const {
  return new Mp4ThroughAnalyzer(this);
}

std::list<Strigi::StreamThroughAnalyzerFactory*> Mp4Factory::streamThroughAnalyzerFactories()
    const {
  std::list<Strigi::StreamThroughAnalyzerFactory*> factories;
  std::unique_ptr<Mp4ThroughAnalyzerFactory> factory(new Mp4ThroughAnalyzerFactory());
  factories.push_back(factory.get());
  factory.release();
  return factories;
}

extern "C" {

MP4_PLUGIN_EXPORT Strigi::AnalyzerFactoryFactory* strigiAnalyzerFactory() {
  return new Mp4Factory();
}

MP4_PLUGIN_EXPORT void deleteStrigiAnalyzerFactory(Strigi::AnalyzerFactoryFactory* f) { delete f; }
}
