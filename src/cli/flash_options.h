#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// The command line of kestrel-flash, as given.
struct FlashOptions {
  std::string port = "usb";
  std::string file;                   // The ELF file to convert.
  std::optional<std::string> output;  // Where the image goes, when not beside the ELF file.
  double searchTimeout = 30;          // Seconds.
  bool dryRun = false;
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// The longest serial search that --search-timeout takes, in seconds (a day).
inline constexpr double kMaxSearchTimeout = 86400;

// Parses `args` (without the program's name) with getopt_long: long options as "--port COM1" or
// "--port=COM1", "--" ends the options. False with a one-line *error for a usage error.
bool parseFlashOptions(const std::vector<std::string>& args, FlashOptions* options,
                       std::string* error);

extern const char* const kFlashUsage;

}  // namespace kestrel
