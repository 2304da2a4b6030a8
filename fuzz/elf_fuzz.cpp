// libFuzzer target: the ELF conversion on arbitrary bytes. It must never read or write out of
// bounds, and an accepted image never exceeds the boot loader's flash window.

#include <cstdint>
#include <cstdlib>

#include "image/elf_image_extractor.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  kestrel::MemorySource file(data, size);
  kestrel::Extraction x = kestrel::extractImage(file);
  if (x.status == kestrel::Extraction::Status::Ok) {
    if (x.image.size() > kestrel::kMaxImageSize) std::abort();
    for (const auto& s : x.segments) {
      if (s.imageOffset + uint64_t(s.size) > kestrel::kMaxImageSize) std::abort();
    }
  } else if (!x.image.empty() && x.image.size() != kestrel::kMaxImageSize) {
    // A refusal keeps no partial image beyond the working buffer.
    std::abort();
  }
  return 0;
}
