#pragma once

#include <QString>
#include <optional>

class QWidget;

namespace kestrel {

// A question the user answers with Yes or No: a box modal to `parent`, No the default button (so
// that Enter or Escape keep things as they are).
class Question {
 public:
  // Shows the question and returns true for Yes. Window's thread.
  static bool ask(QWidget* parent, const QString& caption, const QString& text);

  // Use only for testing: the next ask() shows no box and returns `yes`. One answer, used once;
  // nothing takes back an answer not used.
  static void setNextAnswer(std::optional<bool> yes);

 private:
  static std::optional<bool> next_;
};

}  // namespace kestrel
