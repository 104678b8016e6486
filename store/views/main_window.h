// The store window: the green menu band above the stack of the seven pages.
#pragma once

#include <QMainWindow>
#include <QString>

class FocusRing;
class QRect;
class Ui_MainWindow;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Menu button styles, icons, accessible names and the keyboard order.
  void init();
  // Keeps the laid-out 1000 x 800 where `available` (the screen's area for
  // windows) holds it; otherwise the window fits `available` and its
  // content scrolls, so that every part stays reachable. Once, before show.
  void fitScreen(const QRect& available);

  Ui_MainWindow* ui;
  // Marks the widget holding the keyboard focus.
  FocusRing* focus_ring = nullptr;
};
