#include "app_controller.h"

#include <QTimer>

#include "kavix_model.h"
#include "twidget.h"

AppController::AppController() : model(new KavixModel), lb_newversion(new TLabel) {
  name_app_installing_current = "";
}

AppController::~AppController() {
  delete lb_newversion;
  delete model;
}

void AppController::setOBJECT(Ui_MainWindow* ui_main, KavixAPI* api_i, int* pages) {
  ui = ui_main;
  api = api_i;
  model->api = api_i;
  id_pages = pages;
}

void AppController::control() {}
void AppController::refreshHomeView() {}
void AppController::refreshListView() {}
void AppController::refreshInstalledListView() {}
void AppController::refreshUpdateListView() {}
void AppController::getAppCurrent(int&, std::string&) {}
void AppController::refreshDetailView(std::string, TYPE_APP) {}
void AppController::setStateDetailInstall(int) {}
void AppController::onSectionDetailView() {}
void AppController::onInstall() {}
void AppController::onUpdate() {}
void AppController::onRemove() {}
void AppController::onLaunch() {}
void AppController::onPrevPage() {}
void AppController::switchRefreshFlag() { flag_refresh = !flag_refresh; }
void AppController::onAppDetailView() {}
void AppController::onInstallDetail() {}
void AppController::onUpdateDetail() {}
void AppController::onRemoveDetail() {}
void AppController::onLaunchDetail() {}
void AppController::onInstallTimer() {}
void AppController::onDisplayWallpaper() {}
