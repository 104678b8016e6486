// Small application tile: an icon with its name inside a section strip of
// the home page.
#pragma once

#include <QString>
#include <string>

#include "twidget.h"

class QEvent;
class QMouseEvent;
class QVBoxLayout;

class FrameItemH : public TFrame {
  Q_OBJECT
 public:
  static constexpr int NAME_LIMIT = 20;

  explicit FrameItemH(QWidget* parent = nullptr);

  void setID(int id);
  void setName(QString name, QString slug);
  void setSize(int w, int h);
  void setIcon(QString icon);

  int getID() const { return id; }
  std::string getName() const { return name_app; }

  TLabel* lb_name;
  TLabel* lb_icon;

 signals:
  void clickLeft();
  void pointTo();
  void leaveMouse();

 public slots:
  void onPointTo();
  void onLeave();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void leaveEvent(QEvent* event) override;

 private:
  int x_pos = 0;
  int y_pos = 0;
  int id = 0;
  std::string name_app;
  QVBoxLayout* layout;
  QString sheet;
  bool flag_highlight = false;
};
