// Image downloads and image decoding for the window's widgets.
//
// Widgets fetch their icons, screenshots and banner themselves. All fetches
// of the window share one network access manager (kept-alive connections to
// the store server, several transfers in parallel) and end in a `finished`
// handler: nothing waits. Bodies that arrived are kept in a bounded
// in-memory cache, so an image shown by many tiles is fetched once per run.
// Every fetch ends after a time limit so that a store server that stops
// answering cannot keep a transfer open forever.
#pragma once

#include <QByteArray>
#include <QImage>
#include <QPixmap>
#include <QString>
#include <QStringList>
#include <functional>

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

  // Cached bodies, counted by their size; the oldest go first.
  static constexpr int CACHE_BYTES = 32 * 1024 * 1024;

  // Receives FETCH_OK with the whole body, or a negative result (transport
  // or HTTP error, oversized body, time limit) with an empty body.
  using Done = std::function<void(int result, const QByteArray& body)>;

  // GETs `url` and calls `done` once, in the GUI thread. A body in the cache
  // is handed over before fetch returns; otherwise `done` runs from the
  // transfer's `finished` handler, and requests for a URL already under way
  // share its transfer. When `receiver` is destroyed first, `done` is never
  // called (a tile gone before its image arrives is not touched). Needs a
  // QCoreApplication.
  static void fetch(const QString& url, const QObject* receiver, Done done);

  // Transfers under way (tests wait for 0).
  static int pending();
  // Forgets the cached bodies (tests start from an empty cache).
  static void clearCache();

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
