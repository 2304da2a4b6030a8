// kestrel-flash --dry-run: the conversion, its segment map and what the download would send;
// no device is touched.

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/flash_run.h"
#include "cli/sha256.h"
#include "image/download_image.h"
#include "update/firmware_files.h"
#include "update/update_commands.h"

namespace kestrel {

using Json = nlohmann::ordered_json;

int FlashRun::dryRun() {
  auto window = console(env_.serial);
  ConsoleWindow& w = *window;
  beginConversion(w);
  Extraction x;
  ConvertResult result = convertFirmware(w, o_.file, o_.output, &x);
  if (!reportConversion(w, result)) {
    UpdateOutcome outcome = w.outcome.get();
    return end(w, exitCodeFor(outcome), reasonFor(w, outcome), &outcome);
  }
  // The download always sends block 0, even for an empty image.
  uint64_t blocks = std::max<uint64_t>(1, blockCountFor(x.image.size()));
  std::string sha = sha256Hex(x.image.data(), x.image.size());
  Json segments = Json::array();
  std::string map = "segment  file offset  address     size        image offset\n";
  for (size_t i = 0; i < x.segments.size(); ++i) {
    const auto& s = x.segments[i];
    segments.push_back({{"file_offset", s.fileOffset},
                        {"address", s.address},
                        {"size", s.size},
                        {"image_offset", s.imageOffset}});
    char line[96];
    std::snprintf(line, sizeof line, "%7zu  0x%08X   0x%08X  0x%08X  0x%05X\n", i, s.fileOffset,
                  s.address, s.size, s.imageOffset);
    map += line;
  }
  char summary[256];
  std::snprintf(summary, sizeof summary,
                "image length  %zu bytes (0x%zX)\nblocks        %s of 2048 bytes\n", x.image.size(),
                x.image.size(), blocksText(blocks).c_str());
  Json image = {{"event", "image"},
                {"file", o_.file},
                {"output", o_.output ? Json(*o_.output) : Json(nullptr)},
                {"image_length", x.image.size()},
                {"blocks", blocks},
                {"sha256", sha},
                {"segments", segments}};
  if (style() == ConsoleStyle::Quiet) {
    // The one line a script wants.
    env_.out.write("sha256        " + sha + "\n");
  } else {
    w.report(image, map + summary + "sha256        " + sha);
  }
  return end(w, kExitOk, "converted", nullptr);
}

}  // namespace kestrel
