#include "app/utility_app.h"
#include "platform/process.h"

int main(int argc, char** argv) {
  kestrel::ensureStandardDescriptors();
  kestrel::UtilityApp app(argc, argv);
  return app.run();
}
