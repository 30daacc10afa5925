// Build step: writes Corvanta's icon at the sizes of the hicolor theme, drawn by the same code as
// the window's icon: make_icons OUTPUT_DIR writes OUTPUT_DIR/NxN/apps/corvanta.png.
#include <QDir>
#include <QGuiApplication>
#include <QPixmap>
#include <cstdio>

#include "ui/qt/artwork.h"

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_icons OUTPUT_DIR\n");
    return 2;
  }
  for (const int size : {16, 32, 48, 64}) {
    const QString dir = QString("%1/%2x%2/apps").arg(argv[1]).arg(size);
    if (!QDir().mkpath(dir) || !corvanta::IconPixmap(size).save(dir + "/corvanta.png", "PNG")) {
      std::fprintf(stderr, "make_icons: cannot write %s\n", qPrintable(dir));
      return 1;
    }
  }
  return 0;
}
