// kestrel-export-icon DIR: writes the window icon as DIR/16x16/kestrel-utility.png and
// DIR/32x32/kestrel-utility.png, for the icon theme the package installs.

#include <QDir>
#include <QGuiApplication>
#include <cstdio>

#include "app/window_icon.h"

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  for (int size : {16, 32}) {
    QString folder = QStringLiteral("%1/%2x%2").arg(QString::fromLocal8Bit(argv[1])).arg(size);
    QDir().mkpath(folder);
    if (!kestrel::windowIconImage(size).save(folder + QStringLiteral("/kestrel-utility.png"))) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(folder));
      return 1;
    }
  }
  return 0;
}
