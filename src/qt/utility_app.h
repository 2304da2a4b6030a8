#pragma once

#include <QApplication>

namespace kestrel {

// The application object: runs the window modally and ends when it ends.
class UtilityApp : public QApplication {
  Q_OBJECT

 public:
  UtilityApp(int& argc, char** argv);

  // Creates the window with the real clock, serial ports and HID devices, runs it modally and
  // returns the exit status: 0, or 128 plus the signal's number when a termination request
  // (SIGTERM, SIGHUP, SIGINT, SIGQUIT) ended it. Such a request ends the window as a session that
  // ends does (UtilityWindow::endSession): the update stopped, the port put back.
  int run();
};

}  // namespace kestrel
