// What every application tile shares: its id and slug, the left press that
// names the application pressed last (KAVIX_APP_CURRENT) and the mouse
// signals. `FrameItemH` (home strips) and `FrameItemV` (list pages) add
// their own layout.
#pragma once

#include <string>

#include "twidget.h"

class QEvent;
class QKeyEvent;
class QMouseEvent;

class AppTile : public TFrame {
  Q_OBJECT
 public:
  explicit AppTile(QWidget* parent = nullptr);

  int getID() const { return id; }
  std::string getName() const { return name_app; }

 signals:
  void clickLeft();
  void clickRight();
  void pointTo();
  void leaveMouse();

 public slots:
  void onPointTo();
  virtual void onLeave();

 protected:
  // A left press writes "id&slug" to KAVIX_APP_CURRENT, then emits
  // clickLeft; a right press emits clickRight.
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  // Enter or Space opens the tile as a left press does; the arrow keys move
  // to the tile before or after it in its strip or list.
  void keyPressEvent(QKeyEvent* event) override;
  void leaveEvent(QEvent* event) override;

  int x_pos = 0;
  int y_pos = 0;
  int id = 0;
  std::string name_app;
  bool flag_highlight = false;
};
