// Small application tile: an icon with its name inside a section strip of
// the home page.
#pragma once

#include <QString>
#include <string>

#include "app_tile.h"

class QVBoxLayout;

class FrameItemH : public AppTile {
  Q_OBJECT
 public:
  static constexpr int NAME_LIMIT = 20;

  explicit FrameItemH(QWidget* parent = nullptr);

  void setID(int id);
  void setName(QString name, QString slug);
  void setSize(int w, int h);
  void setIcon(QString icon);

  TLabel* lb_name;
  TLabel* lb_icon;

 private:
  QVBoxLayout* layout;
  QString sheet;
  // The icon asked for last; an older download that arrives later is
  // dropped.
  QString icon_wanted;
};
