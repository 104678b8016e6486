// Settings page: the automatic-update switch, stored per account by the
// service.
#pragma once

#include <QWidget>
#include <string>

class KavixAPI;
class Ui_SettingView;

class SettingView : public QWidget {
  Q_OBJECT
 public:
  explicit SettingView(QWidget* parent = nullptr);
  ~SettingView() override;

  void setAPI(KavixAPI* api);
  // Only paying accounts may change the setting.
  void setPayment(bool paid);
  // Shows the settings of a settings reply ("STATUS {...}").
  void setSetting(std::string reply);

  Ui_SettingView* ui;
  bool hasPayment = false;
  std::string save_setting;
  KavixAPI* api = nullptr;

 public slots:
  // Sends the settings with "autoUpdate" following the box.
  void onAutoUpdate(int state);
};
