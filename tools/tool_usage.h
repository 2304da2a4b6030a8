#pragma once

// What the small programs beside the utility share on their command lines.

#include <cstdio>
#include <string>

namespace kestrel::tools {

// A usage error: what was wrong and where to read more, on stderr. Returns the exit status 2.
inline int usageError(const char* program, const std::string& problem) {
  std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program, problem.c_str(), program);
  return 2;
}

// True for an argument that reads as an option ("-x", "--name"): never taken as a file's name.
inline bool looksLikeOption(const std::string& arg) {
  return arg.size() > 1 && arg[0] == '-';
}

}  // namespace kestrel::tools
