#include <QByteArray>
#include <QString>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/process.h"
#include "qt/utility_app.h"
#include "window/window_content.h"

namespace {

std::string usage() {
  return "usage: kestrel-utility [Qt options]\n"
         "       kestrel-utility --help | --version\n"
         "\n" +
         std::string(kestrel::kWindowSummary) +
         "\n"
         "options:\n"
         "  -h, --help     this text\n"
         "  -V, --version  the version\n"
         "Other options are Qt's, such as -platform NAME.\n";
}

std::string environment(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

// The platform Qt is asked for: -platform NAME, else QT_QPA_PLATFORM, else its default.
std::string requestedPlatform(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; ++i) {
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) {
      return argv[i + 1];
    }
  }
  std::string platform = environment("QT_QPA_PLATFORM");
  return platform.empty() ? "xcb" : platform;
}

// Qt's messages while the application object is made. A window system that cannot be reached
// (no display) is a fatal message there, which would abort the program; it is told in one line
// instead, and the program exits with 1. The other messages wait and are passed on once the
// application object stands, so that such a failure is the only thing said.
class StartupMessages {
 public:
  StartupMessages(int argc, char** argv) {
    platform_ = requestedPlatform(argc, argv);
    previous_ = qInstallMessageHandler(&StartupMessages::handle);
  }
  // The application object stands: Qt's messages go their usual way again.
  void release() {
    qInstallMessageHandler(previous_);
    for (const Held& held : held_) {
      QMessageLogContext context(nullptr, 0, nullptr, held.category.constData());
      if (previous_) previous_(held.type, context, held.text);
    }
    held_.clear();
  }

 private:
  struct Held {
    QtMsgType type;
    QByteArray category;
    QString text;
  };

  static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
      held_.push_back({type, QByteArray(context.category ? context.category : "default"), text});
      return;
    }
    std::fprintf(stderr, "kestrel-utility: %s\n", failure(text).c_str());
    std::fflush(stderr);
    std::_Exit(1);
  }

  static std::string failure(const QString& text) {
    const std::string display = environment("DISPLAY");
    const std::string wayland = environment("WAYLAND_DISPLAY");
    const char* remedy =
        "start it in a desktop session, or update from a terminal with kestrel-flash";
    const bool needsDisplay = platform_.rfind("xcb", 0) == 0 || platform_.rfind("wayland", 0) == 0;
    if (needsDisplay && display.empty() && wayland.empty()) {
      return std::string(
                 "no display to show the window on (neither DISPLAY nor WAYLAND_DISPLAY "
                 "is set); ") +
             remedy;
    }
    if (needsDisplay) {
      std::string which = !display.empty() ? "DISPLAY=" + display : "WAYLAND_DISPLAY=" + wayland;
      return "the display " + which + " cannot be opened; " + remedy;
    }
    // Qt names what it could not find in the message before its fatal one.
    QString reason = text;
    for (const Held& held : held_) {
      if (held.category.startsWith("qt.qpa")) reason = held.text;
    }
    return "the window cannot be shown: " +
           reason.section(QLatin1Char('\n'), 0, 0).trimmed().toStdString() +
           "; check -platform and QT_QPA_PLATFORM, or update from a terminal with kestrel-flash";
  }

  static inline std::string platform_;
  static inline QtMessageHandler previous_ = nullptr;
  static inline std::vector<Held> held_;
};

}  // namespace

int main(int argc, char** argv) {
  kestrel::ensureStandardDescriptors();
  kestrel::ignoreFileSizeLimit();
  // Answered before any window (or display) is needed.
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(usage().c_str(), stdout);
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0 || std::strcmp(argv[i], "-V") == 0) {
      std::puts("kestrel-utility " KESTREL_VERSION);
      return 0;
    }
  }
  StartupMessages startup(argc, argv);
  kestrel::UtilityApp app(argc, argv);
  startup.release();
  return app.run();
}
