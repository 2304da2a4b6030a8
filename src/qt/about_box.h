#pragma once

#include <QDialog>

namespace kestrel {

// "About Merlin upgrade tool": the icon, the version line and OK. OK, Enter and Escape close it.
class AboutBox : public QDialog {
  Q_OBJECT

 public:
  explicit AboutBox(QWidget* parent = nullptr);
};

}  // namespace kestrel
