// Wide application tile: one row of a list page (installed applications,
// updates, search results, the applications of a section).
#pragma once

#include <QColor>
#include <QString>
#include <string>

#include "twidget.h"

class QEnterEvent;
class QEvent;
class QHBoxLayout;
class QMouseEvent;
class QVBoxLayout;

class FrameItemV : public TFrame {
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

  std::string getName() const { return name_app; }
  std::string getCurVer() const { return cur_ver_app; }
  std::string getNewVer() const { return new_ver_app; }
  int getID() const { return id; }
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

 signals:
  void clickLeft();
  void clickRight();
  void pointTo();
  void leaveMouse();

 public slots:
  void onClickRight();
  void onPointTo();
  void onLeave();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  void restoreBackground();

  int x_pos = 0;
  int y_pos = 0;
  int id = 0;
  std::string name_app;
  std::string cur_ver_app;
  std::string new_ver_app;
  int w_frame_button = 0;
  int h_frame_button = 0;
  QColor color_save;
  bool flag_highlight = false;
  QHBoxLayout* layout;
  QVBoxLayout* layout_button;
  QVBoxLayout* layout_name;
};
