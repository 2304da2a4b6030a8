#pragma once

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

namespace kestrel::test {

// Every line of `text` (what kestrel-flash wrote with --json, or a log of units) as JSON; a line
// that is not a whole JSON value fails the test and is left out.
inline std::vector<nlohmann::json> jsonLines(const std::string& text) {
  std::vector<nlohmann::json> out;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    nlohmann::json j = nlohmann::json::parse(line, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << "not a whole JSON line: " << line;
    if (!j.is_discarded()) out.push_back(j);
  }
  return out;
}

}  // namespace kestrel::test
