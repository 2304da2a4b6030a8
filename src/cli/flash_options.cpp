#include "cli/flash_options.h"

#include <getopt.h>

#include <cmath>
#include <cstdlib>

namespace kestrel {
namespace {

enum LongOnly : int {
  kPort = 1000,
  kSearchTimeout,
  kDryRun,
  kOutput,
  kList,
  kJson,
  kQuiet,
  kJobs,
  kRetries,
  kLog,
  kWatch,
  kBatchChild,
};

// A whole number from `least` to `most`, in decimal digits only.
bool parseCount(const std::string& text, int least, int most, int* count) {
  if (text.empty() || text.size() > 9 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    return false;
  }
  int value = std::atoi(text.c_str());
  if (value < least || value > most) return false;
  *count = value;
  return true;
}

// A number of seconds from 1 to a day: finite, and in range before anything is cast.
bool parseSeconds(const std::string& text, double* seconds) {
  if (text.empty()) return false;
  char* end = nullptr;
  double value = std::strtod(text.c_str(), &end);
  if (*end != '\0' || !std::isfinite(value)) return false;
  if (value < 1 || value > kMaxSearchTimeout) return false;
  *seconds = value;
  return true;
}

}  // namespace

const char* const kFlashUsage =
    "usage: kestrel-flash [options] FILE\n"
    "       kestrel-flash --list\n"
    "\n"
    "Converts the ELF file FILE (fw.out, fw.elf, build/fw, ...) into the flat image beside it\n"
    "(the same name with .bin) and downloads it to the device's boot loader, exactly as Kestrel\n"
    "Utility's \"Run \" does.\n"
    "\n"
    "options:\n"
    "  --port usb|COMn|PATH      the link: the USB boot loader (default), COM1 to COM9 (mapped as\n"
    "                            in the window; KESTREL_COM_DIR applies) or a serial device path;\n"
    "                            on Windows any COMn or \\\\.\\COMn\n"
    "  --port usb:LOCATION       the USB boot loader on one physical USB port: 1-3.2 on Linux,\n"
    "                            PCIROOT(0)#PCI(1400)#USBROOT(0)#USB(3)#USB(2) on Windows\n"
    "  --port usb:serial=SN      the USB boot loader with the USB serial number SN (refused when\n"
    "                            two present have it)\n"
    "  --port usb:path=PATH      the USB boot loader at the device path PATH (/dev/hidraw3)\n"
    "  --port usb:*              every USB boot loader present\n"
    "                            A USB boot loader in use by another run is refused as busy.\n"
    "                            --port may be given many times: a batch, one device each\n"
    "  --search-timeout SECONDS  give up the serial search after this long: 1 to 86400 (30)\n"
    "  --output FILE             write the image to FILE instead of beside the ELF file\n"
    "  --dry-run                 convert in memory and show the image; write nothing (but the\n"
    "                            image to --output FILE, when given) and touch no device\n"
    "  --list                    show the serial ports, whether each can be opened now (or is in\n"
    "                            use by another program), and the USB boot loaders present: port,\n"
    "                            serial number (shared ones marked), version, path, busy or free\n"
    "  --json                    one JSON object per line for every event, ending with \"end\"\n"
    "  --quiet                   print nothing but a failure (with --dry-run: the SHA-256)\n"
    "  --jobs N                  a batch updates N devices at a time (all of them at once)\n"
    "  --retries N               try a device again from the search, up to N times, when its\n"
    "                            update failed while it stayed connected (0)\n"
    "  --log FILE                append one JSON line per device and attempt to FILE: time, host,\n"
    "                            firmware, image SHA-256, device, location, serial number, result\n"
    "  --watch                   a station: run until interrupted, and flash each unit that\n"
    "                            appears on the --port given once per plug-in (usb:*,\n"
    "                            usb:LOCATION, or serial devices by a pattern: '/dev/ttyACM*';\n"
    "                            on Windows 'COM1?'); the first Ctrl+C takes no new units and\n"
    "                            lets the updates under way finish, a second interrupts them\n"
    "  -h, --help                this text\n"
    "  -V, --version             the version\n"
    "\n"
    "Options are written out in full; --port=COM1 works as well as --port COM1.\n"
    "\n"
    "exit codes:\n"
    "  0 success          1 other failure (memory, an I/O error on the link)\n"
    "  2 bad usage        3 conversion refused, or the image not written\n"
    "  4 port or device not found or not openable\n"
    "  5 no answer to the serial search           6 no acknowledgement from the device\n"
    "  7 device gone, or the line held up         130 interrupted\n"
    "  8 a batch of several devices or a station: one or more were not updated (each one's\n"
    "    code is in the summary)\n"
    "An interrupted run (Ctrl+C, kill, a closed terminal) says what the device got.\n";

bool asksForJson(const std::vector<std::string>& args) {
  const std::string json = "--json";
  for (const std::string& a : args) {
    if (a == "--") return false;
    // An abbreviation is refused, but it says clearly enough what the answer should look like.
    if (a.size() >= 3 && json.compare(0, a.size(), a) == 0) return true;
  }
  return false;
}

bool isBatchChild(const std::vector<std::string>& args) {
  for (const std::string& a : args) {
    if (a == "--") return false;
    if (a == "--batch-child" || a.rfind("--batch-child=", 0) == 0) return true;
  }
  return false;
}

bool parseFlashOptions(const std::vector<std::string>& args, FlashOptions* o, std::string* error) {
  static const option kLong[] = {
      {"port", required_argument, nullptr, kPort},
      {"search-timeout", required_argument, nullptr, kSearchTimeout},
      {"dry-run", no_argument, nullptr, kDryRun},
      {"output", required_argument, nullptr, kOutput},
      {"list", no_argument, nullptr, kList},
      {"json", no_argument, nullptr, kJson},
      {"quiet", no_argument, nullptr, kQuiet},
      {"jobs", required_argument, nullptr, kJobs},
      {"retries", required_argument, nullptr, kRetries},
      {"log", required_argument, nullptr, kLog},
      {"watch", no_argument, nullptr, kWatch},
      {"batch-child", required_argument, nullptr, kBatchChild},
      {"help", no_argument, nullptr, 'h'},
      {"version", no_argument, nullptr, 'V'},
      {nullptr, 0, nullptr, 0},
  };
  std::vector<std::string> storage;
  storage.reserve(args.size() + 1);
  storage.push_back("kestrel-flash");
  storage.insert(storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  // getopt keeps its place in globals: start afresh, and let no message of its own out.
  optind = 0;
  opterr = 0;
  const int argc = int(storage.size());
  for (;;) {
    int index = -1;
    int c = getopt_long(argc, argv.data(), ":hV", kLong, &index);
    if (c == -1) break;
    // The option as the user wrote it, for messages: before its value when that came apart.
    int at = optind - 1;
    if (index >= 0 && optarg && at > 0 && optarg == argv[size_t(at)]) --at;
    std::string given = at > 0 && at < argc ? argv[size_t(at)] : "";
    // getopt_long takes any unambiguous beginning of a long option; a script's "--out" would
    // change its meaning the day a second option begins so. Options are written out in full.
    if (index >= 0 && given.rfind("--", 0) == 0 &&
        given.substr(2, given.find('=') - 2) != kLong[index].name) {
      *error = "unknown option '" + given.substr(0, given.find('=')) +
               "' (options are not abbreviated: --" + kLong[index].name + ")";
      return false;
    }
    switch (c) {
      case kPort:
        if (o->ports.empty()) o->port = optarg;
        o->ports.push_back(optarg);
        break;
      case kJobs:
        if (!parseCount(optarg, 1, kMaxJobs, &o->jobs)) {
          *error = "--jobs takes a number of devices from 1 to " + std::to_string(kMaxJobs) +
                   ", not '" + std::string(optarg) + "'";
          return false;
        }
        break;
      case kRetries:
        if (!parseCount(optarg, 0, kMaxRetries, &o->retries)) {
          *error = "--retries takes a number from 0 to " + std::to_string(kMaxRetries) + ", not '" +
                   std::string(optarg) + "'";
          return false;
        }
        break;
      case kLog:
        if (!*optarg) {
          *error = "--log needs a file name";
          return false;
        }
        o->log = std::string(optarg);
        break;
      case kWatch:
        o->watch = true;
        break;
      case kBatchChild:
        o->batchChild = std::string(optarg);
        break;
      case kSearchTimeout:
        if (!parseSeconds(optarg, &o->searchTimeout)) {
          *error = "--search-timeout takes a number of seconds from 1 to 86400, not '" +
                   std::string(optarg) + "'";
          return false;
        }
        break;
      case kDryRun:
        o->dryRun = true;
        break;
      case kOutput:
        o->output = std::string(optarg);
        break;
      case kList:
        o->list = true;
        break;
      case kJson:
        o->json = true;
        break;
      case kQuiet:
        o->quiet = true;
        break;
      case 'h':
        o->help = true;
        break;
      case 'V':
        o->version = true;
        break;
      case ':':
        *error = "option '" + given.substr(0, given.find('=')) + "' needs a value";
        return false;
      default:
        *error = optopt ? "unknown option '-" + std::string(1, char(optopt)) + "'"
                        : "unknown option '" + given + "'";
        return false;
    }
  }
  if (o->ports.empty()) o->ports.push_back(o->port);
  std::vector<std::string> files(storage.begin() + optind, storage.end());
  if (o->help || o->version || o->list) {
    if (!files.empty() && o->list) {
      *error = "--list takes no FILE";
      return false;
    }
    return true;
  }
  if (files.empty()) {
    *error = "no FILE given";
    return false;
  }
  if (files.size() > 1) {
    *error = "only one FILE can be flashed at a time";
    return false;
  }
  o->file = files[0];
  if (o->file.empty()) {
    *error = "FILE is empty";
    return false;
  }
  return true;
}

}  // namespace kestrel
