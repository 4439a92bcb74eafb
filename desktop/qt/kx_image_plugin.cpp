// Qt image-format plug-in for KX pictures (imageformats/libkximage.so):
// QImageReader and every Qt application then open KX files, recognised by
// content (the plug-in's recognition test) or by the .kx suffix. Reading
// only.
#include <QIODevice>
#include <QImage>
#include <QImageIOHandler>
#include <QImageIOPlugin>
#include <QLoggingCategory>
#include <QSize>
#include <QVariant>
#include <cstdlib>
#include <memory>

#include "desktop/common/kx_picture.h"

namespace {

Q_LOGGING_CATEGORY(lcKx, "kxfilter.imageformats.kx")

constexpr char kFormatName[] = "kx";
constexpr std::size_t kMessageBytes = 160;

// The header without consuming it: 16 bytes, or fewer when the device
// holds fewer.
QByteArray PeekHeader(QIODevice* device) { return device->peek(static_cast<qint64>(kLoaderHeaderBytes)); }

// The plug-in's recognition test (IsSupported), on the device's next bytes.
bool IsKx(QIODevice* device) {
  const QByteArray head = PeekHeader(device);
  return PassesRecognition(reinterpret_cast<const std::uint8_t*>(head.constData()),
                           static_cast<std::size_t>(head.size()));
}

// Qt's handlers have no error text of their own: QImageReader reports an
// invalid picture, and the reason goes to the log, under a category of its
// own that applications can silence.
bool Refuse(const char* text) {
  qCWarning(lcKx, "%s", text);
  return false;
}

bool Refuse(const HeaderFacts& facts) {
  char text[kMessageBytes];
  DescribeRefusal(facts, text, sizeof text);
  return Refuse(text);
}

// Up to `bytes` bytes: devices that cannot seek (pipes, sockets) may hand
// out fewer per read than they hold. Fewer only at the device's end.
std::size_t ReadUpTo(QIODevice* device, std::uint8_t* into, std::size_t bytes) {
  std::size_t done = 0;
  while (done < bytes) {
    const qint64 read_bytes = device->read(reinterpret_cast<char*>(into + done), static_cast<qint64>(bytes - done));
    if (read_bytes <= 0) break;
    done += static_cast<std::size_t>(read_bytes);
  }
  return done;
}

void* ReallocBlock(void* block, std::size_t bytes) { return std::realloc(block, bytes); }
void FreeBlock(void* block) { std::free(block); }

struct FreeDeleter {
  void operator()(void* block) const { std::free(block); }
};

class KxImageHandler : public QImageIOHandler {
 public:
  bool canRead() const override {
    if (device() == nullptr || !IsKx(device())) return false;
    setFormat(kFormatName);
    return true;
  }

  // Reads the header, then what a stream for that picture can use (never
  // more, whatever follows on the device), and decodes it: a stream that
  // ends early gives the completed picture, as in the plug-in.
  bool read(QImage* image) override {
    QIODevice* const input_device = device();
    if (input_device == nullptr) return false;
    std::uint8_t head[kLoaderHeaderBytes];
    const HeaderFacts facts = JudgeHeader(head, ReadUpTo(input_device, head, sizeof head));
    if (facts.verdict != HeaderVerdict::kOk) return Refuse(facts);

    InputBuffer input = StartInput(facts.input_bound_bytes, ReallocBlock, FreeBlock);
    const bool gathered = AppendInput(&input, head, sizeof head) && GatherStream(input_device, &input);
    bool decoded = false;
    if (gathered) {
      decoded = Decode(input, facts.layout, image);
    } else {
      Refuse("Not enough memory for the KX image's input");
    }
    FreeInput(&input);
    return decoded;
  }

  bool supportsOption(ImageOption option) const override { return option == Size || option == ImageFormat; }

  // The size from the header alone, without decoding.
  QVariant option(ImageOption option) const override {
    if (option == ImageFormat) return QImage::Format_RGB888;
    if (option != Size || device() == nullptr) return {};
    const QByteArray head = PeekHeader(device());
    const HeaderFacts facts =
        JudgeHeader(reinterpret_cast<const std::uint8_t*>(head.constData()), static_cast<std::size_t>(head.size()));
    if (facts.verdict != HeaderVerdict::kOk) return {};
    return QSize(facts.layout.width, facts.layout.height);
  }

 private:
  // The rest of the input up to the bound: all of it at once when the
  // device's size is known, growing pieces until the device ends otherwise.
  // False only when an allocation failed.
  static bool GatherStream(QIODevice* input_device, InputBuffer* input) {
    std::size_t want_bytes = 0;
    if (!input_device->isSequential()) {
      const qint64 ahead = input_device->size() - input_device->pos();
      if (ahead > 0) want_bytes = static_cast<std::size_t>(ahead);
    }
    while (!InputFull(*input)) {
      std::uint8_t* room = nullptr;
      std::size_t room_bytes = 0;
      if (!InputRoom(input, want_bytes > 0 ? want_bytes : input->capacity_bytes, &room, &room_bytes)) return false;
      const std::size_t read_bytes = ReadUpTo(input_device, room, room_bytes);
      CommitInput(input, read_bytes);
      if (read_bytes < room_bytes) break;  // the end, or a read error: decode what came
      want_bytes = 0;
    }
    return true;
  }

  static bool Decode(const InputBuffer& input, const PictureSize& layout, QImage* image) {
    QImage picture(layout.width, layout.height, QImage::Format_RGB888);
    const std::unique_ptr<std::uint8_t, FreeDeleter> window(
        static_cast<std::uint8_t*>(std::malloc(kLoaderWindowBytes)));
    if (picture.isNull() || window == nullptr) return Refuse("Not enough memory for the KX image's pixels");
    DecodeRgbPicture(input, layout, picture.bits(), static_cast<std::size_t>(picture.bytesPerLine()), window.get());
    *image = picture;
    return true;
  }
};

}  // namespace

// The plug-in's class is declared here, not in a header, so that moc's
// output is included by this file alone.
class KxImagePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "kx.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
  QImageIOHandler* create(QIODevice* device, const QByteArray& format = QByteArray()) const override;
};

QImageIOPlugin::Capabilities KxImagePlugin::capabilities(QIODevice* device, const QByteArray& format) const {
  if (format == kFormatName) return CanRead;
  if (!format.isEmpty() || device == nullptr || !device->isOpen() || !device->isReadable()) return {};
  return IsKx(device) ? Capabilities(CanRead) : Capabilities();
}

QImageIOHandler* KxImagePlugin::create(QIODevice* device, const QByteArray& format) const {
  auto* const handler = new KxImageHandler;
  handler->setDevice(device);
  handler->setFormat(format.isEmpty() ? QByteArray(kFormatName) : format);
  return handler;
}

#include "kx_image_plugin.moc"
