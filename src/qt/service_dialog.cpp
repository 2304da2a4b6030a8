#include "qt/service_dialog.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "qt/qt_text.h"
#include "qt/utility_window.h"
#include "window/window_content.h"

namespace kestrel {

ServiceDialog::ServiceDialog(UtilityWindow* window) : QDialog(window), window_(window) {
  setWindowTitle(toQString(kServiceTitle));
  auto* fields = new QFormLayout;
  for (const ServiceField& f : kServiceFields) {
    auto* edit = new QLineEdit(this);
    edit->setObjectName(toQString(f.name));
    fields->addRow(toQString(f.label), edit);
    SharedText& text = window_->*f.text;
    connect(edit, &QLineEdit::textEdited, this,
            [&text](const QString& t) { text.set(t.toStdString()); });
    fields_.push_back({edit, &text});
  }

  auto* buttons = new QGridLayout;
  int i = 0;
  for (const ServiceOperation& operation : kServiceOperations) {
    auto* button = new QPushButton(toQString(operation.label), this);
    button->setObjectName(QStringLiteral("service%1").arg(operation.command));
    button->setAutoDefault(false);
    connect(button, &QPushButton::clicked, this, [this, id = operation.command] {
      window_->onCommand(id);
      load();
    });
    buttons->addWidget(button, i / 3, i % 3);
    ++i;
  }
  auto* close = new QPushButton(toQString(kServiceClose), this);
  close->setAutoDefault(false);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);
  layout->addWidget(close, 0, Qt::AlignRight);
  load();
}

void ServiceDialog::load() {
  for (const Field& f : fields_) f.edit->setText(QString::fromStdString(f.text->get()));
}

}  // namespace kestrel
