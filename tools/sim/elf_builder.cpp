#include "sim/elf_builder.h"

#include <algorithm>
#include <cstring>

namespace kestrel::sim {
namespace {

void put32(std::vector<uint8_t>& out, size_t at, uint32_t v) {
  if (out.size() < at + 4) out.resize(at + 4);
  for (int i = 0; i < 4; ++i) out[at + i] = uint8_t(v >> (8 * i));
}
void put16(std::vector<uint8_t>& out, size_t at, uint16_t v) {
  out[at] = uint8_t(v);
  out[at + 1] = uint8_t(v >> 8);
}

}  // namespace

std::vector<uint8_t> ElfBuilder::build() const {
  const uint32_t tableOffset = 52;
  const uint32_t entries = uint32_t(segments_.size()) + (terminator_ ? 1 : 0);
  std::vector<uint8_t> out(tableOffset + 32 * entries, 0);
  const uint8_t ident[] = {0x7F, 'E', 'L', 'F', 1, 1, 1};
  std::memcpy(out.data(), ident, sizeof ident);
  put16(out, 16, 2);   // e_type: executable
  put16(out, 18, 40);  // e_machine: ARM
  put32(out, 20, 1);   // e_version
  put32(out, 28, tableOffset);
  put16(out, 40, 52);  // e_ehsize
  put16(out, 42, 32);  // e_phentsize
  put16(out, 44, uint16_t(segments_.size()));

  uint32_t next = (uint32_t(out.size()) + 15) & ~15u;
  for (size_t i = 0; i < segments_.size(); ++i) {
    const Segment& s = segments_[i];
    uint32_t offset = s.fileOffset ? s.fileOffset : next;
    if (out.size() < offset + s.bytes.size()) out.resize(offset + s.bytes.size(), 0);
    std::copy(s.bytes.begin(), s.bytes.end(), out.begin() + offset);
    next = std::max<uint32_t>(next, (offset + uint32_t(s.bytes.size()) + 15) & ~15u);
    size_t e = tableOffset + 32 * i;
    put32(out, e + 0, 1);  // PT_LOAD
    put32(out, e + 4, offset);
    put32(out, e + 8, s.address);
    put32(out, e + 12, s.address);
    put32(out, e + 16, s.fileSize ? s.fileSize : uint32_t(s.bytes.size()));
    put32(out, e + 20, s.fileSize ? s.fileSize : uint32_t(s.bytes.size()));
    put32(out, e + 24, 5);
    put32(out, e + 28, 4);
  }
  out.insert(out.end(), trailer_.begin(), trailer_.end());
  return out;
}

std::vector<uint8_t> patternBytes(size_t n, uint8_t seed) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = uint8_t((seed + i * 7) % 251);
  return v;
}

}  // namespace kestrel::sim
