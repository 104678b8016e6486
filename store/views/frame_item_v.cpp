#include "frame_item_v.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include "drop_shadow.h"
#include "image_fetch.h"
#include "store_globals.h"

using nelt::window::currentInstall;

namespace {

// The looks of the tile's parts, by their names, in the tile's one style
// sheet: a sheet of each part's own made every tile parse and apply a dozen.
const char* const PART_STYLES =
    "#lb_icon { border-radius: 10px; }"
    "#lb_name { color: #000000; font-size: 15pt; }"
    "#lb_vesion { color: rgb(52, 101, 164); }"
    "#lb_new_version { color: #52C41A; }"
    "#lb_desc { padding: 0px 10px; }"
    "#bt_Launch, #bt_Remove, #bt_Update, #bt_Install {"
    " background-color: #dfdfdf; border: 1px outset gray; border-radius: 5px; }"
    "#line_v, #line_v2 { background-color: #cfcfcf; }";

// The tile's sheet: `background` for the tile and everything in it, then
// the parts' own looks.
QString tileSheet(const QString& background) {
  return "* { " + background + " }" + QLatin1String(PART_STYLES);
}

}  // namespace

FrameItemV::FrameItemV(QWidget* parent) : AppTile(parent) {
  setObjectName("FrameItemV");
  lb_icon = new TLabel();
  lb_name = new TLabel();
  lb_vesion = new TLabel();
  lb_new_version = new TLabel();
  lb_desc = new TLabel();
  bt_Launch = new TPushButton("Mở");
  bt_Remove = new TPushButton("Xóa");
  bt_Update = new TPushButton("Cập nhật");
  bt_Install = new TPushButton("Cài đặt");
  fr_name = new TFrame();
  fr_button = new TFrame();
  line_v = new TFrame();
  line_v2 = new TFrame();
  layout = new QHBoxLayout();
  layout_button = new QVBoxLayout();
  layout_name = new QVBoxLayout();

  nameParts();

  // Store text, shown as it is written: never markup.
  for (TLabel* lb : {lb_name, lb_vesion, lb_new_version, lb_desc}) lb->setTextFormat(Qt::PlainText);
  lb_name->setText("None");
  lb_name->setAlignment(Qt::AlignLeft);
  lb_name->setWordWrap(true);
  lb_vesion->setText("v0.0.0");
  lb_vesion->setAlignment(Qt::AlignLeft);
  lb_desc->setText("Description");
  lb_desc->setAlignment(Qt::AlignLeft);
  lb_desc->setWordWrap(true);
  for (TFrame* line : {line_v, line_v2}) line->setFixedWidth(2);
  line_v2->hide();

  layout_name->addWidget(lb_name);
  layout_name->addWidget(lb_vesion);
  layout_name->setAlignment(Qt::AlignTop);
  fr_name->setLayout(layout_name);
  fr_button->setLayout(layout_button);

  layout->setSpacing(0);
  layout->addWidget(lb_icon);
  layout->addWidget(fr_name);
  layout->addWidget(line_v);
  layout->addWidget(lb_desc);
  layout->addWidget(line_v2);
  layout->addWidget(fr_button);
  setLayout(layout);

  // The button frame starts collapsed and no operation of the tile opens it.
  fr_button->setFixedHeight(0);

  // Clicks anywhere on the tile land on the tile itself.
  for (QWidget* w : std::initializer_list<QWidget*>{lb_icon, fr_name, line_v, lb_desc, line_v2}) {
    w->setAttribute(Qt::WA_TransparentForMouseEvents);
  }
  lb_icon->setAutoFillBackground(true);

  setStyleSheet(tileSheet("background-color: #ffffff; border-radius: 10px;"));
  shadows::cast(this, QColor("#cfcfcf"), 10, QPoint(5, 5));

  connect(this, &FrameItemV::clickRight, this, &FrameItemV::onClickRight);
}

// Tests and style sheets find the parts by these names.
void FrameItemV::nameParts() {
  lb_icon->setObjectName("lb_icon");
  lb_name->setObjectName("lb_name");
  lb_vesion->setObjectName("lb_vesion");
  lb_new_version->setObjectName("lb_new_version");
  lb_desc->setObjectName("lb_desc");
  bt_Launch->setObjectName("bt_Launch");
  bt_Remove->setObjectName("bt_Remove");
  bt_Update->setObjectName("bt_Update");
  bt_Install->setObjectName("bt_Install");
  fr_name->setObjectName("fr_name");
  fr_button->setObjectName("fr_button");
  line_v->setObjectName("line_v");
  line_v2->setObjectName("line_v2");
}

