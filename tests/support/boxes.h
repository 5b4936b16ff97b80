// Synthetic MP4 boxes for tests, fuzz seeds and benchmarks. Every value is
// a byte string; types are four raw bytes ("\251nam" for the copyright sign).
#ifndef MP4TEST_BOXES_H
#define MP4TEST_BOXES_H

#include <cstdint>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace mp4test {

using Bytes = std::string;

// Big-endian integers, to be joined with +.
inline Bytes be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
inline Bytes be32(uint32_t v) { return be16(static_cast<uint16_t>(v >> 16)) + be16(uint16_t(v)); }
inline Bytes be64(uint64_t v) { return be32(static_cast<uint32_t>(v >> 32)) + be32(uint32_t(v)); }
inline Bytes zeros(size_t n) { return Bytes(n, '\0'); }

inline Bytes joined(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out += part;
  return out;
}

inline const Bytes& checkedType(const Bytes& type) {
  if (type.size() != 4)
    throw std::invalid_argument("box type of " + std::to_string(type.size()) + " bytes");
  return type;
}

// A box with the size field computed from the payload, or written as given,
// or 1 with the 64-bit size (the true one unless given); a full box.
inline Bytes boxWithSizeField(uint32_t sizeField, const Bytes& type, const Bytes& payload) {
  return be32(sizeField) + checkedType(type) + payload;
}
inline Bytes box(const Bytes& type, const Bytes& payload) {
  return boxWithSizeField(static_cast<uint32_t>(8 + payload.size()), type, payload);
}
inline Bytes box(const Bytes& type, const std::vector<Bytes>& children) {
  return box(type, joined(children));
}
inline Bytes box(const Bytes& type, std::initializer_list<Bytes> children) {
  return box(type, joined(children));
}
inline Bytes largeBox(const Bytes& type, const Bytes& payload,
                      std::optional<uint64_t> size64 = std::nullopt) {
  return be32(1) + checkedType(type) + be64(size64.value_or(16 + payload.size())) + payload;
}
inline Bytes fullBox(const Bytes& type, uint8_t version, uint32_t flags, const Bytes& payload) {
  return box(type, static_cast<char>(version) + be32(flags).substr(1) + payload);
}

inline Bytes ftyp(const Bytes& brand = "isom") {
  return box("ftyp", brand + be32(512) + brand + "mp41");
}
// Version 1 has 64-bit times; version 0 (and any other) the 32-bit layout,
// with the low 32 bits of duration.
inline Bytes timeHeader(const Bytes& type, uint32_t timescale, int64_t duration, uint8_t version) {
  const uint64_t raw = static_cast<uint64_t>(duration);
  return fullBox(type, version, 0,
                 (version == 1 ? be64(1) + be64(2) + be32(timescale) + be64(raw)
                               : be32(1) + be32(2) + be32(timescale) + be32(uint32_t(raw))) +
                     zeros(4));
}
inline Bytes mvhd(uint32_t timescale, int64_t duration, uint8_t version = 0) {
  return timeHeader("mvhd", timescale, duration, version);
}
inline Bytes mdhd(uint32_t timescale, int64_t duration, uint8_t version = 0) {
  return timeHeader("mdhd", timescale, duration, version);
}
inline Bytes hdlr(const Bytes& handlerType, const Bytes& componentType = Bytes(4, '\0')) {
  return fullBox(
      "hdlr", 0, 0,
      checkedType(componentType) + checkedType(handlerType) + zeros(12) + "Handler" + '\0');
}
inline Bytes audioEntry(const Bytes& type, uint16_t channels, uint16_t bits, uint32_t rate1616) {
  // reserved, data reference index, version/revision/vendor, channels,
  // sample size, compression id, packet size, rate.
  return box(type, zeros(6) + be16(1) + zeros(8) + be16(channels) + be16(bits) + zeros(4) +
                       be32(rate1616));
}
inline Bytes videoEntry(const Bytes& type, uint16_t width, uint16_t height) {
  // reserved, data reference index, pre-defined and reserved, width, height,
  // resolutions, reserved, frame count, compressor name, depth, pre-defined.
  return box(type, zeros(6) + be16(1) + zeros(16) + be16(width) + be16(height) + be32(0x480000) +
                       be32(0x480000) + zeros(4) + be16(1) + zeros(32) + be16(24) + be16(0xFFFF));
}
inline Bytes stsd(std::initializer_list<Bytes> entries, uint8_t version = 0) {
  return fullBox("stsd", version, 0, be32(static_cast<uint32_t>(entries.size())) + joined(entries));
}

// Tags: meta (full box) > ilst > items > data boxes; a text item has one
// data box of type word 1; udtaTags is udta > meta (mdir handler) > ilst.
inline Bytes meta(std::initializer_list<Bytes> children, uint8_t version = 0) {
  return fullBox("meta", version, 0, joined(children));
}
inline Bytes ilst(const std::vector<Bytes>& items) { return box("ilst", items); }
inline Bytes item(const Bytes& type, std::initializer_list<Bytes> dataBoxes) {
  return box(type, dataBoxes);
}
inline Bytes data(uint32_t typeWord, const Bytes& value) {
  return box("data", be32(typeWord) + be32(0) + value);
}
inline Bytes textItem(const Bytes& type, const Bytes& value) {
  return item(type, {data(1, value)});
}
inline Bytes udtaTags(const std::vector<Bytes>& items) {
  return box("udta", {meta({hdlr("mdir"), ilst(items)})});
}

struct Track {
  Bytes handler;  // "soun", "vide", ...
  uint32_t timescale;
  int64_t duration;
  Bytes stsd;  // a whole "stsd" box, or empty for none
};
// trak > mdia > (mdhd, hdlr, minf > stbl > stsd).
inline Bytes trak(const Track& track) {
  return box("trak", {box("mdia", {mdhd(track.timescale, track.duration), hdlr(track.handler),
                                   box("minf", {box("stbl", track.stsd)})})});
}
// moov > (mvhd, the tracks, the tags if any).
inline Bytes movie(const std::vector<Track>& tracks, const std::vector<Bytes>& tagItems = {},
                   uint32_t timescale = 1000, int64_t duration = 0) {
  Bytes payload = mvhd(timescale, duration);
  for (const Track& track : tracks) payload += trak(track);
  if (!tagItems.empty()) payload += udtaTags(tagItems);
  return box("moov", payload);
}

// A movie of 10 s with one track of 10 s of stereo 16-bit AAC at 44.1 kHz.
inline Bytes soundMovie() {
  const Track sound{"soun", 44100, 441000, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
  return movie({sound}, {}, 1000, 10000);
}

// The whole contents of a file; empty when it cannot be read.
inline Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace mp4test

#endif
