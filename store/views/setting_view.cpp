#include "setting_view.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <QCheckBox>
#include <QDebug>
#include <QGraphicsDropShadowEffect>

#include "kavix_api.h"
#include "ui_setting_view.h"

SettingView::SettingView(QWidget* parent) : QWidget(parent), ui(new Ui_SettingView) {
  ui->setupUi(this);
  ui->checkBox_setting->setAccessibleName(QString::fromUtf8("Tự động cập nhật"));
  // The separator line below overlaps the title's lower part and paints its
  // background there: keep the text in the part that stays visible.
  ui->label_2->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  ui->verticalLayout->setAlignment(Qt::AlignTop);
  auto* shadow = new QGraphicsDropShadowEffect(ui->framesetting1);
  shadow->setColor(QColor("#cfcfcf"));
  shadow->setBlurRadius(10);
  shadow->setOffset(5, 5);
  ui->framesetting1->setGraphicsEffect(shadow);
  ui->framesetting1->setStyleSheet("background-color: #ffffff");
  connect(ui->checkBox_setting, &QCheckBox::stateChanged, this, &SettingView::onAutoUpdate);
}

SettingView::~SettingView() { delete ui; }

void SettingView::setAPI(KavixAPI* client) { api = client; }

void SettingView::setPayment(bool paid) {
  hasPayment = paid;
  ui->framesetting1->setEnabled(paid);
}

void SettingView::setSetting(std::string reply) {
  const size_t space = reply.find(' ');
  save_setting = space == std::string::npos ? std::string() : reply.substr(space + 1);
  rapidjson::Document doc;
  doc.Parse(save_setting.c_str());
  if (doc.HasParseError() || !doc.IsObject()) return;
  auto setting = doc.FindMember("setting");
  if (setting == doc.MemberEnd() || !setting->value.IsObject()) return;
  auto value = setting->value.FindMember("autoUpdate");
  if (value == setting->value.MemberEnd()) return;
  const bool on = value->value.IsInt() && value->value.GetInt() == 1;
  // A change made here is sent back like a click.
  ui->checkBox_setting->setChecked(on);
}

void SettingView::onAutoUpdate(int state) {
  rapidjson::Document doc;
  doc.Parse(save_setting.c_str());
  if (doc.HasParseError()) return;
  if (doc.IsObject()) {
    auto setting = doc.FindMember("setting");
    if (setting != doc.MemberEnd() && setting->value.IsObject()) {
      auto value = setting->value.FindMember("autoUpdate");
      if (value != setting->value.MemberEnd()) {
        if (state == Qt::Checked) {
          value->value.SetInt(1);
          qDebug() << "Auto Update!";
        } else {
          value->value.SetInt(0);
          qDebug() << "Disable Auto Update!";
        }
      }
    }
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  doc.Accept(writer);
  if (api == nullptr) return;
  KavixReply reply;
  if (api->setSetting(buffer.GetString(), &reply) != 0 || reply.status != nelt::REPLY_OK) {
    qDebug() << "Setting error!";
  }
}
