#include "app_tile.h"

#include <QKeyEvent>
#include <QMouseEvent>

#include "keyboard.h"
#include "store_globals.h"

using nelt::window::KAVIX_APP_CURRENT;

AppTile::AppTile(QWidget* parent) : TFrame(nullptr) {
  setParent(parent);
  // Tiles are reached with Tab in the order they were placed (reading
  // order) and opened from the keyboard.
  setFocusPolicy(Qt::StrongFocus);
  connect(this, &AppTile::pointTo, this, &AppTile::onPointTo);
  connect(this, &AppTile::leaveMouse, this, &AppTile::onLeave);
}

void AppTile::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    KAVIX_APP_CURRENT = std::to_string(id) + "&" + name_app;
    emit clickLeft();
  } else if (event->button() == Qt::RightButton) {
    emit clickRight();
  }
}

void AppTile::keyPressEvent(QKeyEvent* event) {
  if (isActivateKey(event)) {
    KAVIX_APP_CURRENT = std::to_string(id) + "&" + name_app;
    emit clickLeft();
    return;
  }
  if (moveAmongSiblings(this, event, "AppTile")) return;
  TFrame::keyPressEvent(event);
}

void AppTile::mouseMoveEvent(QMouseEvent* event) {
  x_pos = event->pos().x();
  y_pos = event->pos().y();
  emit pointTo();
}

void AppTile::leaveEvent(QEvent* event) {
  TFrame::leaveEvent(event);
  emit leaveMouse();
}

void AppTile::onPointTo() {}

void AppTile::onLeave() {}
