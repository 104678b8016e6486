#include "detail_page.h"

#include <rapidjson/document.h>

#include <QHBoxLayout>
#include <QLabel>
#include <QObject>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "app_detail_view.h"
#include "app_facts.h"
#include "app_facts_view.h"
#include "reply_fields.h"
#include "service_client.h"
#include "twidget.h"
#include "ui_app_detail_view.h"
#include "ui_main_window.h"
#include "window_clock.h"

using namespace nelt::window;  // the reply readers and the window globals
using rapidjson::Value;

namespace {

constexpr int MAX_SCREENSHOTS = 4;
constexpr int RESULT_MS = 2000;  // how long a result stays in the state label

void trace(int line, const char* what, const char* name) {
  std::printf("%d %s%s\n", line, what, name);
  std::fflush(stdout);
}

}  // namespace

DetailPage::DetailPage() : lb_newversion(new TLabel), guard(new QObject) {
  // The label joins the detail page and may go with the window first.
  QObject::connect(lb_newversion, &QObject::destroyed, guard, [this] { lb_newversion = nullptr; });
}

DetailPage::~DetailPage() {
  delete lb_newversion;
  delete guard;
}

void DetailPage::setObjects(Ui_MainWindow* ui_main, const QString* style) {
  ui = ui_main;
  ui_detail = ui->pageDetail->ui;
  menu_style = style;
}

void DetailPage::setup() {
  size_frame_detail = ui_detail->scrollArea->height();
  lb_newversion->setAlignment(Qt::AlignCenter);
  lb_newversion->setMinimumWidth(ui_detail->nameapp->width());
  lb_newversion->setStyleSheet("color: #28c904");
  lb_newversion->setTextFormat(Qt::PlainText);
  lb_newversion->setText("");
  ui_detail->verticalLayoutName->addWidget(lb_newversion);
}

void DetailPage::setMenuStyle(const QString& style) {
  ui->buttonAll->setStyleSheet(style);
  ui->buttonInstalled->setStyleSheet(style);
  ui->buttonUpdates->setStyleSheet(style);
  ui->buttonAccount->setStyleSheet(style);
  ui->buttonSetting->setStyleSheet(style);
}

void DetailPage::applyPreset(TYPE_APP type) {
  switch (type) {
    case TYPE_DEFAULT:
      ui_detail->buttonLaunch->hide();
      enableButton(__LINE__, "buttonRemove", false);
      enableButton(__LINE__, "buttonUpdate", false);
      ui_detail->buttonInstall->show();
      enableButton(__LINE__, "buttonInstall", true);
      ui_detail->progressBar->hide();
      ui_detail->buttonCancel->hide();
      ui_detail->label_state->hide();
      break;
    case TYPE_INSTALLED:
    case TYPE_UPDATE:
      ui_detail->buttonLaunch->show();
      enableButton(__LINE__, "buttonLaunch", true);
      enableButton(__LINE__, "buttonRemove", true);
      enableButton(__LINE__, "buttonUpdate", type == TYPE_UPDATE);
      ui_detail->buttonInstall->hide();
      ui_detail->progressBar->hide();
      ui_detail->buttonCancel->hide();
      ui_detail->label_state->hide();
      break;
    case TYPE_INSTALLING:
      ui_detail->buttonLaunch->hide();
      enableButton(__LINE__, "buttonRemove", false);
      enableButton(__LINE__, "buttonUpdate", false);
      ui_detail->buttonInstall->show();
      enableButton(__LINE__, "buttonInstall", false);
      ui_detail->progressBar->show();
      ui_detail->label_state->hide();
      break;
    default:
      break;
  }
}

int DetailPage::fill(ServiceClient* api, const std::string& name, TYPE_APP type,
                     const std::string& version_current, const std::string& version_new,
                     double& size_out, const std::function<void()>& missing) {
  KavixReply reply;
  if (api == nullptr || api->getDetailApp(name, &reply) != 0) return RUN_DONE;
  if (reply.status == nelt::REPLY_TOKEN_INVALID) return RUN_AGAIN;
  if (reply.status != nelt::REPLY_OK) missing();
  const Value& doc = reply.doc;

  std::string text;
  const QString desc =
      getStr(doc, "longDescription", text) ? displayText(qstr(text), true) : QString();
  calculateSizeDesc(desc);
  const Value* rank = member(doc, "rankAvg");
  ui->pageDetail->setRating(rank != nullptr && rank->IsNumber() ? rank->GetDouble() : 0.0);
  if (getStr(doc, "name", text)) {
    calculateSizeName(displayText(qstr(text)));
    ui_detail->nameapp->setText(displayText(qstr(text)));
  }
  showVersions(doc, type, version_current, version_new);
  ui_detail->description->setText(desc);
  const Value* size = member(doc, "size");
  if (size != nullptr && size->IsNumber()) size_out = size->GetDouble();
  showFacts(doc);

  const Value* images = member(doc, "images");
  if (images != nullptr) {
    QString icon;
    if (iconOf(doc, icon)) ui->pageDetail->setIcon(icon);
    const Value* shots = member(*images, "screenshot");
    if (shots != nullptr && shots->IsArray()) showScreenshots(*shots);
  }
  return RUN_DONE;
}

