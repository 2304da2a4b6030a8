#include "qt/question.h"

#include <QMessageBox>

namespace kestrel {

std::optional<bool> Question::next_;

bool Question::ask(QWidget* parent, const QString& caption, const QString& text) {
  if (next_) {
    bool yes = *next_;
    next_.reset();
    return yes;
  }
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Yes | QMessageBox::No, parent);
  box.setObjectName(QStringLiteral("question"));
  box.setTextFormat(Qt::PlainText);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  return box.exec() == QMessageBox::Yes;
}

void Question::setNextAnswer(std::optional<bool> yes) {
  next_ = yes;
}

}  // namespace kestrel
