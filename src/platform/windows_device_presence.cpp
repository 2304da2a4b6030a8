// The serial device nodes present on Windows: the COM ports the system has, by a pattern of their
// names.

#include <cctype>
#include <string>

#include "platform/backends.h"
#include "platform/device_presence.h"

namespace kestrel {
namespace {

// `text` without a leading "\\.\" (or "//./"), in upper case.
std::string bareName(const std::string& text) {
  std::string bare = text;
  if (bare.size() > 4 && (bare.compare(0, 4, "\\\\.\\") == 0 || bare.compare(0, 4, "//./") == 0)) {
    bare = bare.substr(4);
  }
  for (char& c : bare) c = char(std::toupper(static_cast<unsigned char>(c)));
  return bare;
}

// Whether `name` matches `pattern`, where "?" stands for one character and "*" for any run.
bool wildcardMatch(const char* pattern, const char* name) {
  for (; *pattern; ++pattern, ++name) {
    if (*pattern == '*') {
      for (const char* rest = name;; ++rest) {
        if (wildcardMatch(pattern + 1, rest)) return true;
        if (!*rest) return false;
      }
    }
    if (!*name || (*pattern != '?' && *pattern != *name)) return false;
  }
  return !*name;
}

}  // namespace

bool isSerialNodePattern(const std::string& text) {
  const std::string bare = bareName(text);
  if (bare.size() < 4 || bare.compare(0, 3, "COM") != 0) return false;
  return bare.find_first_not_of("0123456789?*", 3) == std::string::npos;
}

std::vector<std::string> serialNodesMatching(const std::string& pattern) {
  std::vector<std::string> nodes;
  if (!isSerialNodePattern(pattern)) return nodes;
  const std::string bare = bareName(pattern);
  // systemSerialPortNames() gives each port once, in the order of its number.
  for (const std::string& name : systemSerialPortNames()) {
    if (wildcardMatch(bare.c_str(), name.c_str())) nodes.push_back(name);
  }
  return nodes;
}

bool nodeOpenable(const std::string&) {
  return true;
}

}  // namespace kestrel
