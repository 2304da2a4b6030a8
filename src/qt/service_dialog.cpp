#include "qt/service_dialog.h"

#include <QFormLayout>
#include <QGridLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "qt/utility_window.h"
#include "update/update_commands.h"

namespace kestrel {

ServiceDialog::ServiceDialog(UtilityWindow* window) : QDialog(window), window_(window) {
  setWindowTitle(QStringLiteral("Service"));
  auto* fields = new QFormLayout;
  cradleId_ = new QLineEdit(this);
  cradleId_->setObjectName(QStringLiteral("cradleIdText"));
  command_ = new QLineEdit(this);
  command_->setObjectName(QStringLiteral("commandText"));
  frame_ = new QLineEdit(this);
  frame_->setObjectName(QStringLiteral("frameText"));
  fields->addRow(QStringLiteral("Cradle ID:"), cradleId_);
  fields->addRow(QStringLiteral("Command:"), command_);
  fields->addRow(QStringLiteral("Text frame:"), frame_);
  connect(cradleId_, &QLineEdit::textEdited, this,
          [this](const QString& t) { window_->cradleIdText.set(t.toStdString()); });
  connect(command_, &QLineEdit::textEdited, this,
          [this](const QString& t) { window_->commandText.set(t.toStdString()); });
  connect(frame_, &QLineEdit::textEdited, this,
          [this](const QString& t) { window_->frameText.set(t.toStdString()); });

  struct Button {
    const char* text;
    int id;
  };
  static const Button kButtons[] = {
      {"Wake (A2)", kCmdWake},
      {"Set cradle ID", kCmdCradleId},
      {"Clear cradle ID", kCmdClearCradleId},
      {"KE99", kCmdKe99},
      {"Send command", kCmdCode},
      {"--02", kCmdDash02},
      {"Query text (/%/%)", kCmdTextQuery},
      {"Undiscover (CR01)", kCmdCr01},
      {"Read P0-P4 (CR02)", kCmdCr02},
      {"KE01", kCmdKe01},
      {"KE97", kCmdKe97},
      {"Send text frame", kCmdTextFrame},
  };
  auto* buttons = new QGridLayout;
  int i = 0;
  for (const Button& b : kButtons) {
    auto* button = new QPushButton(QString::fromLatin1(b.text), this);
    button->setObjectName(QStringLiteral("service%1").arg(b.id));
    button->setAutoDefault(false);
    int id = b.id;
    connect(button, &QPushButton::clicked, this, [this, id] {
      window_->onCommand(id);
      load();
    });
    buttons->addWidget(button, i / 3, i % 3);
    ++i;
  }
  auto* close = new QPushButton(QStringLiteral("Close"), this);
  close->setAutoDefault(false);
  connect(close, &QPushButton::clicked, this, &QDialog::accept);

  auto* layout = new QVBoxLayout(this);
  layout->addLayout(fields);
  layout->addLayout(buttons);
  layout->addWidget(close, 0, Qt::AlignRight);
  load();
}

void ServiceDialog::load() {
  cradleId_->setText(QString::fromStdString(window_->cradleIdText.get()));
  command_->setText(QString::fromStdString(window_->commandText.get()));
  frame_->setText(QString::fromStdString(window_->frameText.get()));
}

}  // namespace kestrel
