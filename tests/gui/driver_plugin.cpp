// A Qt plugin that works the real kestrel-utility as a user would, for the tests that run it as a
// process. Loaded through QT_PLUGIN_PATH and QT_QPA_GENERIC_PLUGINS=kestreldriver, it waits for the
// window, chooses the port list's entry KESTREL_DRIVE_PORT (1 is "COM1"), types KESTREL_DRIVE_TITLE
// into the file field and presses "Run ".

#include <QApplication>
#include <QComboBox>
#include <QGenericPlugin>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>

namespace {

class Driver : public QObject {
 public:
  Driver() {
    connect(&timer_, &QTimer::timeout, this, [this] { step(); });
    timer_.start(10);
  }

 private:
  void step() {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      if (!top->isVisible() ||
          top->windowTitle() != QStringLiteral("Kestrel Utility  V1.00 07-13-2009")) {
        continue;
      }
      auto* ports = top->findChild<QComboBox*>(QStringLiteral("portList"));
      auto* file = top->findChild<QLineEdit*>(QStringLiteral("fileField"));
      auto* run = top->findChild<QPushButton*>(QStringLiteral("runButton"));
      if (!ports || !file || !run) return;
      timer_.stop();
      ports->setCurrentIndex(qEnvironmentVariableIntValue("KESTREL_DRIVE_PORT"));
      file->setText(qEnvironmentVariable("KESTREL_DRIVE_TITLE"));
      run->click();
      return;
    }
  }

  QTimer timer_;
};

}  // namespace

class DriverPlugin : public QGenericPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QGenericPluginFactoryInterface_iid FILE "driver_plugin.json")

 public:
  QObject* create(const QString&, const QString&) override { return new Driver; }
};

#include "driver_plugin.moc"
