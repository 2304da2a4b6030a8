// The utility window as a user sees it, headless.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMetaMethod>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <random>

#include "platform/backends.h"
#include "qt/about_box.h"
#include "qt/file_dialog.h"
#include "qt/question.h"
#include "qt/utility_window.h"
#include "qt/window_icon.h"
#include "sim/elf_builder.h"
#include "sim/hid_boot_sim.h"
#include "sim/serial_boot_sim.h"
#include "support/null_backends.h"
#include "support/temp_dir.h"
#include "support/test_clock.h"

using namespace kestrel;

namespace {

struct Seen {
  QString text;
  QString caption;
  QMessageBox::Icon icon;
  QString ownerTitle;  // The title of the window that owns the box; empty for none.
};

// Watches for modal dialogs as a user would and answers them: message boxes are read and
// confirmed with OK; other dialogs are handed to `onDialog`. A dialog still open after `patience`
// fails the test with its title and is closed, so that no test waits on it for ever.
class ModalWatcher : public QObject {
 public:
  explicit ModalWatcher(int patienceMs = 5000) : patienceMs_(patienceMs) {
    connect(&timer_, &QTimer::timeout, this, [this] { poll(); });
    timer_.start(10);
  }
  QList<Seen> boxes;
  std::function<void(QDialog*)> onDialog;
  // Runs for each message box before it is answered.
  std::function<void(QMessageBox*)> onBox;

 private:
  void poll() {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal != current_) {
      current_ = modal;
      since_.start();
    }
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      QWidget* owner = box->parentWidget() ? box->parentWidget()->window() : nullptr;
      boxes.append(
          {box->text(), box->windowTitle(), box->icon(), owner ? owner->windowTitle() : QString()});
      if (onBox) onBox(box);
      // A question gets its default answer, as from a user who presses Enter.
      QAbstractButton* answer = box->button(QMessageBox::Ok);
      if (!answer) answer = box->defaultButton();
      if (answer) answer->click();
    } else if (auto* dialog = qobject_cast<QDialog*>(modal);
               dialog && !qobject_cast<UtilityWindow*>(dialog)) {
      if (since_.elapsed() > patienceMs_) {
        QTest::qFail(qPrintable(QStringLiteral("waited %1 ms for the dialog \"%2\" to close")
                                    .arg(patienceMs_)
                                    .arg(dialog->windowTitle())),
                     __FILE__, __LINE__);
        dialog->reject();
      } else if (onDialog) {
        onDialog(dialog);
      }
    }
  }
  const int patienceMs_;
  QPointer<QWidget> current_;
  QElapsedTimer since_;
  QTimer timer_;
};

// A boot loader linked as COM1 in a COM folder of its own (by default one that never answers),
// and a one-block firmware "fw.out" in that folder, which is the current one while this lives.
struct BootLoaderOnCom1 {
  explicit BootLoaderOnCom1(sim::SerialFaults faults = {.silent = true}) : device(faults) {
    qputenv("KESTREL_COM_DIR", QByteArray::fromStdString(dir.path().string()));
    device.linkAs(dir.path().string(), "COM1");
    test::writeFile("fw.out", sim::ElfBuilder().add(0, {1}).build());
  }
  ~BootLoaderOnCom1() { qunsetenv("KESTREL_COM_DIR"); }
  BootLoaderOnCom1(const BootLoaderOnCom1&) = delete;
  BootLoaderOnCom1& operator=(const BootLoaderOnCom1&) = delete;

  test::TempDir dir;
  sim::SerialBootSim device;
};

// The three roads by which a user closes the window.
enum class Road { Escape, EnterInAField, CloseRequest };
const Road kRoads[] = {Road::Escape, Road::EnterInAField, Road::CloseRequest};

void closeBy(Road road, UtilityWindow* w) {
  auto* field = w->findChild<QLineEdit*>(QStringLiteral("fileField"));
  if (road == Road::Escape) QTest::keyClick(field, Qt::Key_Escape);
  if (road == Road::EnterInAField) QTest::keyClick(field, Qt::Key_Return);
  if (road == Road::CloseRequest) w->close();
}

