#include "platform/hidapi_errors.h"

#include <cerrno>

namespace kestrel {

bool hidapiWriteMeansGone(int err) {
  return err == ENODEV || err == ESHUTDOWN;
}

bool hidapiReadMeansGone(int err) {
  return err == 0 || err == ENODEV || err == ESHUTDOWN || err == EIO;
}

}  // namespace kestrel
