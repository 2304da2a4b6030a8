// The serial device nodes present on POSIX: glob(3) of a pattern, character devices only.

#include <glob.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "platform/device_presence.h"

namespace kestrel {

bool isSerialNodePattern(const std::string& text) {
  return text.find('/') != std::string::npos;
}

std::vector<std::string> serialNodesMatching(const std::string& pattern) {
  std::vector<std::string> nodes;
  glob_t found{};
  // A folder that cannot be read is passed over (GLOB_ERR unset): the other matches still count.
  if (::glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (size_t i = 0; i < found.gl_pathc; ++i) {
      struct stat st {};
      if (::stat(found.gl_pathv[i], &st) == 0 && S_ISCHR(st.st_mode)) {
        nodes.push_back(found.gl_pathv[i]);
      }
    }
  }
  ::globfree(&found);
  std::sort(nodes.begin(), nodes.end());
  nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
  return nodes;
}

bool nodeOpenable(const std::string& path) {
  return ::access(path.c_str(), R_OK | W_OK) == 0;
}

}  // namespace kestrel