const QString kCloseQuestion = QStringLiteral(
    "An update is running. Closing now leaves the device without working firmware. Close anyway?");

// The opaque pixels of `icon` as they appear in `shown` from `at`; the first that differs is told.
QString differenceFromIcon(const QImage& shown, const QImage& icon, QPoint at = {}) {
  const QImage a = shown.convertToFormat(QImage::Format_ARGB32);
  const QImage b = icon.convertToFormat(QImage::Format_ARGB32);
  int opaque = 0;
  for (int y = 0; y < b.height(); ++y) {
    for (int x = 0; x < b.width(); ++x) {
      if (qAlpha(b.pixel(x, y)) != 255) continue;
      ++opaque;
      if (!a.valid(at + QPoint(x, y)) || a.pixel(at + QPoint(x, y)) != b.pixel(x, y)) {
        return QStringLiteral("pixel %1,%2 is %3, the icon's is %4")
            .arg(x)
            .arg(y)
            .arg(a.valid(at + QPoint(x, y)) ? a.pixel(at + QPoint(x, y)) : 0, 8, 16)
            .arg(b.pixel(x, y), 8, 16);
      }
    }
  }
  return opaque > 0 ? QString() : QStringLiteral("the icon has no opaque pixel");
}

}  // namespace

class WindowTest : public QObject {
  Q_OBJECT

 private:
  test::NoSerialPorts serial_;
  test::NoHidDevices hid_;
  QString startFolder_;

  // A shown window on the real serial ports with COM1 and "fw" chosen: Run starts a search.
  std::unique_ptr<UtilityWindow> windowReadyToRun() {
    auto w = showWindow(posixSerialBackend());
    find<QComboBox>(w.get(), "portList")->setCurrentIndex(1);
    find<QLineEdit>(w.get(), "fileField")->setText("fw");
    return w;
  }
  std::unique_ptr<UtilityWindow> showWindow() { return showWindow(systemClock(), serial_); }
  std::unique_ptr<UtilityWindow> showWindow(SerialBackend& serial) {
    return showWindow(systemClock(), serial);
  }
  std::unique_ptr<UtilityWindow> showWindow(Clock& clock, SerialBackend& serial) {
    auto w = std::make_unique<UtilityWindow>(clock, serial, hid_, fileSystem());
    w->show();
    w->activateWindow();
    QApplication::setActiveWindow(w.get());
    if (!QTest::qWaitForWindowExposed(w.get())) qWarning("window not shown");
    // Without a window manager (a bare X server) the window may never become the active one; the
    // tests send their keys to the widgets themselves, so they do not depend on it.
    if (!QTest::qWaitForWindowActive(w.get(), 1000)) qWarning("window not active");
    return w;
  }
  // A visible message box with `text`, wherever it is.
  static QMessageBox* findBox(const QString& text) {
    for (QWidget* top : QApplication::topLevelWidgets()) {
      auto* box = qobject_cast<QMessageBox*>(top);
      if (box && box->isVisible() && box->text() == text) return box;
    }
    return nullptr;
  }
  template <class T>
  static T* find(QWidget* w, const char* name) {
    return w->findChild<T*>(QString::fromLatin1(name));
  }
  // The window menu's item with `text`, or nullptr.
  static QAction* menuItem(UtilityWindow* w, const QString& text) {
    for (QAction* a : w->windowMenu()->actions()) {
      if (a->text() == text) return a;
    }
    return nullptr;
  }
  // "Search..." with the user's choice given in advance: a path, or nothing for Cancel.
  void chooseFile(UtilityWindow* w, std::optional<QString> choice) {
    FileDialog::setNextFileName(std::move(choice));
    find<QPushButton>(w, "searchButton")->click();
  }

 private slots:
  void init() { startFolder_ = QDir::currentPath(); }
  void cleanup() {
    QDir::setCurrent(startFolder_);
    // An answer a test gave in advance and did not use must not reach the next test.
    FileDialog::clearNextFileName();
    Question::setNextAnswer(std::nullopt);
  }

