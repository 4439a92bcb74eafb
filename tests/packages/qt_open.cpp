// A Qt program as any Qt application opens a picture: QImageReader, which
// picks the image-format plug-in from those Qt finds in its own folder.
// Writes the pixels as a binary PPM, for comparing with kxconv's.
//
//   qt_open PICTURE OUT.ppm
#include <QCoreApplication>
#include <QImage>
#include <QImageReader>
#include <cstdio>

int main(int argc, char** argv) {
  QCoreApplication application(argc, argv);
  if (argc != 3) {
    std::fprintf(stderr, "usage: qt_open PICTURE OUT.ppm\n");
    return 2;
  }
  QImageReader reader(QString::fromLocal8Bit(argv[1]));
  const QByteArray format = reader.format();
  const QImage image = reader.read().convertToFormat(QImage::Format_RGB888);
  if (image.isNull()) {
    std::fprintf(stderr, "qt_open: %s\n", reader.errorString().toLocal8Bit().constData());
    return 1;
  }
  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr) return 1;
  std::fprintf(out, "P6\n%d %d\n255\n", image.width(), image.height());
  for (int y = 0; y < image.height(); ++y) {
    std::fwrite(image.constScanLine(y), 1, static_cast<std::size_t>(image.width()) * 3, out);
  }
  const bool failed = std::fclose(out) != 0;
  std::printf("Qt: %s %d x %d, format %s\n", argv[1], image.width(), image.height(), format.constData());
  return failed ? 1 : 0;
}
