#include "qt/utility_app.h"

#include <QSocketNotifier>
#include <QStyle>
#include <QStyleFactory>
#include <memory>

#include "platform/backends.h"
#include "platform/process.h"
#include "qt/utility_window.h"
#include "qt/window_icon.h"

namespace kestrel {

UtilityApp::UtilityApp(int& argc, char** argv) : QApplication(argc, argv) {
  // The classic three-dimensional look of the controls, where the style is there.
  if (QStyle* style = QStyleFactory::create(QStringLiteral("Windows"))) setStyle(style);
  // Every window of the program shows its icon: the window, its dialogs and boxes.
  setWindowIcon(programIcon());
}

int UtilityApp::run() {
  // Noted from here on; one that comes before the window's loop runs waits in the pipe for it.
  const int requests = watchTerminationRequests();
  auto window =
      std::make_unique<UtilityWindow>(systemClock(), serialBackend(), hidBackend(), fileSystem());
  int exitCode = 0;
  std::unique_ptr<QSocketNotifier> notifier;
  if (requests >= 0) {
    notifier = std::make_unique<QSocketNotifier>(requests, QSocketNotifier::Read);
    connect(notifier.get(), &QSocketNotifier::activated, this, [&] {
      const int signal = takeTerminationRequest();
      if (signal == 0 || exitCode != 0) return;
      // As a shell reports a program that a signal ended.
      exitCode = 128 + signal;
      window->endSession();
    });
  }
  window->exec();
  notifier.reset();
  window->exitIfWorkersStuck(exitCode);
  window.reset();
  return exitCode;
}

}  // namespace kestrel
