// Settings page: the automatic-update switch.
#pragma once

#include <QWidget>

class Ui_SettingView;

class SettingView : public QWidget {
  Q_OBJECT
 public:
  explicit SettingView(QWidget* parent = nullptr);
  ~SettingView() override;

  Ui_SettingView* ui;
};
