#include "image_fetch.h"

#include <QBuffer>
#include <QCache>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFileInfo>
#include <QGuiApplication>
#include <QHash>
#include <QImageReader>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPointer>
#include <QTimer>
#include <QUrl>
#include <memory>

#include "store_globals.h"

using nelt::window::URL_HOST;

int ImageFetch::time_limit_ms = ImageFetch::DEFAULT_TIME_LIMIT_MS;

void ImageFetch::setTimeLimit(int ms) { time_limit_ms = ms > 0 ? ms : DEFAULT_TIME_LIMIT_MS; }

int ImageFetch::timeLimit() { return time_limit_ms; }

QString ImageFetch::storeAddress(const QString& kind, const QString& name) {
  // One-pass substitution: a "%" in the address or the name stays literal.
  return QString("%1/api/v1/uploads/app/%2/%3").arg(QString::fromStdString(URL_HOST), kind, name);
}

namespace {

// One asker of a URL under way. `guarded` tells a destroyed receiver apart
// from none at all.
struct Waiter {
  QPointer<const QObject> receiver;
  bool guarded = false;
  ImageFetch::Done done;
};

// The window's image loader: the shared manager, the transfers under way by
// URL and the cache. Lives in the GUI thread as a child of the application.
class Loader : public QObject {
 public:
  explicit Loader(QObject* parent) : QObject(parent), manager(new QNetworkAccessManager(this)) {}

  void start(const QString& url);
  void finish(QNetworkReply* reply, const QString& url, bool timed_out);

  QNetworkAccessManager* manager;
  QHash<QString, QList<Waiter>> waiting;
  QCache<QString, QByteArray> cache{ImageFetch::CACHE_BYTES};
};

QPointer<Loader>& loaderSlot() {
  static QPointer<Loader> one;
  return one;
}

Loader* loader() {
  QPointer<Loader>& one = loaderSlot();
  if (one.isNull() && QCoreApplication::instance() != nullptr) {
    one = new Loader(QCoreApplication::instance());
  }
  return one.data();
}

void hand(const Waiter& waiter, int result, const QByteArray& body) {
  if (waiter.guarded && waiter.receiver.isNull()) return;  // its asker is gone
  if (waiter.done) waiter.done(result, body);
}

void Loader::start(const QString& url) {
  QNetworkReply* reply = manager->get(QNetworkRequest(QUrl(url)));
  auto* limit = new QTimer(reply);
  limit->setSingleShot(true);
  auto timed_out = std::make_shared<bool>(false);
  connect(limit, &QTimer::timeout, reply, [timed_out, reply] {
    *timed_out = true;
    reply->abort();
  });
  connect(reply, &QNetworkReply::downloadProgress, reply, [reply](qint64 received, qint64) {
    if (received > ImageFetch::MAX_BYTES) reply->abort();
  });
  connect(reply, &QNetworkReply::finished, this,
          [this, reply, url, timed_out] { finish(reply, url, *timed_out); });
  limit->start(ImageFetch::timeLimit());
}

void Loader::finish(QNetworkReply* reply, const QString& url, bool timed_out) {
  reply->deleteLater();
  int result = ImageFetch::FETCH_OK;
  QByteArray body;
  if (timed_out) {
    result = ImageFetch::FETCH_TIMEOUT;
  } else if (reply->error() != QNetworkReply::NoError) {
    result = ImageFetch::FETCH_FAILED;
  } else {
    body = reply->readAll();
    if (body.size() > ImageFetch::MAX_BYTES) {
      body.clear();
      result = ImageFetch::FETCH_FAILED;
    } else {
      cache.insert(url, new QByteArray(body), body.size());
    }
  }
  // Taken out first: a receiver may ask again from inside its `done`.
  const QList<Waiter> askers = waiting.take(url);
  for (const Waiter& waiter : askers) hand(waiter, result, body);
}

}  // namespace

void ImageFetch::fetch(const QString& url, const QObject* receiver, Done done) {
  Waiter waiter{QPointer<const QObject>(receiver), receiver != nullptr, std::move(done)};
  Loader* one = loader();
  if (one == nullptr) {
    hand(waiter, FETCH_FAILED, QByteArray());
    return;
  }
  if (const QByteArray* cached = one->cache.object(url)) {
    const QByteArray body = *cached;  // the cache may drop it meanwhile
    hand(waiter, FETCH_OK, body);
    return;
  }
  auto found = one->waiting.find(url);
  if (found != one->waiting.end()) {
    found->append(waiter);
    return;
  }
  one->waiting.insert(url, QList<Waiter>{waiter});
  one->start(url);
}

int ImageFetch::pending() {
  Loader* one = loaderSlot().data();
  return one == nullptr ? 0 : one->waiting.size();
}

void ImageFetch::clearCache() {
  if (Loader* one = loaderSlot().data()) one->cache.clear();
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
