// The Qt image-format plug-in through QImageReader, which finds the built
// plug-in through QT_PLUGIN_PATH as any Qt application would: files by name
// and by content, devices that hand out a few bytes at a time, the size
// without decoding, and refusals. Every picture is compared pixel for pixel
// with what the plug-in hands a viewer.
#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <QImageReader>
#include <QtGlobal>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>

#include "codec/format/kx_format.h"
#include "tests/support/desktop_cases.h"
#include "tests/support/thread_count.h"

using namespace kx;

namespace {

const bool kEnvironmentSet = [] {
  setenv("QT_PLUGIN_PATH", KX_QT_PLUGIN_DIR, 1);
  return true;
}();

::testing::AssertionResult SameAsPlugin(const QImage& image, const std::string& path) {
  if (image.isNull()) return ::testing::AssertionFailure() << "no image";
  if (image.format() != QImage::Format_RGB888) return ::testing::AssertionFailure() << "format " << image.format();
  const std::string difference = RgbDifference(
      PluginRgb(path), TightRows(image.constBits(), image.width(), image.height(), std::size_t(image.bytesPerLine())));
  if (!difference.empty()) return ::testing::AssertionFailure() << difference;
  return ::testing::AssertionSuccess();
}

// A device that cannot seek and hands out at most seven bytes a read, as a
// pipe or a socket may.
class Trickle : public QIODevice {
 public:
  explicit Trickle(Bytes bytes) : bytes_(std::move(bytes)) { open(QIODevice::ReadOnly); }
  bool isSequential() const override { return true; }
  qint64 bytesAvailable() const override { return qint64(bytes_.size() - at_) + QIODevice::bytesAvailable(); }

 protected:
  qint64 readData(char* data, qint64 max_bytes) override {
    const std::size_t n = std::min({std::size_t(max_bytes), std::size_t{7}, bytes_.size() - at_});
    if (n == 0) return -1;
    std::memcpy(data, bytes_.data() + at_, n);
    at_ += n;
    return qint64(n);
  }
  qint64 writeData(const char*, qint64) override { return -1; }

 private:
  Bytes bytes_;
  std::size_t at_ = 0;
};

bool Recognised(const Bytes& bytes) { return bytes.size() >= kHeaderBytes && CheckHeader(bytes.data()) == 1; }

// The warnings the plug-in logs, kept for the test that reads them.
std::string& LastWarning() {
  static std::string text;
  return text;
}

void KeepWarning(QtMsgType type, const QMessageLogContext&, const QString& message) {
  if (type == QtWarningMsg) LastWarning() = message.toStdString();
}

TEST(QtPlugin, IsFoundForItsFormatAndMimeType) {
  EXPECT_TRUE(QImageReader::supportedImageFormats().contains("kx"));
  EXPECT_TRUE(QImageReader::supportedMimeTypes().contains("image/x-kx"));
}

TEST(QtPlugin, FilesByNameMatchThePluginAndTellTheirSizeFirst) {
  // Qt opens a file by its suffix only when the handler recognises the
  // content, so files the recognition test refuses load only when asked
  // for as "kx" (as the plug-in decodes them only when asked).
  for (const PictureFile& file : GoodPictures()) {
    SCOPED_TRACE(file.name);
    const bool recognised = Recognised(ReadWholeFile(file.path));
    QImageReader reader(QString::fromStdString(file.path), recognised ? QByteArray() : QByteArray("kx"));
    const RgbPicture want = PluginRgb(file.path);
    EXPECT_EQ(reader.format(), "kx");
    EXPECT_EQ(reader.size(), QSize(want.width, want.height));
    const QImage image = reader.read();
    EXPECT_TRUE(SameAsPlugin(image, file.path)) << reader.errorString().toStdString();
    if (!recognised) {
      EXPECT_FALSE(QImageReader(QString::fromStdString(file.path)).canRead());
    }
  }
}

TEST(QtPlugin, LargePicturesMatchThePlugin) {
  // Decoded while a second thread faults in the image's pages.
  const PictureFile file = LargePicture();
  QImageReader reader(QString::fromStdString(file.path));
  const QImage image = reader.read();
  EXPECT_TRUE(SameAsPlugin(image, file.path)) << reader.errorString().toStdString();
}

// A whole file takes the library's whole-file decode, which chooses its
// threads itself: a read that decoded in pieces, or kept to one thread,
// would start fewer threads than kx_decode does.
TEST(QtPlugin, FilesTakeTheLibrarysWholeFileDecode) {
  const PictureFile file = LargePicture();
  const int library_threads = LibraryDecodeThreads(KX_SHARED_LIBRARY, file.path);
  ASSERT_GE(library_threads, 1) << "kx_decode starts no thread for this picture here: the paths look alike";
  // Qt finds and loads its plug-ins on the first read: not counted.
  QImageReader(QString::fromStdString(GoodPictures().front().path)).read();
  QImage image;
  const int read_threads =
      ThreadsStartedDuring([&] { image = QImageReader(QString::fromStdString(file.path)).read(); });
  EXPECT_EQ(read_threads, library_threads);
  EXPECT_TRUE(SameAsPlugin(image, file.path));
}

TEST(QtPlugin, DevicesByContentMatchThePlugin) {
  // Content alone recognises what the plug-in's recognition test accepts;
  // the rest loads when asked for as "kx", as the plug-in decodes it when
  // asked. A device that cannot seek and trickles its bytes loads the same.
  for (const PictureFile& file : GoodPictures()) {
    SCOPED_TRACE(file.name);
    const Bytes bytes = ReadWholeFile(file.path);
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader by_content(&buffer);
    EXPECT_EQ(by_content.canRead(), Recognised(bytes));
    if (Recognised(bytes)) {
      EXPECT_EQ(by_content.format(), "kx");
      EXPECT_TRUE(SameAsPlugin(by_content.read(), file.path));
    }
    QBuffer again(&data);
    again.open(QIODevice::ReadOnly);
    QImageReader as_kx(&again, "kx");
    EXPECT_TRUE(SameAsPlugin(as_kx.read(), file.path));
    Trickle trickle(bytes);
    QImageReader trickled(&trickle, "kx");
    EXPECT_TRUE(SameAsPlugin(trickled.read(), file.path));
  }
}

TEST(QtPlugin, RefusedFilesFailWithTheirReason) {
  const QtMessageHandler previous = qInstallMessageHandler(KeepWarning);
  for (const RefusedFile& refused : RefusedPictures()) {
    SCOPED_TRACE(refused.file.name);
    const Bytes bytes = ReadWholeFile(refused.file.path);
    QByteArray data(reinterpret_cast<const char*>(bytes.data()), int(bytes.size()));
    QBuffer buffer(&data);
    buffer.open(QIODevice::ReadOnly);
    QImageReader by_content(&buffer);
    EXPECT_FALSE(by_content.canRead() && by_content.format() == "kx");

    LastWarning().clear();
    QImageReader reader(QString::fromStdString(refused.file.path), "kx");
    EXPECT_FALSE(reader.size().isValid());
    EXPECT_TRUE(reader.read().isNull());
    EXPECT_FALSE(reader.errorString().isEmpty());
    EXPECT_EQ(LastWarning(), refused.reason);
  }
  qInstallMessageHandler(previous);
}

}  // namespace
