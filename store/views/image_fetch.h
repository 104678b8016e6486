// Image downloads and image decoding for the window's widgets.
//
// Widgets fetch their icons, screenshots and banner themselves and wait for
// them in a nested event loop (the window keeps painting and its timers keep
// running). Every fetch ends after a time limit so that a store server that
// stops answering cannot hold the caller forever.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>

class QObject;

class ImageFetch {
 public:
  enum Result { FETCH_OK = 0, FETCH_FAILED = -1, FETCH_GONE = -2, FETCH_TIMEOUT = -3 };

  static constexpr int DEFAULT_TIME_LIMIT_MS = 10000;
  // Larger bodies are not images the store hands out; the transfer is cut.
  static constexpr qint64 MAX_BYTES = 32 * 1024 * 1024;

  // Time limit of every fetch, in milliseconds (tests shorten it).
  static void setTimeLimit(int ms);
  static int timeLimit();

  // GET `url` and wait for the whole body. FETCH_OK fills `body`; any
  // transport or HTTP error, an oversized body or the time limit give a
  // negative result and leave `body` empty. When `guard` (the widget that
  // asked) is destroyed while waiting, FETCH_GONE is returned and the caller
  // must not touch itself any more.
  static int get(const QString& url, QByteArray& body, const QObject* guard);

  // "<URL_HOST>/api/v1/uploads/app/<kind>/<name>" for kind "icon" or
  // "screenshot".
  static QString storeAddress(const QString& kind, const QString& name);

 private:
  static int time_limit_ms;
};

// Images whose header announces more pixels than this are refused before
// decoding: a few bytes of a hostile file must not allocate gigabytes.
constexpr int IMAGE_MAX_SIDE = 10000;
constexpr qint64 IMAGE_MAX_PIXELS = 40LL * 1000 * 1000;

// Decodes image bytes (format from the content); null on failure.
QImage decodeImage(const QByteArray& bytes);
// Loads an image file trying the formats in order until one gives an image;
// an empty list lets the content decide. Null on failure. On a screen scaled
// by two or more a PNG's "@2x" sibling is read instead when there is one.
QPixmap loadImageFile(const QString& path, const QStringList& formats = {});
// `pix` scaled to `size`, aspect ratio ignored, smooth; null stays null. On
// a scaled screen it holds the screen's pixels for `size` (its device pixel
// ratio set), so it is drawn sharp.
QPixmap scaledPixmap(const QPixmap& pix, const QSize& size);

// Strips the "local://" marker the service puts before cached image paths.
// Returns true when it was there.
bool takeLocalPath(QString& ref);
