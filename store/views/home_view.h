// Home page: the banner above the section strips.
#pragma once

#include <QString>
#include <QWidget>

class Ui_HomeView;

class HomeView : public QWidget {
  Q_OBJECT
 public:
  explicit HomeView(QWidget* parent = nullptr);
  ~HomeView() override;

  // Downloads the banner (with the image time limit) and shows it when it
  // arrives; on any failure the banner shown before stays.
  void setBanner(QString url);
  // Shows an image file as the banner (empty when the file does not load).
  void setBannerLocal(QString path);

  Ui_HomeView* ui;

 private:
  QString banner_wanted;  // an older download that arrives later is dropped
};
