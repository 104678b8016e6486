// The store window: the green menu band above the stack of the seven pages.
#pragma once

#include <QMainWindow>
#include <QString>

class Ui_MainWindow;

class MainWindow : public QMainWindow {
  Q_OBJECT
 public:
  explicit MainWindow(QWidget* parent = nullptr);
  ~MainWindow() override;

  // Menu button styles and icons.
  void init();

  Ui_MainWindow* ui;
};
