// Section strip of the home page: a title bar with an "all" link above a
// horizontal row of small tiles.
#pragma once

#include <QCommandLinkButton>
#include <QString>
#include <cstdint>
#include <string>
#include <vector>

#include "twidget.h"

class FrameItemH;
class QHBoxLayout;
class QKeyEvent;
class QMouseEvent;
class QScrollArea;
class QVBoxLayout;

// The "all" link of a strip; acts on the press of the left button.
class TCommandLinkButton : public QCommandLinkButton {
  Q_OBJECT
 public:
  explicit TCommandLinkButton(QWidget* parent = nullptr);

  int id_section = 0;
  QString name;  // the section's full name

 signals:
  void clickMore();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  // Enter or Space acts as the press of the left button.
  void keyPressEvent(QKeyEvent* event) override;
};

class SectionFrame : public TFrame {
  Q_OBJECT
 public:
  static constexpr int NAME_LIMIT = 40;

  explicit SectionFrame(QWidget* parent = nullptr);

  void init(int w, int h, QString name);
  void setName(QString name);
  void setID(int id);
  int getID() const { return id; }
  QString getName() const;
  // Appends a tile to the row; the strip takes it as a child.
  void addItem(QWidget* item);
  void resizeItemLayout(int w, int h);

  TFrame* frame_name;
  QScrollArea* scroll_area;
  TLabel* lb_name;
  TCommandLinkButton* lb_more;
  TLabel* lb_null;
  // The tiles the controller made for this strip. Tiles passed to addItem are
  // Qt children of the strip and are released with it; this list only refers
  // to them.
  std::vector<FrameItemH*> apps;

 private:
  int id = 0;
  // The size given to init. (Named so that they do not hide QWidget's
  // width() and height().)
  int32_t init_width = 0;
  int32_t init_height = 0;
  QVBoxLayout* layout_all;
  QHBoxLayout* layout_apps;
  QHBoxLayout* layout_name;
};