void DetailPage::showVersions(const Value& doc, TYPE_APP type, const std::string& version_current,
                              const std::string& version_new) {
  std::string text;
  if (type == TYPE_INSTALLED) {
    ui_detail->version->setText(displayText(qstr(version_current)));
    std::printf("Current Version3: %s\n", version_current.c_str());
    lb_newversion->setText("");
  } else if (type == TYPE_UPDATE) {
    ui_detail->version->setText(displayText(qstr(version_current)));
    std::printf("Current Version2: %s\n", version_current.c_str());
    lb_newversion->setText(QString("Có phiên bản mới\n%1").arg(displayText(qstr(version_new))));
    std::printf("New Version2: %s\n", version_new.c_str());
  } else {
    if (getStr(doc, "currentVersion", text)) {
      ui_detail->version->setText(displayText(qstr(text)));
      std::printf("Current Version1: %s\n", text.c_str());
    }
    lb_newversion->setText("");
  }
  std::fflush(stdout);
}

void DetailPage::showFacts(const Value& doc) {
  const nelt::AppFacts facts = nelt::readAppFacts(doc);
  const QString size =
      facts.has_size ? QString::fromStdString(nelt::humanSize(facts.size_bytes, ',')) : QString();
  // Day, month, year, as Vietnamese readers write dates.
  const QString updated = facts.has_updated ? QString("%1/%2/%3")
                                                  .arg(facts.day, 2, 10, QChar('0'))
                                                  .arg(facts.month, 2, 10, QChar('0'))
                                                  .arg(facts.year)
                                            : QString();
  ui->pageDetail->facts->setFacts(size, displayText(qstr(facts.developer)),
                                  displayText(qstr(facts.license)), updated);
  ui->pageDetail->setRatingCount(facts.has_rank_count ? facts.rank_count : -1);
}

void DetailPage::showScreenshots(const Value& shots) {
  QStringList refs;
  for (const Value& shot : shots.GetArray()) {
    if (shot.IsString()) refs << QString::fromUtf8(shot.GetString(), shot.GetStringLength());
    // Only the first four are shown: nothing more is downloaded.
    if (refs.size() == MAX_SCREENSHOTS) break;
  }
  AppDetailView* page = ui->pageDetail;
  for (const QString& ref : refs) {
    auto* thumb = new TWallpapperWidget();
    thumb->setSize(140, 80);
    page->wallpapers.push_back(thumb);
    ui_detail->horizontalLayout_2->addWidget(thumb);
    QObject::connect(thumb, &TLabel::clickLeftUp, guard, [this] { showPressedScreenshot(); });
    thumb->setWallpaper(ref);
  }
  if (!page->wallpapers.empty()) {
    TWallpapperWidget* first = page->wallpapers.front();
    page->setWallpaper(first->getWallpaper());
    first->setStyleSheet("border: 3px solid #75FF08");
    // Its picture may arrive later: shown large then, unless another
    // thumbnail was pressed meanwhile.
    QObject::connect(first, &TWallpapperWidget::wallpaperArrived, guard, [page, first] {
      if (first->styleSheet().contains("#75FF08")) page->setWallpaper(first->getWallpaper());
    });
  }
}

void DetailPage::showPressedScreenshot() {
  AppDetailView* page = ui->pageDetail;
  for (TWallpapperWidget* thumb : page->wallpapers) {
    thumb->setStyleSheet("border: 2px solid white;");
    if (thumb->event) {
      thumb->setStyleSheet("border: 3px solid #75FF08");
      page->setWallpaper(thumb->getWallpaper());
    }
  }
}

