// nelt-widget-gallery OUTDIR [--images DIR]
//
// Builds every widget and page of the store window with sample content,
// offscreen, and saves each as a PNG file in OUTDIR. Images are given to the
// widgets as "local://" paths, the form the service's cache hands out: the
// sample catalog's images when they are found, the window's own images
// otherwise. Runs from any directory: it switches to its own folder so that
// "./icon/" resolves as it does for the window.
#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFileInfo>
#include <QFont>
#include <QFrame>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>
#include <cstdio>
#include <memory>

#include "account_view.h"
#include "app_detail_view.h"
#include "frame_item_h.h"
#include "frame_item_v.h"
#include "home_view.h"
#include "list_apps_view.h"
#include "section_frame.h"
#include "setting_view.h"
#include "ui_account_view.h"
#include "ui_app_detail_view.h"
#include "ui_home_view.h"
#include "ui_list_apps_view.h"

namespace {

struct SampleApp {
  int id;
  const char* slug;
  const char* name;
  const char* version;
  const char* new_version;  // "" when none
  const char* desc;
  double rating;
};

const SampleApp APPS[] = {
    {101, "hello-nelt", "Xin chào Nelt", "1.3.0", "",
     "Ứng dụng mẫu chào mừng bạn đến với NeltStore", 4.5},
    {102, "ghi-chu", "Ghi chú", "2.0.0", "2.0.1",
     "Ghi chép nhanh, sắp xếp ý tưởng và công việc hằng ngày", 4.2},
    {103, "may-tinh", "Máy tính", "3.1.2", "",
     "Máy tính bỏ túi với chế độ khoa học và lịch sử phép tính", 3.9},
    {104, "bo-go-tieng-viet", "Bộ gõ tiếng Việt", "1.0.4", "1.1.0",
     "Gõ tiếng Việt có dấu bằng kiểu Telex, VNI hoặc VIQR trong mọi ứng dụng", 4.8},
    {105, "co-tuong", "Cờ tướng", "2.2.0", "", "Chơi cờ tướng với máy ở năm cấp độ hoặc với bạn bè",
     4.0},
    {106, "chinh-sua-anh", "Chỉnh sửa ảnh", "5.0.0", "",
     "Cắt, xoay, chỉnh màu và thêm chữ vào ảnh chỉ với vài thao tác", 3.5},
    {107, "lich-viet", "Lịch Việt", "1.4.0", "", "Lịch âm dương, ngày lễ tết và nhắc việc", 4.6},
    {108, "tu-dien-anh-viet", "Từ điển Anh – Việt", "0.9.1", "",
     "Tra từ nhanh, phát âm chuẩn và lưu từ đã học", 4.1},
    {109, "nghe-nhac", "Nghe nhạc", "2.3.3", "", "Trình nghe nhạc gọn nhẹ với danh sách phát", 3.8},
};

QString out_dir;
QString image_dir;  // sample catalog images, or empty
int failures = 0;

QString localRef(const QString& path) { return "local://" + path; }

QString iconRef(const SampleApp& app) {
  QString sample = image_dir + "/" + app.slug + "-icon.png";
  if (!image_dir.isEmpty() && QFileInfo::exists(sample)) return localRef(sample);
  return localRef(QDir::current().absoluteFilePath("icon/icon-nelt-store.png"));
}

QStringList shotRefs(const SampleApp& app) {
  QStringList refs;
  for (int i = 1; i <= 4 && !image_dir.isEmpty(); ++i) {
    QString sample = image_dir + QString("/%1-screen-%2.png").arg(app.slug).arg(i);
    if (QFileInfo::exists(sample)) refs << localRef(sample);
  }
  if (refs.isEmpty()) {
    refs << localRef(QDir::current().absoluteFilePath("icon/banner_default.png"))
         << localRef(QDir::current().absoluteFilePath("icon/icon-nelt-store.png"));
  }
  return refs;
}

void save(QWidget* w, const QString& name) {
  w->show();
  w->ensurePolished();
  QApplication::processEvents();
  QPixmap pix = w->grab();
  QString path = out_dir + "/" + name + ".png";
  if (pix.isNull() || !pix.save(path, "PNG")) {
    std::fprintf(stderr, "cannot render %s\n", qPrintable(path));
    ++failures;
    return;
  }
  std::printf("%s\n", qPrintable(path));
}

// A white backdrop with room for the tiles' drop shadows.
std::unique_ptr<QWidget> backdrop(QWidget* content) {
  auto box = std::make_unique<QWidget>();
  box->setStyleSheet("background-color: #ffffff;");
  auto* layout = new QVBoxLayout(box.get());
  layout->setContentsMargins(15, 15, 15, 15);
  layout->addWidget(content);
  return box;
}

FrameItemV* wideTile(const SampleApp& app, bool installed) {
  auto* tile = new FrameItemV();
  tile->setSize(890, 130);
  tile->setID(app.id);
  tile->setName(QString::fromUtf8(app.name), app.slug);
  tile->setDesc(QString::fromUtf8(app.desc));
  tile->setIcon(iconRef(app));
  tile->setVersion(app.version);
  if (installed) {
    tile->useButton("Launch");
    tile->useButton("Remove");
    if (*app.new_version) tile->setNewVersion(app.new_version);
  } else {
    tile->useButton("Install");
  }
  return tile;
}

FrameItemH* smallTile(const SampleApp& app) {
  auto* tile = new FrameItemH();
  tile->setSize(113, 150);
  tile->setID(app.id);
  tile->setIcon(iconRef(app));
  tile->setName(QString::fromUtf8(app.name), app.slug);
  return tile;
}

SectionFrame* strip(int id, const char* name, int first, int count) {
  auto* frame = new SectionFrame();
  frame->init(990, 200, QString::fromUtf8(name));
  frame->resizeItemLayout(980, 180);
  frame->setID(id);
  const int n = int(sizeof(APPS) / sizeof(APPS[0]));
  for (int j = 0; j < count && j < 8; ++j) {
    FrameItemH* tile = smallTile(APPS[(first + j) % n]);
    frame->apps.push_back(tile);
    frame->addItem(tile);
  }
  return frame;
}

void renderTiles() {
  {
    auto box = backdrop(wideTile(APPS[1], true));
    save(box.get(), "frame_item_v");
  }
  {
    auto box = backdrop(wideTile(APPS[5], false));
    save(box.get(), "frame_item_v_install");
  }
  {
    auto box = backdrop(smallTile(APPS[3]));
    save(box.get(), "frame_item_h");
  }
  {
    auto box = backdrop(strip(7, "Văn phòng và học tập", 0, 8));
    save(box.get(), "section_frame");
  }
}

void fillDetail(AppDetailView& page, const SampleApp& app, bool installing) {
  Ui_AppDetailView* ui = page.ui;
  ui->nameapp->setText(QString::fromUtf8(app.name));
  ui->version->setText(app.version);
  ui->description->setText(QString::fromUtf8(app.desc) +
                           QString::fromUtf8("\nDữ liệu được lưu ngay trên máy của bạn, không "
                                             "cần tài khoản trực tuyến."));
  page.setIcon(iconRef(app));
  page.setRating(app.rating);
  for (const QString& shot : shotRefs(app)) {
    auto* thumb = new TWallpapperWidget();
    thumb->setSize(140, 80);
    thumb->setWallpaper(shot);
    ui->horizontalLayout_2->addWidget(thumb);
    page.wallpapers.push_back(thumb);
  }
  if (!page.wallpapers.empty()) {
    page.setWallpaper(page.wallpapers.front()->getWallpaper());
    page.wallpapers.front()->setStyleSheet("border: 3px solid #75FF08");
  }
  if (installing) {
    ui->buttonLaunch->hide();
    ui->buttonInstall->show();
    ui->buttonInstall->enable(false);
    ui->buttonRemove->enable(false);
    ui->buttonUpdate->enable(false);
    ui->progressBar->setValue(40);
    ui->progressBar->show();
    ui->label_state->hide();
  } else {
    ui->buttonInstall->hide();
    ui->buttonLaunch->show();
    ui->buttonLaunch->enable(true);
    ui->buttonRemove->enable(true);
    ui->buttonUpdate->enable(false);
    ui->progressBar->hide();
    ui->label_state->hide();
  }
}

void renderPages() {
  {
    AppDetailView page;
    fillDetail(page, APPS[1], false);
    save(&page, "app_detail_view");
  }
  {
    AppDetailView page;
    fillDetail(page, APPS[3], true);
    save(&page, "app_detail_view_installing");
  }
  {
    HomeView page;
    page.setBannerLocal("./icon/banner_default.png");
    page.ui->verticalLayoutSections_2->addWidget(strip(2, "Ứng dụng nổi bật", 0, 6));
    page.ui->verticalLayoutSections_2->addWidget(strip(5, "Tiện ích hệ thống", 2, 8));
    page.ui->verticalLayoutSections_2->addWidget(strip(12, "Giải trí", 4, 5));
    save(&page, "home_view");
  }
  {
    ListAppsView page;
    const int shown = 5;
    for (int i = 0; i < shown; ++i) {
      FrameItemV* tile = wideTile(APPS[i], true);
      page.apps.push_back(tile);
      page.addItem(tile);
    }
    page.num_apps = shown;
    page.setName(QString::fromUtf8("Danh sách ứng dụng đã cài đặt (%1)").arg(shown));
    save(&page, "list_apps_view");
  }
  {
    AccountView page;
    save(&page, "account_view");
  }
  {
    AccountView page;
    page.ui->lb_name->setText(QString::fromUtf8("Nguyễn Thị Hồng Nhung"));
    page.ui->frameLogined->show();
    save(&page, "account_view_signed_in");
  }
  {
    SettingView page;
    save(&page, "setting_view");
  }
}

QString findImageDir(const QStringList& args) {
  int at = args.indexOf("--images");
  if (at >= 0 && at + 1 < args.size()) return QDir(args[at + 1]).absolutePath();
  QString root = qEnvironmentVariable("NELT_SOURCE_DIR", NELT_GALLERY_SOURCE_DIR);
  QString dir = root + "/catalog/sample/images";
  return QFileInfo::exists(dir) ? dir : QString();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QStringList args = QApplication::arguments();
  if (args.size() < 2 || args[1].startsWith("--")) {
    std::fprintf(stderr, "usage: nelt-widget-gallery OUTDIR [--images DIR]\n");
    return 2;
  }
  out_dir = QDir(args[1]).absolutePath();
  if (!QDir().mkpath(out_dir)) {
    std::fprintf(stderr, "cannot create %s\n", qPrintable(out_dir));
    return 1;
  }
  image_dir = findImageDir(args);
  QDir::setCurrent(QApplication::applicationDirPath());
  // A face with the Vietnamese letters, whatever the machine's default is.
  QApplication::setFont(QFont("DejaVu Sans", 10));

  renderTiles();
  renderPages();
  return failures == 0 ? 0 : 1;
}
