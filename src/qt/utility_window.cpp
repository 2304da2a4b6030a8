#include "qt/utility_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QShortcut>
#include <QThread>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "qt/about_box.h"
#include "qt/dialog_units.h"
#include "qt/file_dialog.h"
#include "qt/qt_text.h"
#include "qt/question.h"
#include "qt/service_dialog.h"
#include "qt/window_icon.h"
#include "update/update_commands.h"

namespace kestrel {
namespace {

// The event that tells the window's thread that workers' calls wait for it.
const QEvent::Type kCallsWaiting = static_cast<QEvent::Type>(QEvent::registerEventType());
// A worker waits here for its call to be carried out on the window's thread.
struct Rendezvous {
  std::mutex mutex;  // Guards done.
  std::condition_variable cv;
  bool done = false;

  void finish() {
    std::lock_guard lock(mutex);
    done = true;
    cv.notify_all();
  }
  // Waits until finish(), or until `closing` says that nobody will finish it.
  template <class Closing>
  void wait(Closing closing) {
    std::unique_lock lock(mutex);
    while (!done && !closing()) cv.wait_for(lock, std::chrono::milliseconds(20));
  }
};

}  // namespace

UtilityWindow::UtilityWindow(Clock& clock, SerialBackend& serial, HidApi& hid, FileSystem& files,
                             QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      WindowBehaviour(clock, serial, hid, files) {
  initialise();
  portList_->setFocus();
}

UtilityWindow::~UtilityWindow() {
  endWorkers();
  exitIfWorkersStuck(0);
}

void UtilityWindow::buildWindow(const std::vector<std::string>& ports,
                                std::span<const MenuItem> menu) {
  setWindowTitle(toQString(kWindowTitle));
  setFont(dialogFont());
  setWindowIcon(programIcon());
  buildControls(ports);

  windowMenu_ = new QMenu(this);
  windowMenu_->setObjectName(QStringLiteral("windowMenu"));
  windowMenu_->addAction(QStringLiteral("&Close\tAlt+F4"), this, [this] { close(); });
  for (const MenuItem& item : menu) {
    if (item.text.empty()) {
      windowMenu_->addSeparator();
      continue;
    }
    QAction* action = windowMenu_->addAction(toQString(item.text));
    action->setData(item.command);
    connect(action, &QAction::triggered, this, [this, command = item.command] {
      if (command == kAboutMenuCommand) showAbout();
      if (command == kServiceMenuCommand) showServiceDialog();
    });
  }
  for (auto key : {QKeySequence(Qt::SHIFT | Qt::Key_F10), QKeySequence(Qt::Key_Menu)}) {
    auto* shortcut = new QShortcut(key, this);
    connect(shortcut, &QShortcut::activated, this, [this] {
      QWidget* at = focusWidget() ? focusWidget() : this;
      windowMenu_->popup(at->mapToGlobal(QPoint(0, at->height())));
    });
  }
  auto* help = new QShortcut(QKeySequence(Qt::Key_F1), this);
  connect(help, &QShortcut::activated, this, [this] { showHelp(); });
}

void UtilityWindow::disableStop() {
  stopButton_->setEnabled(false);
}

void UtilityWindow::buildControls(const std::vector<std::string>& ports) {
  DialogUnits du(font());
  setFixedSize(du.x(274), du.y(93));

  // Labels keep at least their text's width, so that no font clips them.
  auto place = [&](QWidget* w, int x, int y, int width, int height) {
    QRect r = du.rect(x, y, width, height);
    if (qobject_cast<QLabel*>(w)) {
      r.setWidth(std::max(r.width(), w->sizeHint().width()));
      r.setHeight(std::max(r.height(), w->sizeHint().height()));
    }
    w->setGeometry(r);
  };
  auto groupBox = [&](const char* title, int x, int y, int width, int height) {
    auto* box = new QGroupBox(QString::fromLatin1(title), this);
    place(box, x, y, width, height);
    box->setAttribute(Qt::WA_TransparentForMouseEvents);
    box->setFocusPolicy(Qt::NoFocus);
    return box;
  };
  auto button = [&](const char* text, const char* name, int id) {
    auto* b = new QPushButton(QString::fromLatin1(text), this);
    b->setObjectName(QString::fromLatin1(name));
    b->setAutoDefault(true);
    b->setDefault(false);
    connect(b, &QPushButton::clicked, this, [this, id] { onCommand(id); });
    return b;
  };

  // Created in layout order, which is also the tab order.
  auto* portLabel = new QLabel(QStringLiteral("Port:"), this);
  place(portLabel, 20, 17, 16, 12);
  portList_ = new QComboBox(this);
  portList_->setObjectName(QStringLiteral("portList"));
  for (const std::string& port : ports) portList_->addItem(toQString(port));
  portList_->setEditable(false);
  portList_->setMaxVisibleItems(10);
  {
    QRect r = du.rect(41, 17, 86, 12);
    r.setHeight(std::max(r.height(), portList_->sizeHint().height()));
    portList_->setGeometry(r);
  }
  QGroupBox* step1 = groupBox("STEP 1", 6, 5, 126, 29);
  fileField_ = new QLineEdit(this);
  fileField_->setObjectName(QStringLiteral("fileField"));
  place(fileField_, 16, 59, 73, 15);
  auto* fileLabel = new QLabel(QStringLiteral("Select a file for new firmware"), this);
  place(fileLabel, 18, 47, 106, 8);
  searchButton_ = button("Search...", "searchButton", kCmdSearch);
  place(searchButton_, 94, 59, 34, 15);
  progressBar_ = new QProgressBar(this);
  progressBar_->setObjectName(QStringLiteral("progressBar"));
  progressBar_->setRange(0, 100);
  progressBar_->setValue(0);
  progressBar_->setTextVisible(false);
  place(progressBar_, 142, 52, 128, 14);
  updateButton_ = button("UPDATE", "updateButton", kCmdUpdate);
  place(updateButton_, 112, 42, 15, 15);
  updateButton_->setEnabled(false);
  updateButton_->hide();
  QGroupBox* step2 = groupBox("STEP 2", 8, 37, 125, 44);
  statusField_ = new QLineEdit(this);
  statusField_->setObjectName(QStringLiteral("statusField"));
  place(statusField_, 143, 25, 94, 18);
  runButton_ = button("Run ", "runButton", kCmdRun);
  place(runButton_, 242, 26, 28, 18);
  stopButton_ = button("Stop", "stopButton", kCmdStop);
  place(stopButton_, 240, 14, 26, 8);
  stopButton_->setEnabled(false);
  stopButton_->hide();
  QGroupBox* step3 = groupBox("STEP 3", 137, 6, 137, 75);
  for (QGroupBox* box : {step1, step2, step3}) box->lower();
}

void UtilityWindow::post(std::function<void()> call) {
  {
    std::lock_guard lock(callsMutex_);
    calls_.push_back(std::move(call));
  }
  QCoreApplication::postEvent(this, new QEvent(kCallsWaiting));
}

void UtilityWindow::runWaitingCalls() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard lock(callsMutex_);
      if (calls_.empty()) return;
      call = std::move(calls_.front());
      calls_.pop_front();
    }
    call();
  }
}

