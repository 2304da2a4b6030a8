#include "app/utility_app.h"

int main(int argc, char** argv) {
  kestrel::UtilityApp app(argc, argv);
  return app.run();
}