  void startsAsLaidOut() {
    auto w = showWindow();
    QCOMPARE(w->windowTitle(), QStringLiteral("Kestrel Utility  V1.00 07-13-2009"));
    auto* ports = find<QComboBox>(w.get(), "portList");
    QStringList entries;
    for (int i = 0; i < ports->count(); ++i) entries << ports->itemText(i);
    QCOMPARE(entries, (QStringList{"USB Port", "COM1", "COM2", "COM3", "COM4", "COM5", "COM6",
                                   "COM7", "COM8", "COM9"}));
    QCOMPARE(ports->currentText(), QStringLiteral("USB Port"));
    QVERIFY(!ports->isEditable());
    QCOMPARE(find<QLineEdit>(w.get(), "fileField")->text(), QString());
    QCOMPARE(find<QLineEdit>(w.get(), "statusField")->text(), QString());
    QCOMPARE(find<QProgressBar>(w.get(), "progressBar")->value(), 0);
    auto* run = find<QPushButton>(w.get(), "runButton");
    QCOMPARE(run->text(), QStringLiteral("Run "));
    QVERIFY(run->isEnabled());
    for (const char* hidden : {"stopButton", "updateButton"}) {
      QVERIFY(!find<QPushButton>(w.get(), hidden)->isVisible());
      QVERIFY(!find<QPushButton>(w.get(), hidden)->isEnabled());
    }
    QCOMPARE(QApplication::focusWidget(), ports);
    QCOMPARE(w->PortIndex.load(), 0);
    QCOMPARE(w->BaudIndex.load(), 0);
    QCOMPARE(int(w->searchStopped.load()), 1);
    QCOMPARE(windowRef.load(), static_cast<WindowState*>(w.get()));
    QCOMPARE(w->minimumSize(), w->maximumSize());
    // No label is clipped, and every control lies inside the window.
    for (QLabel* label : w->findChildren<QLabel*>()) {
      QVERIFY2(label->width() >= label->sizeHint().width(), qPrintable(label->text()));
    }
    for (QWidget* control : w->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (control->isWindow()) continue;
      QVERIFY2(w->rect().contains(control->geometry()),
               qPrintable(control->objectName() + QLatin1Char(' ') +
                          control->metaObject()->className()));
    }
  }