bool UtilityWindow::event(QEvent* event) {
  if (event->type() == kCallsWaiting) {
    runWaitingCalls();
    return true;
  }
  return QDialog::event(event);
}

template <class F>
void UtilityWindow::onWindowThread(F&& f) {
  if (QThread::currentThread() == thread()) {
    f();
    return;
  }
  if (closing()) return;
  auto r = std::make_shared<Rendezvous>();
  post([this, r, f = std::forward<F>(f)]() mutable {
    if (!closing()) f();
    r->finish();
  });
  // The window may start to close while the call waits in its queue; then nobody will carry it
  // out and the worker must not wait for it.
  r->wait([this] { return closing(); });
}

void UtilityWindow::readWindow() {
  onWindowThread([this] {
    PortIndex = portList_->currentIndex();
    firmwareTitle.set(fileField_->text().toStdString());
    statusText.set(statusField_->text().toStdString());
  });
}

void UtilityWindow::refreshWindow() {
  onWindowThread([this] {
    portList_->setCurrentIndex(PortIndex);
    fileField_->setText(toQString(firmwareTitle.get()));
    statusField_->setText(toQString(statusText.get()));
  });
}

void UtilityWindow::setStatus(const std::string& text) {
  onWindowThread([this, text] {
    statusText.set(text);
    refreshWindow();
  });
}

void UtilityWindow::setProgress(int percent) {
  onWindowThread([this, percent] { progressBar_->setValue(std::clamp(percent, 0, 100)); });
}

void UtilityWindow::disableRun() {
  onWindowThread([this] {
    runButton_->setEnabled(false);
    runButton_->repaint();
  });
}

void UtilityWindow::enableRun() {
  onWindowThread([this] {
    runButton_->setEnabled(true);
    runButton_->repaint();
  });
}

