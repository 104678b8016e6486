#include "image_fetch.h"

#include <QBuffer>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>

#include "store_globals.h"

using nelt::window::URL_HOST;

int ImageFetch::time_limit_ms = ImageFetch::DEFAULT_TIME_LIMIT_MS;

void ImageFetch::setTimeLimit(int ms) { time_limit_ms = ms > 0 ? ms : DEFAULT_TIME_LIMIT_MS; }

int ImageFetch::timeLimit() { return time_limit_ms; }

QString ImageFetch::storeAddress(const QString& kind, const QString& name) {
  // One-pass substitution: a "%" in the address or the name stays literal.
  return QString("%1/api/v1/uploads/app/%2/%3").arg(QString::fromStdString(URL_HOST), kind, name);
}

int ImageFetch::get(const QString& url, QByteArray& body, const QObject* guard) {
  body.clear();
  QPointer<const QObject> asker(guard);
  QNetworkAccessManager manager;
  QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));

  bool timed_out = false;
  QEventLoop loop;
  QTimer limit;
  limit.setSingleShot(true);
  QObject::connect(&limit, &QTimer::timeout, reply, [&timed_out, reply] {
    timed_out = true;
    reply->abort();
  });
  QObject::connect(reply, &QNetworkReply::downloadProgress, reply,
                   [reply](qint64 received, qint64) {
                     if (received > MAX_BYTES) reply->abort();
                   });
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  // A widget destroyed while it waits gets no image; stop waiting for it.
  if (guard) QObject::connect(guard, &QObject::destroyed, &loop, &QEventLoop::quit);
  limit.start(time_limit_ms);
  if (!reply->isFinished()) loop.exec();
  limit.stop();

  if (guard && !asker) {
    reply->abort();
    return FETCH_GONE;
  }
  if (timed_out) return FETCH_TIMEOUT;
  if (reply->error() != QNetworkReply::NoError) return FETCH_FAILED;
  body = reply->readAll();
  return FETCH_OK;
}

namespace {

QImage readChecked(QImageReader& reader) {
  QSize size = reader.size();
  if (size.isValid() && (size.width() > IMAGE_MAX_SIDE || size.height() > IMAGE_MAX_SIDE ||
                         qint64(size.width()) * qint64(size.height()) > IMAGE_MAX_PIXELS)) {
    return QImage();
  }
  return reader.read();
}

}  // namespace

QImage decodeImage(const QByteArray& bytes) {
  QBuffer buffer;
  buffer.setData(bytes);
  if (!buffer.open(QIODevice::ReadOnly)) return QImage();
  QImageReader reader(&buffer);
  return readChecked(reader);
}

QPixmap loadImageFile(const QString& path_asked, const QStringList& formats) {
  // On a screen scaled by two or more, the image drawn at twice the pixels
  // ("NAME@2x.png" beside it) when there is one.
  QString path = path_asked;
  if (qApp != nullptr && qApp->devicePixelRatio() > 1.0 && path.endsWith(".png")) {
    QString sharp = path;
    sharp.insert(sharp.size() - 4, "@2x");
    if (QFileInfo::exists(sharp)) path = sharp;
  }
  QImage image;
  if (formats.isEmpty()) {
    QImageReader reader(path);
    image = readChecked(reader);
  }
  for (const QString& format : formats) {
    QImageReader reader(path, format.toLatin1());
    image = readChecked(reader);
    if (!image.isNull()) break;
  }
  return QPixmap::fromImage(image);
}

QPixmap scaledPixmap(const QPixmap& pix, const QSize& size) {
  if (pix.isNull() || size.isEmpty()) return QPixmap();
  // As many pixels as the screen shows for `size`, so that a scaled screen
  // draws the picture sharp.
  const qreal ratio = qApp != nullptr ? qApp->devicePixelRatio() : 1.0;
  if (ratio <= 1.0) return pix.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  QPixmap sharp = pix.scaled(size * ratio, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
  sharp.setDevicePixelRatio(ratio);
  return sharp;
}

bool takeLocalPath(QString& ref) {
  static const QString marker = QStringLiteral("local://");
  if (!ref.contains(marker)) return false;
  ref.remove(marker);
  return true;
}
