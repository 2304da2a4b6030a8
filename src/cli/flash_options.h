#pragma once

#include <optional>
#include <string>
#include <vector>

namespace kestrel {

// The command line of kestrel-flash, as given.
struct FlashOptions {
  std::string port = "usb";           // The first --port.
  std::vector<std::string> ports;     // Every --port, in the order given; {"usb"} when none was.
  std::string file;                   // The ELF file to convert.
  std::optional<std::string> output;  // Where the image goes, when not beside the ELF file.
  double searchTimeout = 30;          // Seconds.
  bool dryRun = false;
  bool list = false;
  bool json = false;
  bool quiet = false;
  bool help = false;
  bool version = false;
  int jobs = 0;                    // --jobs: devices of a batch at once; 0: all of them.
  int retries = 0;                 // --retries: further attempts for a device whose update failed.
  std::optional<std::string> log;  // --log: the file every attempt is recorded in.
  bool watch = false;  // --watch: a station, which flashes each unit of --port as it appears.
  // The internal option of a batch's child (device_batch.h): what the parent handed over.
  std::optional<std::string> batchChild;
};

// The most that --jobs and --retries take.
inline constexpr int kMaxJobs = 1000;
inline constexpr int kMaxRetries = 100;

// The longest serial search that --search-timeout takes, in seconds (a day).
inline constexpr double kMaxSearchTimeout = 86400;

// Parses `args` (without the program's name) with getopt_long: long options as "--port COM1" or
// "--port=COM1", written in full (an abbreviation is refused), "--" ends the options. False with a
// one-line *error for a usage error; *options then holds what was read before the error.
bool parseFlashOptions(const std::vector<std::string>& args, FlashOptions* options,
                       std::string* error);

// True when `args` ask for JSON: "--json" (or an abbreviation of it) among the options (before a
// "--"), read without parsing them, for a command line that does not parse.
bool asksForJson(const std::vector<std::string>& args);

// True when `args` carry the internal option of a batch's child, read without parsing them.
bool isBatchChild(const std::vector<std::string>& args);

extern const char* const kFlashUsage;

}  // namespace kestrel
