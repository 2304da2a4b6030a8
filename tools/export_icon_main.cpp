// kestrel-export-icon DIR: writes the window icon as DIR/16x16/kestrel-utility.png,
// DIR/32x32/kestrel-utility.png (the icon theme the Debian package installs) and
// DIR/kestrel-utility.ico (the Windows programs' icon resource, 32 and 16 pixels).

#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "qt/window_icon.h"
#include "tool_usage.h"

namespace {

void put16(std::vector<uint8_t>& out, uint32_t v) {
  out.push_back(uint8_t(v));
  out.push_back(uint8_t(v >> 8));
}
void put32(std::vector<uint8_t>& out, uint32_t v) {
  put16(out, v & 0xFFFF);
  put16(out, v >> 16);
}

// One icon image as Windows stores it: a 32-bit bitmap, rows from the bottom up, twice as high
// as it is (the colour rows, then the transparency mask, one bit a pixel).
std::vector<uint8_t> iconImage(const QImage& source) {
  QImage image = source.convertToFormat(QImage::Format_ARGB32);
  const int size = image.width();
  const int maskRow = ((size + 31) / 32) * 4;
  std::vector<uint8_t> out;
  put32(out, 40);
  put32(out, uint32_t(size));
  put32(out, uint32_t(size * 2));
  put16(out, 1);
  put16(out, 32);
  put32(out, 0);
  put32(out, uint32_t(size * size * 4 + maskRow * size));
  for (int i = 0; i < 4; ++i) put32(out, 0);
  for (int y = size - 1; y >= 0; --y) {
    for (int x = 0; x < size; ++x) {
      QRgb p = image.pixel(x, y);
      out.push_back(uint8_t(qBlue(p)));
      out.push_back(uint8_t(qGreen(p)));
      out.push_back(uint8_t(qRed(p)));
      out.push_back(uint8_t(qAlpha(p)));
    }
  }
  for (int y = size - 1; y >= 0; --y) {
    std::vector<uint8_t> row(size_t(maskRow), 0);
    for (int x = 0; x < size; ++x) {
      if (qAlpha(image.pixel(x, y)) == 0) row[size_t(x / 8)] |= uint8_t(0x80 >> (x % 8));
    }
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

bool writeIco(const QString& path, const std::vector<int>& sizes) {
  std::vector<std::vector<uint8_t>> images;
  for (int size : sizes) images.push_back(iconImage(kestrel::windowIconImage(size)));
  std::vector<uint8_t> out;
  put16(out, 0);
  put16(out, 1);
  put16(out, uint32_t(images.size()));
  uint32_t offset = uint32_t(6 + 16 * images.size());
  for (size_t i = 0; i < images.size(); ++i) {
    out.push_back(uint8_t(sizes[i]));
    out.push_back(uint8_t(sizes[i]));
    out.push_back(0);
    out.push_back(0);
    put16(out, 1);
    put16(out, 32);
    put32(out, uint32_t(images[i].size()));
    put32(out, offset);
    offset += uint32_t(images[i].size());
  }
  for (const auto& image : images) out.insert(out.end(), image.begin(), image.end());
  QFile file(path);
  return file.open(QIODevice::WriteOnly) && file.write(reinterpret_cast<const char*>(out.data()),
                                                       qint64(out.size())) == qint64(out.size());
}

}  // namespace

int main(int argc, char** argv) {
  constexpr const char* kProgram = "kestrel-export-icon";
  if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
    std::puts(
        "usage: kestrel-export-icon DIR\n"
        "Writes the program's icon into DIR (made when missing): 16x16/kestrel-utility.png and\n"
        "32x32/kestrel-utility.png for the icon theme, and kestrel-utility.ico for Windows.");
    return 0;
  }
  if (argc != 2) return kestrel::tools::usageError(kProgram, "give one folder, DIR");
  if (kestrel::tools::looksLikeOption(argv[1])) {
    return kestrel::tools::usageError(
        kProgram, std::string("'") + argv[1] + "' reads as an option, not a folder's name");
  }
  QGuiApplication app(argc, argv);
  const QString dir = QString::fromLocal8Bit(argv[1]);
  for (int size : {16, 32}) {
    QString folder = QStringLiteral("%1/%2x%2").arg(dir).arg(size);
    QDir().mkpath(folder);
    if (!kestrel::windowIconImage(size).save(folder + QStringLiteral("/kestrel-utility.png"))) {
      std::fprintf(stderr, "cannot write %s\n", qPrintable(folder));
      return 1;
    }
  }
  if (!writeIco(dir + QStringLiteral("/kestrel-utility.ico"), {32, 16})) {
    std::fprintf(stderr, "cannot write %s/kestrel-utility.ico\n", qPrintable(dir));
    return 1;
  }
  return 0;
}
