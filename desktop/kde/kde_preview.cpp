// KDE's thumbnails of KX files, made by KIO::PreviewJob as Dolphin makes
// them (kio-extras' image thumbnailer, which reads through Qt's image
// plug-ins), compared with the library's pixels: exact where the picture
// fits the thumbnail, and where it does not, against the same pixels scaled
// as the thumbnailer scales (QImage::scaled, smooth, keeping the aspect).
//
// usage: kde_preview SIZE FILE...   (run offscreen: QT_QPA_PLATFORM=offscreen)
// Prints one line per file; exits 0 when every file got its thumbnail and
// every one matched.
#include <KFileItem>
#include <KIO/PreviewJob>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QUrl>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "kx.h"

namespace {

QImage LibraryPixels(const QString& path) {
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) return {};
  const QByteArray bytes = file.readAll();
  kx_info info = KX_INFO_INIT;
  if (kx_probe(bytes.constData(), static_cast<size_t>(bytes.size()), &info) != KX_OK) return {};
  QImage image(info.width, info.height, QImage::Format_RGB888);
  const size_t stride_bytes = static_cast<size_t>(image.bytesPerLine());
  if (kx_decode(bytes.constData(), static_cast<size_t>(bytes.size()), KX_LAYOUT_RGB, image.bits(), stride_bytes,
                static_cast<size_t>(image.sizeInBytes()), nullptr) != KX_OK) {
    return {};
  }
  return image;
}

// Largest difference of one channel between two pictures of the same size;
// -1 when the sizes differ.
int LargestDifference(const QImage& a, const QImage& b) {
  if (a.size() != b.size()) return -1;
  const QImage x = a.convertToFormat(QImage::Format_RGB888);
  const QImage y = b.convertToFormat(QImage::Format_RGB888);
  int largest = 0;
  for (int row = 0; row < x.height(); ++row) {
    const uchar* p = x.constScanLine(row);
    const uchar* q = y.constScanLine(row);
    for (int k = 0; k < 3 * x.width(); ++k) largest = std::max(largest, std::abs(int(p[k]) - int(q[k])));
  }
  return largest;
}

}  // namespace

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 3) {
    std::fprintf(stderr, "usage: kde_preview SIZE FILE...\n");
    return 2;
  }
  const int size = QString(argv[1]).toInt();
  KFileItemList items;
  for (int k = 2; k < argc; ++k) items.append(KFileItem(QUrl::fromLocalFile(QString::fromLocal8Bit(argv[k]))));
  const QStringList plugins = KIO::PreviewJob::availablePlugins();
  KIO::PreviewJob* job = KIO::filePreview(items, QSize(size, size), &plugins);
  // Pictures of every size, not only those above KIO's default minimum, and
  // no thumbnail cache to answer from.
  job->setIgnoreMaximumSize(true);
  job->setScaleType(KIO::PreviewJob::Scaled);

  int matched = 0;
  int failed = 0;
  QObject::connect(job, &KIO::PreviewJob::gotPreview, [&](const KFileItem& item, const QPixmap& preview) {
    const QString path = item.localPath();
    const QImage pixels = LibraryPixels(path);
    const QImage thumbnail = preview.toImage();
    const bool scaled = pixels.width() > size || pixels.height() > size;
    const QImage expected = scaled ? pixels.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation) : pixels;
    const int difference = LargestDifference(thumbnail, expected);
    const bool same = difference == 0;
    std::printf("%s: %dx%d thumbnail of %dx%d, %s, largest difference %d: %s\n", qPrintable(path), thumbnail.width(),
                thumbnail.height(), pixels.width(), pixels.height(), scaled ? "scaled" : "not scaled", difference,
                same ? "ok" : "FAIL");
    same ? ++matched : ++failed;
  });
  QObject::connect(job, &KIO::PreviewJob::failed, [&](const KFileItem& item) {
    std::printf("%s: no thumbnail (mime type %s): FAIL\n", qPrintable(item.localPath()), qPrintable(item.mimetype()));
    ++failed;
  });
  QObject::connect(job, &KJob::result, &app, &QCoreApplication::quit);
  app.exec();
  std::printf("kde: %d of %d thumbnails as the library's pixels\n", matched, argc - 2);
  return failed == 0 && matched == argc - 2 ? 0 : 1;
}
