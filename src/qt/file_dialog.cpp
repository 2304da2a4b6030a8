#include "qt/file_dialog.h"

#include <QFileDialog>

namespace kestrel {

FileDialog::Next FileDialog::next_;

std::optional<QString> FileDialog::getOpenFileName(QWidget* parent, const QString& folder,
                                                   const QString& filter,
                                                   const QString& defaultSuffix) {
  if (next_.armed) {
    next_.armed = false;
    return std::move(next_.choice);
  }
  QFileDialog dialog(parent);
  dialog.setObjectName(QStringLiteral("firmwareFileDialog"));
  dialog.setOption(QFileDialog::DontUseNativeDialog);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilter(filter);
  dialog.setDefaultSuffix(defaultSuffix);
  dialog.setDirectory(folder);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return std::nullopt;
  return dialog.selectedFiles().first();
}

void FileDialog::setNextFileName(std::optional<QString> choice) {
  next_.armed = true;
  next_.choice = std::move(choice);
}

void FileDialog::clearNextFileName() {
  next_ = Next{};
}

}  // namespace kestrel
