#include "app/utility_app.h"

#include <QStyle>
#include <QStyleFactory>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "app/utility_window.h"

namespace kestrel {

UtilityApp::UtilityApp(int& argc, char** argv) : QApplication(argc, argv) {
  // The classic three-dimensional look of the controls, where the style is there.
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) setStyle(style);
}

int UtilityApp::run() {
  auto window =
      std::make_unique<UtilityWindow>(systemClock(), serialBackend(), hidBackend(), fileSystem());
  window->exec();
  if (!window->workersEnded()) {
    // A worker is stuck in a call that does not return (a driver that hangs): its state must not
    // be freed under it, so the process ends here, which ends the worker too.
    std::fflush(nullptr);
    std::_Exit(0);
  }
  window.reset();
  return 0;
}

}  // namespace kestrel
