#pragma once

#include <QDialog>

class QLineEdit;

namespace kestrel {

class UtilityWindow;

// The service commands: the cradle identity, the four-character code and the text frame, and
// one button per command. Each button raises its command identifier through the window's command
// table; the fields are bound to cradleIdText, commandText and frameText.
class ServiceDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ServiceDialog(UtilityWindow* window);

 private:
  void load();
  UtilityWindow* window_;
  QLineEdit* cradleId_;
  QLineEdit* command_;
  QLineEdit* frame_;
};

}  // namespace kestrel
