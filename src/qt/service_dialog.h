#pragma once

#include <QDialog>
#include <vector>

class QLineEdit;

namespace kestrel {

class SharedText;
class UtilityWindow;

// The service commands: one field per text the commands read (cradleIdText, commandText,
// frameText), bound to it, and one button per command, each raising its command identifier through
// the window's command table.
class ServiceDialog : public QDialog {
  Q_OBJECT

 public:
  explicit ServiceDialog(UtilityWindow* window);

 private:
  struct Field {
    QLineEdit* edit;
    SharedText* text;
  };
  // The fields show what the window holds (a command may have changed it).
  void load();
  UtilityWindow* window_;
  std::vector<Field> fields_;
};

}  // namespace kestrel
