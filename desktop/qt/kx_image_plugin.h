// Qt image-format plug-in for KX pictures (imageformats/libkximage.so):
// QImageReader and every Qt application then open KX files, recognised by
// content or by the .kx suffix. Reading only.
#pragma once

#include <QImageIOPlugin>

class KxImagePlugin : public QImageIOPlugin {
  Q_OBJECT
  Q_PLUGIN_METADATA(IID QImageIOHandlerFactoryInterface_iid FILE "kx.json")

 public:
  Capabilities capabilities(QIODevice* device, const QByteArray& format) const override;
  QImageIOHandler* create(QIODevice* device, const QByteArray& format = QByteArray()) const override;
};
