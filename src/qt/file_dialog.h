#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kestrel {

// The open-file dialog of the window: modal to `parent`, no name preset, one filter, a default
// extension added to a name typed without one; it does not require the file or its folder to exist.
class FileDialog {
 public:
  // Shows the dialog on the folder `folder` and returns the chosen file's path, or nothing when
  // the user cancels. Window's thread.
  static std::optional<QString> getOpenFileName(QWidget* parent, const QString& folder,
                                                const QString& filter,
                                                const QString& defaultSuffix);

  // Use only for testing: the next getOpenFileName() shows no dialog and returns `choice` (nothing:
  // as if cancelled). One answer, used once.
  static void setNextFileName(std::optional<QString> choice);
  // Use only for testing: takes back a choice not used.
  static void clearNextFileName();

 private:
  struct Next {
    bool armed = false;
    std::optional<QString> choice;
  };
  static Next next_;
};

}  // namespace kestrel
