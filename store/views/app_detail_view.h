// Detail page of one application: icon, name, version, rating, description,
// a large screenshot with a row of thumbnails, and the action bar.
#pragma once

#include <QPixmap>
#include <QString>
#include <QWidget>
#include <vector>

#include "twidget.h"

class AppFactsView;
class QLabel;
class QMouseEvent;
class Ui_AppDetailView;

// One screenshot thumbnail; keeps the full-size image for the large view.
class TWallpapperWidget : public TLabel {
  Q_OBJECT
 public:
  explicit TWallpapperWidget(TLabel* parent = nullptr);

  // A store screenshot arrives later; `wallpaperArrived` then tells.
  void setWallpaper(QString shot);
  void setSize(int w, int h);
  // The full-size screenshot; also clears the pressed mark.
  QPixmap* getWallpaper();

  // Pressed with the left button and its image not taken since.
  bool event = false;

 signals:
  void clickLeft();
  // A downloaded screenshot is now shown (and held by getWallpaper).
  void wallpaperArrived();

 public slots:
  void onGetPixmap();

 protected:
  void mousePressEvent(QMouseEvent* e) override;

 private:
  void showScaled();

  QPixmap pix;
  QString shot_wanted;  // an older download that arrives later is dropped
};

class AppDetailView : public QWidget {
  Q_OBJECT
 public:
  explicit AppDetailView(QWidget* parent = nullptr);
  ~AppDetailView() override;

  void setIcon(QString icon);
  // Shows `pix` in the large screenshot view (nothing for a null pixmap).
  void setWallpaper(QPixmap* pix);
  // 0 to 5 stars; values outside are clamped.
  void setRating(double r);
  // Shows `text` in the reason line under the action bar, and hides it.
  void showReason(const QString& text);
  void hideReason();
  // "(N lượt đánh giá)" beside the average; a negative count hides it.
  void setRatingCount(long long count);

  // Button looks when enabled (TPushButton::setDefaultStyle).
  static const char* const STYLE_GREEN;
  static const char* const STYLE_RED;
  static const char* const STYLE_ORANGE;

  Ui_AppDetailView* ui;
  QString icon_wanted;  // an older download that arrives later is dropped
  // The reason line ("label_reason"); hidden while there is nothing to say.
  QLabel* label_reason = nullptr;
  static constexpr int REASON_HEIGHT = 28;
  // The facts before install, under the version in the left column.
  AppFactsView* facts;
  // The number of ratings, beside the average.
  QLabel* rate_count;
  // The thumbnails of the application shown. Placed thumbnails are children
  // of the thumbnail row and are released with the page.
  std::vector<TWallpapperWidget*> wallpapers;
};
