// Helpers for the widget tests: sample images on disk and a tiny HTTP
// responder on loopback that can answer, refuse or never answer.
#pragma once

#include <QByteArray>
#include <QColor>
#include <QHash>
#include <QImage>
#include <QSet>
#include <QString>
#include <QTcpServer>

namespace viewtest {

// A w x h image of one colour, encoded as `format` ("PNG", "JPEG").
QByteArray encodedImage(const QColor& colour, int w, int h, const char* format);
// Colour of the centre pixel of a label's pixmap (invalid when it has none).
QColor centreColour(const QPixmap& pix);
// True when the colours differ by at most `tolerance` per channel (JPEG).
bool near(const QColor& a, const QColor& b, int tolerance = 8);

// Minimal HTTP/1.1 server: GET of a path in `files` answers 200 with the
// bytes, a path in `stalled` is accepted and never answered, anything else
// answers 404. Lives on the test's thread: it answers while the widget under
// test waits in its nested event loop.
class TinyHttp : public QTcpServer {
 public:
  bool start();
  QString baseUrl() const;
  QHash<QString, QByteArray> files;
  QSet<QString> stalled;
  QStringList requested;

 protected:
  void incomingConnection(qintptr fd) override;
};

// Makes the working directory the build's bin/ (where icon/ is copied) and
// returns false when the window's images are not there.
bool enterRunDirectory();

}  // namespace viewtest