void DetailPage::clear() {
  AppDetailView* page = ui->pageDetail;
  for (TWallpapperWidget* thumb : page->wallpapers) {
    ui_detail->horizontalLayout_2->removeWidget(thumb);
    thumb->setParent(nullptr);
    thumb->close();
    // Later: a thumbnail can be the sender of the release being handled.
    thumb->deleteLater();
  }
  page->wallpapers.clear();
  ui_detail->horizontalLayout_2->setAlignment(Qt::AlignTop);

  setMenuStyle(menu_style != nullptr ? *menu_style : QString());
  ui->pages->setCurrentWidget(ui->pageDetail);

  ui_detail->nameapp->setText("");
  ui_detail->version->setText("");
  page->facts->clearFacts();
  page->setRatingCount(-1);
  ui_detail->description->setText("");
  ui_detail->description->setFixedHeight(100);
  // A description longer than its estimate runs off the bottom, never up
  // under its heading.
  ui_detail->description->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ui_detail->frameall->setFixedHeight(size_frame_detail);
  ui_detail->verticalLayoutDesc->setAlignment(Qt::AlignTop);
  ui_detail->scrollArea->setAlignment(Qt::AlignTop);
  ui_detail->icon->setPixmap(QPixmap());
  ui_detail->wallpaper->setPixmap(QPixmap());
}

int DetailPage::estimateLines(const QString& text, int width) {
  int lines = 0;
  int run = 0;
  const int n = text.size();
  for (int i = 0; i < n; ++i) {
    ++run;
    if (text[i] == '\n') {
      lines += 1;
      const int e = run / width;
      if (e > 0) lines += e - 1;
      run = 0;
    }
    if (i == n - 1) {
      lines += 1;
      const int e = run / width;
      if (e > 0) lines += e + 1;
      run = 0;
    }
  }
  return lines;
}

void DetailPage::calculateSizeDesc(const QString& text) {
  const int h = 18 * estimateLines(text, 70);
  if (h > 100) {
    ui_detail->description->setFixedHeight(h);
    ui_detail->frameall->setFixedHeight(h + size_frame_detail - 100);
  }
}

void DetailPage::calculateSizeName(const QString& text) {
  // 21 pixels a line suits a compact font; taller ones (Noto, DejaVu) need
  // their own line height or the last line loses its lower part.
  const int line = qMax(21, lineHeight(ui_detail->nameapp));
  const int h = line * estimateLines(text, 14);
  ui_detail->nameapp->setFixedHeight(h >= 31 ? h : 30);
}

void DetailPage::saveButtonStates() {
  is_enbInstall = ui_detail->buttonInstall->isEnabled();
  is_enbLaunch = ui_detail->buttonLaunch->isEnabled();
  is_enbUpdate = ui_detail->buttonUpdate->isEnabled();
  is_enbRemove = ui_detail->buttonRemove->isEnabled();
}

void DetailPage::restoreButtonStates() {
  ui_detail->buttonInstall->enable(is_enbInstall);
  ui_detail->buttonLaunch->enable(is_enbLaunch);
  ui_detail->buttonUpdate->enable(is_enbUpdate);
  ui_detail->buttonRemove->enable(is_enbRemove);
}

void DetailPage::enableButton(int line, const char* name, bool on) {
  TPushButton* button = nullptr;
  const std::string which = name;
  if (which == "buttonInstall") {
    button = ui_detail->buttonInstall;
  } else if (which == "buttonLaunch") {
    button = ui_detail->buttonLaunch;
  } else if (which == "buttonRemove") {
    button = ui_detail->buttonRemove;
  } else if (which == "buttonUpdate") {
    button = ui_detail->buttonUpdate;
  }
  if (button == nullptr) return;
  button->enable(on);
  trace(line, on ? "ENABLE: " : "DISABLE: ", name);
}

void DetailPage::stateLabel(const QString& text, const QString& color) {
  ++state_label_shown;
  ui_detail->label_state->setText(text);
  ui_detail->label_state->setStyleSheet(QString("color : %1").arg(color));
  ui_detail->label_state->show();
}

void DetailPage::resultLabel(const QString& text, const QString& color) {
  QLabel* label = ui_detail->label_state;
  QTimer::singleShot(0, label, [this, label, text, color] {
    stateLabel(text, color);
    const int shown = state_label_shown;
    WindowClock::current().after(RESULT_MS, label, [this, label, shown] {
      if (shown == state_label_shown) label->hide();
    });
  });
}

void DetailPage::reasonLine(const QString& text) { ui->pageDetail->showReason(text); }

void DetailPage::clearReason() { ui->pageDetail->hideReason(); }
