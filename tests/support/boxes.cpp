#include "boxes.h"

#include <fstream>
#include <iterator>
#include <stdexcept>

namespace mp4test {

Bytes be16(uint16_t v) { return {static_cast<char>(v >> 8), static_cast<char>(v)}; }
Bytes be32(uint32_t v) { return be16(static_cast<uint16_t>(v >> 16)) + be16(uint16_t(v)); }
Bytes be64(uint64_t v) { return be32(static_cast<uint32_t>(v >> 32)) + be32(uint32_t(v)); }

namespace {

const Bytes& checkedType(const Bytes& type) {
  if (type.size() != 4)
    throw std::invalid_argument("box type of " + std::to_string(type.size()) + " bytes");
  return type;
}

Bytes joined(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& part : parts) out += part;
  return out;
}

}  // namespace

Bytes box(const Bytes& type, const Bytes& payload) {
  return boxWithSizeField(static_cast<uint32_t>(8 + payload.size()), type, payload);
}

Bytes box(const Bytes& type, const std::vector<Bytes>& children) {
  return box(type, joined(children));
}

Bytes boxWithSizeField(uint32_t sizeField, const Bytes& type, const Bytes& payload) {
  return be32(sizeField) + checkedType(type) + payload;
}

Bytes largeBox(const Bytes& type, const Bytes& payload, std::optional<uint64_t> size64) {
  return be32(1) + checkedType(type) + be64(size64.value_or(16 + payload.size())) + payload;
}

Bytes fullBox(const Bytes& type, uint8_t version, uint32_t flags, const Bytes& payload) {
  return box(type, static_cast<char>(version) + be32(flags).substr(1) + payload);
}

Bytes ftyp(const Bytes& brand) { return box("ftyp", brand + be32(512) + brand + "mp41"); }

// Version 1 has 64-bit times; version 0 and any other the 32-bit layout.
static Bytes timeHeader(const Bytes& type, uint8_t version, uint32_t timescale, int64_t duration) {
  const uint64_t raw = static_cast<uint64_t>(duration);
  return fullBox(type, version, 0,
                 (version == 1 ? be64(1) + be64(2) + be32(timescale) + be64(raw)
                               : be32(1) + be32(2) + be32(timescale) + be32(uint32_t(raw))) +
                     zeros(4));
}

Bytes mvhd(uint32_t timescale, int64_t t, uint8_t v) { return timeHeader("mvhd", v, timescale, t); }
Bytes mdhd(uint32_t timescale, int64_t t, uint8_t v) { return timeHeader("mdhd", v, timescale, t); }

Bytes hdlr(const Bytes& handlerType, const Bytes& componentType) {
  return fullBox(
      "hdlr", 0, 0,
      checkedType(componentType) + checkedType(handlerType) + zeros(12) + "Handler" + '\0');
}

Bytes audioEntry(const Bytes& type, uint16_t channels, uint16_t bits, uint32_t rate1616) {
  // reserved, data reference index, version/revision/vendor, channels,
  // sample size, compression id, packet size, rate.
  return box(type, zeros(6) + be16(1) + zeros(8) + be16(channels) + be16(bits) + zeros(4) +
                       be32(rate1616));
}

Bytes videoEntry(const Bytes& type, uint16_t width, uint16_t height) {
  // reserved, data reference index, pre-defined and reserved, width, height,
  // resolutions, reserved, frame count, compressor name, depth, pre-defined.
  return box(type, zeros(6) + be16(1) + zeros(16) + be16(width) + be16(height) + be32(0x480000) +
                       be32(0x480000) + zeros(4) + be16(1) + zeros(32) + be16(24) + be16(0xFFFF));
}

Bytes stsd(std::initializer_list<Bytes> entries, uint8_t version) {
  return fullBox("stsd", version, 0,
                 be32(static_cast<uint32_t>(entries.size())) + joined(std::vector<Bytes>(entries)));
}

Bytes meta(std::initializer_list<Bytes> children, uint8_t version) {
  return fullBox("meta", version, 0, joined(std::vector<Bytes>(children)));
}

Bytes data(uint32_t typeWord, const Bytes& value) {
  return box("data", be32(typeWord) + be32(0) + value);
}

Bytes udtaTags(const std::vector<Bytes>& items) {
  return box("udta", {meta({hdlr("mdir"), ilst(items)})});
}

Bytes trak(const Track& track) {
  return box("trak", {box("mdia", {mdhd(track.timescale, track.duration), hdlr(track.handler),
                                   box("minf", {box("stbl", track.stsd)})})});
}

Bytes movie(const std::vector<Track>& tracks, const std::vector<Bytes>& tagItems,
            uint32_t timescale, int64_t duration) {
  Bytes payload = mvhd(timescale, duration);
  for (const Track& track : tracks) payload += trak(track);
  if (!tagItems.empty()) payload += udtaTags(tagItems);
  return box("moov", payload);
}

Bytes soundMovie() {
  const Track sound{"soun", 44100, 441000, stsd({audioEntry("mp4a", 2, 16, 44100u << 16)})};
  return movie({sound}, {}, 1000, 10000);
}

Bytes readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace mp4test
