// The store window: the green menu band above the stack of the seven pages.
#pragma once

#include <QMainWindow>
#include <QString>

class FocusRing;
class Ui_MainWindow;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Menu button styles, icons, accessible names and the keyboard order.
  void init();

  Ui_MainWindow* ui;
  // Marks the widget holding the keyboard focus.
  FocusRing* focus_ring = nullptr;
};
