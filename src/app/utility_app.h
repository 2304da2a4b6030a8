#pragma once

#include <QApplication>

namespace kestrel {

// The application object: runs the window modally and ends when it ends.
class UtilityApp : public QApplication {
  Q_OBJECT

 public:
  UtilityApp(int& argc, char** argv);

  // Creates the window with the real clock, serial ports and HID devices, runs it modally and
  // returns the exit status.
  int run();
};

}  // namespace kestrel