  // The title bar and the About box show the program's icon, pixel for pixel.
  void showsTheProgramsIcon() {
    auto w = showWindow();
    const QImage icon = programIcon().pixmap(32, 32).toImage();
    QVERIFY(!w->windowIcon().isNull());
    QString difference = differenceFromIcon(w->windowIcon().pixmap(32, 32).toImage(), icon);
    QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("title bar: ") + difference));

    AboutBox about(w.get());
    about.show();
    QVERIFY(QTest::qWaitForWindowExposed(&about));
    QVERIFY(!about.windowIcon().isNull());
    auto* label = about.findChild<QLabel*>(QStringLiteral("aboutIcon"));
    QVERIFY(label);
    QVERIFY(about.rect().contains(label->geometry()));
    difference = differenceFromIcon(label->grab().toImage(), icon);
    QVERIFY2(difference.isEmpty(), qPrintable(QStringLiteral("About box: ") + difference));
  }

  void tabsThroughControlsInLayoutOrder() {
    auto w = showWindow();
    QList<QWidget*> order;
    for (int i = 0; i < 5; ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      order << QApplication::focusWidget();
    }
    QCOMPARE(order,
             (QList<QWidget*>{
                 find<QLineEdit>(w.get(), "fileField"), find<QPushButton>(w.get(), "searchButton"),
                 find<QLineEdit>(w.get(), "statusField"), find<QPushButton>(w.get(), "runButton"),
                 find<QComboBox>(w.get(), "portList")}));
  }

  void enterInAFieldReadsTheWindowAndEnds() {
    auto w = showWindow();
    auto* field = find<QLineEdit>(w.get(), "fileField");
    field->setFocus();
    QTest::keyClicks(field, "typed");
    QTest::keyClick(field, Qt::Key_Return);
    QVERIFY(!w->isVisible());
    QCOMPARE(w->result(), int(QDialog::Accepted));
    QCOMPARE(w->firmwareTitle.get(), std::string("typed"));
    QCOMPARE(int(w->searchStopped.load()), 1);
  }

  void escapeEndsAtOnce() {
    auto w = showWindow();
    ModalWatcher watcher;
    QTest::keyClick(find<QComboBox>(w.get(), "portList"), Qt::Key_Escape);
    QVERIFY(!w->isVisible());
    QCOMPARE(w->result(), int(QDialog::Rejected));
    QVERIFY(watcher.boxes.isEmpty());  // no update runs: nothing is asked
  }

  // During the search the device has only been woken: each road closes at once, without a
  // question, and ends the search.
  void closingDuringTheSearchAsksNothing() {
    for (Road road : kRoads) {
      BootLoaderOnCom1 at;
      auto w = windowReadyToRun();
      find<QPushButton>(w.get(), "runButton")->click();
      QVERIFY(w->serialUpdateRunning.load());
      ModalWatcher watcher;
      closeBy(road, w.get());
      QVERIFY2(!w->isVisible(), qPrintable(QStringLiteral("road %1").arg(int(road))));
      QVERIFY(watcher.boxes.isEmpty());
      QVERIFY(w->workersEnded());
      QVERIFY(!w->serialPortHandle.isOpen());
      QCOMPARE(int(w->searchStopped.load()), 1);
    }
  }

  // Once the device's memory is being changed, Escape, Enter in a field and the close request each
  // ask first; No keeps the window and the download, Yes closes. The device never acknowledges the
  // clear command, and the window's clock stands still meanwhile, so the download waits for it.
  void closingDuringTheDownloadAsksFirst() {
    BootLoaderOnCom1 at({.noClearAck = true});
    test::HeldClock clock;
    auto w = showWindow(clock, posixSerialBackend());
    find<QComboBox>(w.get(), "portList")->setCurrentIndex(1);
    find<QLineEdit>(w.get(), "fileField")->setText("fw");
    find<QPushButton>(w.get(), "runButton")->click();
    // The device has the clear command (the download is marked running before it is sent).
    QTRY_VERIFY2_WITH_TIMEOUT(!at.device.commands().empty(), "the clear command", 10000);
    clock.hold();

    ModalWatcher watcher;  // answers No
    for (Road road : kRoads) closeBy(road, w.get());
    QCOMPARE(watcher.boxes.size(), 3);
    for (const Seen& box : watcher.boxes) {
      QCOMPARE(box.text, kCloseQuestion);
      QCOMPARE(box.caption, QCoreApplication::applicationName());
    }
    QVERIFY(w->isVisible());
    QVERIFY(w->downloadRunning.load());
    QVERIFY(at.device.commands() == std::vector<std::string>{"UCLRU"});

    Question::setNextAnswer(true);
    closeBy(Road::Escape, w.get());
    QVERIFY(!w->isVisible());
    QVERIFY(w->workersEnded());
    QVERIFY(!w->serialPortHandle.isOpen());
  }

  // An application box from a worker has no owner and holds nothing but the worker: the window
  // stays usable until the user presses OK.
  void appBoxFromAWorkerLeavesTheWindowUsable() {
    auto w = showWindow();
    std::atomic<bool> answered{false};
    w->workers.start("worker", [&] {
      w->showAppMessage("Only read 2 bytes");
      answered = true;
    });
    QMessageBox* box = nullptr;
    QTRY_VERIFY2((box = findBox(QStringLiteral("Only read 2 bytes"))), "the worker's box");
    QVERIFY(box->parentWidget() == nullptr);
    QCOMPARE(box->windowModality(), Qt::NonModal);
    QCOMPARE(box->icon(), QMessageBox::Warning);
    QVERIFY(QApplication::activeModalWidget() == nullptr);
    // The window takes input meanwhile.
    QTemporaryDir folder;
    chooseFile(w.get(), QDir(folder.path()).filePath("next.out"));
    QCOMPARE(find<QLineEdit>(w.get(), "fileField")->text(), QStringLiteral("next"));
    QVERIFY(!answered.load());
    box->button(QMessageBox::Ok)->click();
    QTRY_VERIFY2(answered.load(), "the worker to go on after OK");
  }

  // Enter on the focused Run button presses it: the update starts (the device gets the two wake
  // bytes at 9600 bit/s, then probes; Run is greyed; the status shows the search) and the window
  // stays.
  void enterOnRunPressesRun() {
    BootLoaderOnCom1 at;
    auto w = windowReadyToRun();
    ModalWatcher watcher;
    auto* run = find<QPushButton>(w.get(), "runButton");
    run->setFocus();
    QTest::keyClick(run, Qt::Key_Return);
    QVERIFY(w->isVisible());
    QVERIFY(w->serialUpdateRunning.load());
    QVERIFY(!run->isEnabled());
    QTRY_COMPARE_WITH_TIMEOUT(find<QLineEdit>(w.get(), "statusField")->text(),
                              QStringLiteral("Search Device..."), 5000);
    QTRY_VERIFY2_WITH_TIMEOUT(at.device.received().size() >= 3, "the wake bytes and a probe", 5000);
    const std::vector<sim::LineByte> got = at.device.received();
    QCOMPARE(int(got[0].byte), 0xA2);
    QCOMPARE(int(got[1].byte), 0xA2);
    QCOMPARE(got[0].baud, 9600u);
    QCOMPARE(int(got[2].byte), 0xA5);
    QVERIFY(watcher.boxes.isEmpty());
  }

  // F1 shows the help in a box of its own.
  void f1ShowsTheHelp() {
    auto w = showWindow();
    ModalWatcher watcher;
    QTest::keyClick(find<QComboBox>(w.get(), "portList"), Qt::Key_F1);
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].caption, QStringLiteral("Kestrel Utility help"));
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::Information);
    QVERIFY(watcher.boxes[0].text.startsWith(QStringLiteral("1. Choose the link:")));
    QVERIFY(w->isVisible());
  }

  void runWithoutFileAsksForOneThenReportsConversionFailure() {
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    auto w = showWindow();
    ModalWatcher watcher;
    find<QPushButton>(w.get(), "runButton")->click();
    QCOMPARE(watcher.boxes.size(), 2);
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("Please select a file first !"));
    QCOMPARE(watcher.boxes[0].caption, QCoreApplication::applicationName());
    QCOMPARE(watcher.boxes[0].icon, QMessageBox::NoIcon);
    QCOMPARE(watcher.boxes[1].text, QStringLiteral("File Convert fail!"));
    QCOMPARE(watcher.boxes[1].caption, QStringLiteral("Error"));
    QCOMPARE(watcher.boxes[1].icon, QMessageBox::NoIcon);
    QVERIFY(find<QPushButton>(w.get(), "runButton")->isEnabled());
  }

  void usbRunWithoutDeviceAsksForBootMode() {
    QTemporaryDir dir;
    QDir::setCurrent(dir.path());
    QFile elf(dir.filePath("fw.out"));
    QVERIFY(elf.open(QIODevice::WriteOnly));
    QByteArray header(52 + 32, '\0');
    header[0] = 0x7F;
    header[1] = 'E';
    header[2] = 'L';
    header[3] = 'F';
    header[28] = 52;
    elf.write(header);
    elf.close();
    auto w = showWindow();
    ModalWatcher watcher;
    find<QLineEdit>(w.get(), "fileField")->setText("fw");
    find<QPushButton>(w.get(), "runButton")->click();
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].text,
             QStringLiteral("Make sure the Device work under USB-Boot Mode"));
    QCOMPARE(watcher.boxes[0].caption, QStringLiteral("Prompt"));
    QVERIFY(QFile::exists(dir.filePath("fw.bin")));
    QVERIFY(find<QPushButton>(w.get(), "runButton")->isEnabled());
  }

  void windowMenuEndsWithAboutItemThatShowsTheAboutBox() {
    auto w = showWindow();
    QList<QAction*> actions = w->windowMenu()->actions();
    QVERIFY(actions.size() >= 2);
    QVERIFY(actions[actions.size() - 2]->isSeparator());
    QAction* about = actions.last();
    QCOMPARE(about->text(), QStringLiteral("&About Kestrel Firmware Utility"));
    QCOMPARE(about->data().toInt(), 0x0010);

    ModalWatcher watcher;
    QString title, version;
    watcher.onDialog = [&](QDialog* d) {
      if (!qobject_cast<AboutBox*>(d)) return;
      title = d->windowTitle();
      version = d->findChild<QLabel*>("aboutVersion")->text();
      d->findChild<QPushButton*>("aboutOk")->click();
    };
    about->trigger();
    QCOMPARE(title, QStringLiteral("About Merlin upgrade tool"));
    QCOMPARE(version, QStringLiteral("Kestrel Version 1.00"));
  }

  void serviceDialogRaisesCommandsWithItsFields() {
    auto w = showWindow();
    QAction* service = menuItem(w.get(), QStringLiteral("Service..."));
    QVERIFY(service);
    ModalWatcher watcher;
    bool sawDialog = false;
    QString cradleAfterClear = "not cleared";
    watcher.onDialog = [&](QDialog* d) {
      auto* code = d->findChild<QLineEdit*>("commandText");
      if (!code || sawDialog) return;
      sawDialog = true;
      // Outside the watcher's own timer, so that it can answer the box this opens.
      QTimer::singleShot(0, d, [&, d, code] {
        QTest::keyClicks(code, "ab1");
        d->findChild<QPushButton*>("service1034")->click();
        QTest::keyClicks(d->findChild<QLineEdit*>("cradleIdText"), "0123456789ab");
        d->findChild<QPushButton*>("service1031")->click();  // clears the field it is bound to
        cradleAfterClear = d->findChild<QLineEdit*>("cradleIdText")->text();
        d->reject();
      });
    };
    service->trigger();
    QVERIFY(sawDialog);
    QCOMPARE(cradleAfterClear, QString());
    QCOMPARE(w->commandText.get(), std::string("ab1"));
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("Command Length error!"));
  }

  // A box raised from the Service dialog is modal to it: it belongs to the dialog, and the dialog
  // takes no click while it is open, so a second command cannot start under the first one's box.
  void serviceBoxesBelongToTheServiceDialog() {
    auto w = showWindow();
    QAction* service = menuItem(w.get(), QStringLiteral("Service..."));
    QVERIFY(service);
    // A click as the window system delivers it, so that a window under a modal box ignores it.
    auto click = [](QDialog* d, int id) {
      auto* button = d->findChild<QPushButton*>(QStringLiteral("service%1").arg(id));
      QTest::mouseClick(d->windowHandle(), Qt::LeftButton, {},
                        button->mapTo(d, button->rect().center()));
    };
    ModalWatcher watcher;
    QPointer<QDialog> dialog;
    bool clickedAgain = false;
    watcher.onBox = [&](QMessageBox*) {
      if (!dialog || clickedAgain) return;
      clickedAgain = true;
      click(dialog, 1034);  // a second command while the box is open
    };
    watcher.onDialog = [&](QDialog* d) {
      if (!d->findChild<QLineEdit*>("commandText") || dialog) return;
      dialog = d;
      QTimer::singleShot(0, d, [&, d] {
        // No code typed: the command answers "Command Length error!" without a port.
        click(d, 1034);
        d->reject();
      });
    };
    service->trigger();
    QVERIFY(dialog.isNull());
    QVERIFY(clickedAgain);
    QCOMPARE(watcher.boxes.size(), 1);
    QCOMPARE(watcher.boxes[0].text, QStringLiteral("Command Length error!"));
    QCOMPARE(watcher.boxes[0].ownerTitle, QStringLiteral("Service"));
  }

  void windowMenuOpensFromTheKeyboard() {
    auto w = showWindow();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_F10, Qt::ShiftModifier);
    QTRY_VERIFY(w->windowMenu()->isVisible());
    w->windowMenu()->hide();
  }

  void choosingAFileTakesItsTitleAndFolder() {
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("fw");
    QString folder = QDir(dir.path()).filePath("fw");
    auto w = showWindow();
    chooseFile(w.get(), QDir(folder).filePath("image.test.out"));
    QCOMPARE(w->firmwareTitle.get(), std::string("image.test"));
    QCOMPARE(find<QLineEdit>(w.get(), "fileField")->text(), QStringLiteral("image.test"));
    QCOMPARE(QDir::current().canonicalPath(), QDir(folder).canonicalPath());

    chooseFile(w.get(), QDir(folder).filePath("noextension"));
    QCOMPARE(w->firmwareTitle.get(), std::string("noextension"));

    chooseFile(w.get(), std::nullopt);
    QCOMPARE(w->firmwareTitle.get(), std::string("noextension"));
    QCOMPARE(find<QLineEdit>(w.get(), "fileField")->text(), QStringLiteral("noextension"));
  }

  // The real dialog, driven as a user would: the name typed into its file-name field, then Open.
  void theFileDialogOffersOutFilesAndTakesATypedName() {
    QTemporaryDir dir;
    QDir(dir.path()).mkdir("fw");
    QString folder = QDir(dir.path()).filePath("fw");
    QFile(QDir(folder).filePath("image.test.out")).open(QIODevice::WriteOnly);
    auto w = showWindow();
    ModalWatcher watcher(5000);
    QStringList filters;
    QString suffix;
    watcher.onDialog = [&](QDialog* d) {
      auto* dialog = qobject_cast<QFileDialog*>(d);
      auto* name = d->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      auto* buttons = d->findChild<QDialogButtonBox*>(QStringLiteral("buttonBox"));
      if (!dialog || !name || !buttons || !filters.isEmpty()) return;
      filters = dialog->nameFilters();
      suffix = dialog->defaultSuffix();
      name->setText(QDir(folder).filePath("image.test.out"));
      buttons->button(QDialogButtonBox::Open)->click();
    };
    find<QPushButton>(w.get(), "searchButton")->click();
    QCOMPARE(filters, QStringList{QStringLiteral("HEX Files (*.out)")});
    QCOMPARE(suffix, QStringLiteral("out"));
    QCOMPARE(w->firmwareTitle.get(), std::string("image.test"));
    QCOMPARE(QDir::current().canonicalPath(), QDir(folder).canonicalPath());
  }

  void operationsFromAWorkerTakeEffectBeforeTheyReturn() {
    auto w = showWindow();
    std::atomic<int> seenProgress{-1};
    std::atomic<bool> finished{false};
    auto* bar = find<QProgressBar>(w.get(), "progressBar");
    find<QComboBox>(w.get(), "portList")->setCurrentIndex(3);  // snaps back on the next status
    w->workers.start("worker", [&] {
      w->setProgress(100);
      seenProgress = bar->value();  // read right after the call returned
      w->setStatus("Progressing...");
      w->disableRun();
      finished = true;
    });
    QTRY_VERIFY(finished.load());
    QCOMPARE(seenProgress.load(), 100);
    QCOMPARE(find<QLineEdit>(w.get(), "statusField")->text(), QStringLiteral("Progressing..."));
    QCOMPARE(find<QComboBox>(w.get(), "portList")->currentIndex(), 0);
    QVERIFY(!find<QPushButton>(w.get(), "runButton")->isEnabled());
    w->setProgress(0);
    QCOMPARE(bar->value(), 0);
  }

  // A box from a worker holds the window's input; closing the window (here by the program, as a
  // session ending would) dismisses it and ends both USB threads.
  void closingWithAWorkersBoxOpenEndsTheUpdate() {
    test::TempDir dir;
    test::writeFile("fw.out", sim::ElfBuilder().add(0, sim::patternBytes(20000, 1)).build());
    sim::HidBootSim hid({sim::HidBootSim::bootLoader()}, {.manualAck = true, .shortReportAt = 0});
    auto w = std::make_unique<UtilityWindow>(systemClock(), serial_, hid, fileSystem());
    w->show();
    find<QLineEdit>(w.get(), "fileField")->setText("fw");
    QElapsedTimer timer;
    bool sawBox = false;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
      if (sawBox || !findBox(QStringLiteral("Only read 2 bytes"))) return;
      sawBox = true;
      timer.start();
      Question::setNextAnswer(true);  // "Close anyway?" Yes
      w->close();
    });
    poll.start(5);
    find<QPushButton>(w.get(), "runButton")->click();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 5000);
    QVERIFY(sawBox);
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(w->workersEnded());
    QCOMPARE(hid.openHandles(), 0);
  }

  void closingRightAfterRunEndsTheSearch() {
    BootLoaderOnCom1 at;
    auto w = windowReadyToRun();
    // The close request waits in the queue while Run converts, wakes the device and starts the
    // search threads; then it asks, and is answered Yes.
    QTimer::singleShot(0, w.get(), [&] {
      Question::setNextAnswer(true);
      w->close();
    });
    find<QPushButton>(w.get(), "runButton")->click();
    QVERIFY(w->serialUpdateRunning.load() || !w->isVisible());
    QElapsedTimer timer;
    timer.start();
    QTRY_VERIFY_WITH_TIMEOUT(!w->isVisible(), 2000);
    QVERIFY(timer.elapsed() < 1000);
    QVERIFY(w->workersEnded());
    QVERIFY(!w->serialPortHandle.isOpen());
    QVERIFY(!at.device.received().empty());  // the wake bytes went out before the close
  }

  void closingEndsRunningWorkersFirst() {
    auto w = showWindow();
    std::atomic<bool> started{false};
    w->workers.start("worker", [&] {
      started = true;
      while (w->pause(1000)) w->setStatus("still here");
    });
    QTRY_VERIFY(started.load());
    QElapsedTimer timer;
    timer.start();
    w->close();
    QVERIFY(!w->isVisible());
    QVERIFY(w->workersEnded());
    QCOMPARE(w->workers.running(), 0);
    QVERIFY(timer.elapsed() < 1000);
  }
};