FrameItemV::~FrameItemV() {
  // Placed buttons are children of the button frame and go with it; the
  // others were never given a parent and belong to the tile alone.
  for (TPushButton* bt : {bt_Launch, bt_Remove, bt_Update, bt_Install}) {
    if (!bt->parent()) delete bt;
  }
  // lb_new_version joins the layout only through setNewVersion.
  if (!lb_new_version->parent()) delete lb_new_version;
}

void FrameItemV::setID(int value) {
  id = value;
  bt_Launch->setIDApp(value);
  bt_Remove->setIDApp(value);
  bt_Update->setIDApp(value);
}

void FrameItemV::setName(QString name, QString slug) {
  lb_name->setText(shortenText(displayText(name), NAME_LIMIT));
  name_app = slug.toStdString();
  // What a screen reader announces for the row and its buttons.
  setAccessibleName(displayText(name));
  for (TPushButton* bt : {bt_Launch, bt_Remove, bt_Update, bt_Install}) {
    bt->setNameApp(name_app);
    bt->setAccessibleName(bt->text() + " " + displayText(name));
  }
}

void FrameItemV::setVersion(QString version) {
  lb_vesion->setText("Phiên bản: " + displayText(version));
  cur_ver_app = version.toStdString();
}

void FrameItemV::setNewVersion(QString version) {
  new_ver_app = version.toStdString();
  lb_new_version->setText(
      version.isEmpty() ? QString() : QString("Phiên bản mới v%1").arg(displayText(version)));
  lb_new_version->setAlignment(Qt::AlignLeft);
  if (layout_name->indexOf(lb_new_version) < 0) layout_name->addWidget(lb_new_version);
}

void FrameItemV::setDesc(QString desc) {
  lb_desc->setText(shortenText(displayText(desc, true), DESC_LIMIT));
}

void FrameItemV::setSize(int w, int h) {
  setFixedSize(w, h);
  lb_icon->setFixedSize(qMax(0, h - 10), qMax(0, h - 10));
  // At least one whole line of the 15-point name, descenders and tone marks
  // included.
  lb_name->setFixedHeight(qMax(20, lineHeight(lb_name)));
  fr_name->setFixedSize(qMax(0, 2 * h), qMax(0, h - 20));
  lb_desc->setFixedSize(qMax(0, w - 3 * h - 20), qMax(0, h - 30));
  for (TPushButton* bt : {bt_Launch, bt_Remove, bt_Update, bt_Install}) {
    bt->setFixedHeight(h / 4);
  }
  w_frame_button = h;
  h_frame_button = h - 20;
}

void FrameItemV::setIcon(QString icon) {
  icon_wanted = icon;
  if (takeLocalPath(icon)) {
    lb_icon->setPixmap(scaledPixmap(loadImageFile(icon), lb_icon->size()));
    return;
  }
  const QString asked = icon_wanted;
  ImageFetch::fetch(ImageFetch::storeAddress("icon", icon), this,
                    [this, asked](int result, const QByteArray& bytes) {
                      // On failure the label keeps what it showed.
                      if (result != ImageFetch::FETCH_OK || asked != icon_wanted) return;
                      QPixmap pix =
                          scaledPixmap(QPixmap::fromImage(decodeImage(bytes)), lb_icon->size());
                      if (!pix.isNull()) {
                        lb_icon->clear();
                        lb_icon->setPixmap(pix);
                      }
                    });
}

void FrameItemV::useButton(QString which) {
  TPushButton* bt = nullptr;
  if (which == "Launch") {
    bt = bt_Launch;
  } else if (which == "Remove") {
    bt = bt_Remove;
  } else if (which == "Update") {
    bt = bt_Update;
  } else if (which == "Install") {
    bt = bt_Install;
  }
  if (bt && layout_button->indexOf(bt) < 0) layout_button->addWidget(bt);
}

void FrameItemV::onClickRight() {
  if (flag_highlight) {
    flag_highlight = false;
    restoreBackground();
    return;
  }
  ensurePolished();
  color_save = palette().color(backgroundRole());
  setStyleSheet(tileSheet("background-color: white;"));
  // Square corners now: the shadow follows.
  shadows::refresh(this);
  flag_highlight = true;
  // One install at a time: while any application installs, no other tile
  // offers to install.
  std::string installing = currentInstall();
  bt_Install->setEnabled(installing.empty());
  bt_Install->setText(!installing.empty() && installing == name_app ? "Đang cài đặt" : "Cài đặt");
}

void FrameItemV::onLeave() {
  if (!flag_highlight) return;
  flag_highlight = false;
  fr_button->setFixedHeight(0);
  line_v2->hide();
  restoreBackground();
}

void FrameItemV::restoreBackground() {
  setStyleSheet(tileSheet(QString("background-color: rgb(%1, %2, %3);")
                              .arg(color_save.red())
                              .arg(color_save.green())
                              .arg(color_save.blue())));
  shadows::refresh(this);
}
