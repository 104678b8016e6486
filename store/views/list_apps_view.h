// List page: a title above a vertical list of wide tiles. Used for the
// installed applications, the updates, and search or section results.
#pragma once

#include <QString>
#include <QWidget>
#include <vector>

class FrameItemV;
class Ui_ListAppsView;

class ListAppsView : public QWidget {
  Q_OBJECT
 public:
  static constexpr int LONG_TITLE = 100;  // longer titles take two lines
  static constexpr int LONG_TITLE_EXTRA = 50;

  explicit ListAppsView(QWidget* parent = nullptr);
  ~ListAppsView() override;

  // Appends a tile; the page takes it as a child.
  void addItem(QWidget* widget);
  void setName(QString text);
  // Puts `header` between the title and the list (the updates page's
  // "update all" bar); the list gives up the header's height, also when it
  // changes later. The page takes it as a child.
  void setHeader(QWidget* header);

  Ui_ListAppsView* ui;
  int num_apps = 0;
  // The tiles the controller made for this page; placed ones are Qt children
  // of the list and are released with it.
  std::vector<FrameItemV*> apps;
  int default_height_name = 0;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void fitList();

  QWidget* header = nullptr;
  bool long_title = false;
  // Height of the list area as laid out by the form; a long title takes its
  // extra line from this, and a short one gives it back.
  int default_height_list = 0;
};