QWidget* UtilityWindow::boxOwner() {
  if (serviceDialog_ && serviceDialog_->isVisible()) return serviceDialog_;
  return this;
}

void UtilityWindow::showBox(const QString& text, const QString& caption, int icon, bool owned) {
  QMessageBox box(QMessageBox::Icon(icon), caption, text, QMessageBox::Ok,
                  owned ? boxOwner() : nullptr);
  box.setTextFormat(Qt::PlainText);
  openBoxes_.append(&box);
  box.exec();
  openBoxes_.removeAll(&box);
}

void UtilityWindow::showMessage(const std::string& text, std::optional<std::string> caption,
                                MessageIcon icon) {
  QMessageBox::Icon qicon = QMessageBox::NoIcon;
  if (icon == MessageIcon::Warning) qicon = QMessageBox::Warning;
  if (icon == MessageIcon::Error) qicon = QMessageBox::Critical;
  if (icon == MessageIcon::Information) qicon = QMessageBox::Information;
  QString title = caption ? toQString(*caption) : QCoreApplication::applicationName();
  onWindowThread([=, this] { showBox(toQString(text), title, qicon, true); });
}

void UtilityWindow::showAppMessage(const std::string& text) {
  const QString caption = QCoreApplication::applicationName();
  // From the window's thread the box is the window's own, modal to it.
  if (QThread::currentThread() == thread()) {
    showBox(toQString(text), caption, QMessageBox::Warning, true);
    return;
  }
  // From a worker it has no owner and blocks nothing but the worker: the window stays usable,
  // and the worker waits until the user has pressed OK (or the window closes).
  if (closing()) return;
  auto r = std::make_shared<Rendezvous>();
  post([this, r, caption, text = toQString(text)] {
    if (closing()) return r->finish();
    auto* box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok);
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::NonModal);
    box->setAttribute(Qt::WA_DeleteOnClose);
    openBoxes_.append(box);
    connect(box, &QDialog::finished, this, [this, r, box] {
      openBoxes_.removeAll(box);
      r->finish();
    });
    box->show();
  });
  r->wait([this] { return closing(); });
}

std::optional<std::string> UtilityWindow::askForFile(const FileFilter& filter) {
  // Qt's filter names its patterns in its display text.
  std::optional<QString> path = FileDialog::getOpenFileName(
      this, QDir::currentPath(), toQString(filter.text), toQString(filter.defaultExtension));
  if (!path) return std::nullopt;
  return QDir::toNativeSeparators(*path).toStdString();
}

void UtilityWindow::showAbout() {
  AboutBox about(this);
  about.exec();
}

void UtilityWindow::showServiceDialog() {
  ServiceDialog dialog(this);
  serviceDialog_ = &dialog;
  dialog.exec();
}

void UtilityWindow::done(int result) {
  endWorkers();
  QDialog::done(result);
}

void UtilityWindow::dismissWorkerBoxes() {
  // A box opened for a worker would otherwise hold that worker, and the close, forever.
  for (const QPointer<QMessageBox>& box : openBoxes_) {
    if (box) box->reject();
  }
}

bool UtilityWindow::askToClose(const std::string& question) {
  return Question::ask(this, QCoreApplication::applicationName(), toQString(question));
}

void UtilityWindow::dismissDialogs() {
  // Each holds a loop of its own that would otherwise keep the window's end waiting.
  for (QWidget* top : QApplication::topLevelWidgets()) {
    auto* dialog = qobject_cast<QDialog*>(top);
    if (dialog && dialog != this && dialog->isVisible()) dialog->reject();
  }
}

void UtilityWindow::endWindow() {
  done(QDialog::Rejected);
}

void UtilityWindow::closeEvent(QCloseEvent* event) {
  if (!leaveBy(Road::CloseRequest)) {
    event->ignore();
    return;
  }
  QDialog::closeEvent(event);  // goes through reject(), which does not ask again
}

void UtilityWindow::reject() {
  if (!leaveBy(Road::Escape)) return;
  QDialog::reject();
}

void UtilityWindow::keyPressEvent(QKeyEvent* event) {
  bool plain = event->modifiers() == Qt::NoModifier ||
               (event->modifiers() == Qt::KeypadModifier && event->key() == Qt::Key_Enter);
  if (plain && (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)) {
    // A focused push button takes Enter itself; here the focus is in a list or a field.
    if (leaveBy(Road::Enter)) accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void UtilityWindow::contextMenuEvent(QContextMenuEvent* event) {
  windowMenu_->popup(event->globalPos());
}

}  // namespace kestrel
