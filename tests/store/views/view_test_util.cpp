#include "view_test_util.h"

#include <QBuffer>
#include <QDir>
#include <QFileInfo>
#include <QPixmap>
#include <QTcpSocket>
#include <cstdlib>

namespace viewtest {

QByteArray encodedImage(const QColor& colour, int w, int h, const char* format) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(colour);
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  img.save(&buffer, format, 95);
  return bytes;
}

QColor centreColour(const QPixmap& pix) {
  if (pix.isNull()) return QColor();
  QImage img = pix.toImage();
  return img.pixelColor(img.width() / 2, img.height() / 2);
}

bool near(const QColor& a, const QColor& b, int tolerance) {
  return a.isValid() && b.isValid() && std::abs(a.red() - b.red()) <= tolerance &&
         std::abs(a.green() - b.green()) <= tolerance && std::abs(a.blue() - b.blue()) <= tolerance;
}

bool TinyHttp::start() { return listen(QHostAddress::LocalHost, 0); }

QString TinyHttp::baseUrl() const { return QString("http://127.0.0.1:%1").arg(serverPort()); }

void TinyHttp::incomingConnection(qintptr fd) {
  auto* socket = new QTcpSocket(this);
  socket->setSocketDescriptor(fd);
  auto* head = new QByteArray();
  connect(socket, &QObject::destroyed, [head] { delete head; });
  connect(socket, &QTcpSocket::readyRead, this, [this, socket, head] {
    head->append(socket->readAll());
    if (!head->contains("\r\n\r\n")) return;
    QList<QByteArray> words = head->left(head->indexOf("\r\n")).split(' ');
    head->clear();
    QString path = words.size() > 1 ? QString::fromLatin1(words[1]) : QString();
    requested << path;
    if (stalled.contains(path)) return;  // accepted, never answered
    QByteArray reply;
    if (files.contains(path)) {
      const QByteArray& body = files[path];
      reply = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
              QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
    } else {
      reply = "HTTP/1.1 404 Not Found\r\nContent-Length: 9\r\nConnection: close\r\n\r\nnot found";
    }
    socket->write(reply);
    socket->disconnectFromHost();
  });
}

bool enterRunDirectory() {
  QString bin = qEnvironmentVariable("NELT_BIN_DIR");
  if (!bin.isEmpty()) QDir::setCurrent(bin);
  return QFileInfo::exists("icon/rating.png") && QFileInfo::exists("icon/rating-full.png");
}

}  // namespace viewtest
