// Synthetic MP4 boxes for tests, fuzz seeds and benchmarks. Every value is
// a byte string; types are four raw bytes ("\251nam" for the copyright sign).
#ifndef MP4TEST_BOXES_H
#define MP4TEST_BOXES_H

#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace mp4test {

using Bytes = std::string;

// Big-endian integers, to be joined with +.
Bytes be16(uint16_t v);
Bytes be32(uint32_t v);
Bytes be64(uint64_t v);
inline Bytes zeros(size_t n) { return Bytes(n, '\0'); }

// A box with the size field computed from the payload, or written as given,
// or 1 with the 64-bit size (the true one unless given); a full box.
Bytes box(const Bytes& type, const Bytes& payload);
Bytes box(const Bytes& type, const std::vector<Bytes>& children);
inline Bytes box(const Bytes& type, std::initializer_list<Bytes> children) {
  return box(type, std::vector<Bytes>(children));
}
Bytes boxWithSizeField(uint32_t sizeField, const Bytes& type, const Bytes& payload);
Bytes largeBox(const Bytes& type, const Bytes& payload,
               std::optional<uint64_t> size64 = std::nullopt);
Bytes fullBox(const Bytes& type, uint8_t version, uint32_t flags, const Bytes& payload);

Bytes ftyp(const Bytes& brand = "isom");
// Version 0 stores the low 32 bits of duration.
Bytes mvhd(uint32_t timescale, int64_t duration, uint8_t version = 0);
Bytes mdhd(uint32_t timescale, int64_t duration, uint8_t version = 0);
Bytes hdlr(const Bytes& handlerType, const Bytes& componentType = Bytes(4, '\0'));
Bytes audioEntry(const Bytes& type, uint16_t channels, uint16_t bits, uint32_t rate1616);
Bytes videoEntry(const Bytes& type, uint16_t width, uint16_t height);
Bytes stsd(std::initializer_list<Bytes> entries, uint8_t version = 0);

// Tags: meta (full box) > ilst > items > data boxes; a text item has one
// data box of type word 1; udtaTags is udta > meta (mdir handler) > ilst.
Bytes meta(std::initializer_list<Bytes> children, uint8_t version = 0);
inline Bytes ilst(const std::vector<Bytes>& items) { return box("ilst", items); }
inline Bytes item(const Bytes& type, std::initializer_list<Bytes> dataBoxes) {
  return box(type, dataBoxes);
}
Bytes data(uint32_t typeWord, const Bytes& value);
inline Bytes textItem(const Bytes& type, const Bytes& value) {
  return item(type, {data(1, value)});
}
Bytes udtaTags(const std::vector<Bytes>& items);

struct Track {
  Bytes handler;  // "soun", "vide", ...
  uint32_t timescale;
  int64_t duration;
  Bytes stsd;  // a whole "stsd" box, or empty for none
};
// trak > mdia > (mdhd, hdlr, minf > stbl > stsd).
Bytes trak(const Track& track);
// moov > (mvhd, the tracks, the tags if any).
Bytes movie(const std::vector<Track>& tracks, const std::vector<Bytes>& tagItems = {},
            uint32_t timescale = 1000, int64_t duration = 0);

// A movie of 10 s with one track of 10 s of stereo 16-bit AAC at 44.1 kHz.
Bytes soundMovie();

// The whole contents of a file; empty when it cannot be read.
Bytes readFile(const std::string& path);

}  // namespace mp4test

#endif
