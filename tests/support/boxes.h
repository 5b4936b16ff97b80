// Synthetic MP4 boxes for tests, fuzz seeds and benchmarks. Every value is
// a byte string (std::string holding raw bytes); types are four raw bytes,
// so item types with the copyright sign are written "\251nam".
#ifndef MP4TEST_BOXES_H
#define MP4TEST_BOXES_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

namespace mp4test {

using Bytes = std::string;

// Big-endian integers, to be joined with +.
Bytes be16(uint16_t v);
Bytes be32(uint32_t v);
Bytes be64(uint64_t v);
Bytes zeros(size_t n);

// A box with the size field computed from the payload.
Bytes box(const Bytes& type, const Bytes& payload);
Bytes box(const Bytes& type, std::initializer_list<Bytes> children);
Bytes box(const Bytes& type, const std::vector<Bytes>& children);
// A box whose size field is written as given (0, 4, more than the payload...).
Bytes boxWithSizeField(uint32_t sizeField, const Bytes& type, const Bytes& payload);
// Size field 1 and the 64-bit size: the true one, or the one given.
Bytes largeBox(const Bytes& type, const Bytes& payload);
Bytes largeBox(const Bytes& type, const Bytes& payload, uint64_t size64);
// A full box: version, 24-bit flags, then the payload.
Bytes fullBox(const Bytes& type, uint8_t version, uint32_t flags, const Bytes& payload);

Bytes ftyp(const Bytes& brand = "isom");
// Version 0 stores the low 32 bits of duration.
Bytes mvhd(uint32_t timescale, int64_t duration, uint8_t version = 0);
Bytes mdhd(uint32_t timescale, int64_t duration, uint8_t version = 0);
Bytes hdlr(const Bytes& handlerType, const Bytes& componentType = Bytes(4, '\0'));
// Sample entries, and an "stsd" holding the entries given.
Bytes audioEntry(const Bytes& type, uint16_t channels, uint16_t bits, uint32_t rate1616);
Bytes videoEntry(const Bytes& type, uint16_t width, uint16_t height);
Bytes stsd(std::initializer_list<Bytes> entries, uint8_t version = 0);

// Tags: meta (full box) > ilst > items > data boxes.
Bytes meta(std::initializer_list<Bytes> children, uint8_t version = 0);
Bytes ilst(const std::vector<Bytes>& items);
Bytes item(const Bytes& type, std::initializer_list<Bytes> dataBoxes);
Bytes data(uint32_t typeWord, const Bytes& value);
// An item with one data box of type word 1 (UTF-8 text).
Bytes textItem(const Bytes& type, const Bytes& value);
// "udta" > "meta" (with its "mdir" handler) > "ilst" > items.
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

// A sound track of 10 s (stereo 16-bit AAC at 44.1 kHz) and a 320x240
// video track of 10 s.
Track soundTrack();
Track videoTrack();
// A movie of 10 s with the sound track; soundMovieLog() says what it reports.
Bytes soundMovie();

// The whole contents of a file; empty when it cannot be read.
Bytes readFile(const std::string& path);

}  // namespace mp4test

#endif
