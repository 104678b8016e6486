// Wide application tile: one row of a list page (installed applications,
// updates, search results, the applications of a section).
#pragma once

#include <QColor>
#include <QString>
#include <string>

#include "app_tile.h"

class QHBoxLayout;
class QVBoxLayout;

class FrameItemV : public AppTile {
  Q_OBJECT
 public:
  static constexpr int NAME_LIMIT = 50;
  static constexpr int DESC_LIMIT = 200;

  explicit FrameItemV(QWidget* parent = nullptr);
  ~FrameItemV() override;

  void setID(int id);
  void setName(QString name, QString slug);
  void setVersion(QString version);
  void setNewVersion(QString version);
  void setDesc(QString desc);
  void setSize(int w, int h);
  void setIcon(QString icon);
  // "Launch", "Remove", "Update" or "Install" places that button in the
  // tile's button frame; any other word does nothing.
  void useButton(QString which);

  std::string getCurVer() const { return cur_ver_app; }
  std::string getNewVer() const { return new_ver_app; }
  bool isHighlighted() const { return flag_highlight; }
  QColor savedColor() const { return color_save; }

  TLabel* lb_icon;
  TLabel* lb_name;
  TLabel* lb_vesion;
  TLabel* lb_new_version;
  TLabel* lb_desc;
  // Created without a parent; only the ones passed to useButton join the
  // tile (and become its children). The others are deleted with the tile.
  TPushButton* bt_Launch;
  TPushButton* bt_Remove;
  TPushButton* bt_Update;
  TPushButton* bt_Install;
  TFrame* fr_name;
  TFrame* fr_button;
  TFrame* line_v;
  TFrame* line_v2;

 public slots:
  void onClickRight();
  void onLeave() override;

 private:
  void nameParts();
  void restoreBackground();

  std::string cur_ver_app;
  std::string new_ver_app;
  // The icon asked for last; an older download that arrives later is
  // dropped.
  QString icon_wanted;
  int w_frame_button = 0;
  int h_frame_button = 0;
  QColor color_save;
  QHBoxLayout* layout;
  QVBoxLayout* layout_button;
  QVBoxLayout* layout_name;
};