// As QTEST_MAIN, and with KESTREL_TEST_SHUFFLE=<seed> in the environment (and no test functions
// named on the command line) the functions run in an order drawn from the seed, printed first, so
// that a dependence between them shows up and can be replayed.
// Run directly too (not through tests/isolated), the program keeps to folders of its own: the file
// dialog saves its history into the settings under XDG_CONFIG_HOME, and that must not be the
// user's; the serial ports' locks go into a lock folder of its own.
int main(int argc, char** argv) {
  QTemporaryDir own;
  if (!own.isValid()) {
    std::fprintf(stderr, "window_tests: no temporary folder: %s\n", qPrintable(own.errorString()));
    return 1;
  }
  for (const char* name :
       {"HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "KESTREL_LOCK_DIR"}) {
    const QString folder = own.filePath(QString::fromLatin1(name));
    QDir().mkpath(folder);
    qputenv(name, QFile::encodeName(folder));
  }
  QApplication app(argc, argv);
  app.setAttribute(Qt::AA_Use96Dpi, true);
  WindowTest test;
  QTEST_SET_MAIN_SOURCE_PATH
  QStringList args = app.arguments();
  const QString seed = qEnvironmentVariable("KESTREL_TEST_SHUFFLE");
  bool named = std::any_of(args.begin() + 1, args.end(),
                           [](const QString& a) { return !a.startsWith(QLatin1Char('-')); });
  if (!seed.isEmpty() && !named) {
    const QMetaObject* meta = test.metaObject();
    QStringList functions;
    for (int i = meta->methodOffset(); i < meta->methodCount(); ++i) {
      QMetaMethod m = meta->method(i);
      QString name = QString::fromLatin1(m.name());
      if (m.methodType() != QMetaMethod::Slot || m.access() != QMetaMethod::Private ||
          m.parameterCount() != 0 || name.endsWith(QLatin1String("_data")) ||
          QStringList{"initTestCase", "cleanupTestCase", "init", "cleanup"}.contains(name)) {
        continue;
      }
      functions << name;
    }
    std::mt19937 random(seed.toUInt());
    std::shuffle(functions.begin(), functions.end(), random);
    std::printf("test functions shuffled with seed %s: %s\n", qPrintable(seed),
                qPrintable(functions.join(QLatin1Char(' '))));
    args << functions;
  }
  return QTest::qExec(&test, args);
}

#include "window_test.moc"
