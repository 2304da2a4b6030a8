#include "window/window_content.h"

#include "serial/serial_session.h"

namespace kestrel {

std::vector<std::string> portListEntries() {
  std::vector<std::string> entries{"USB Port"};
  for (int index = 1; index <= 9; ++index) entries.push_back(portName(index));
  return entries;
}

}  // namespace kestrel
