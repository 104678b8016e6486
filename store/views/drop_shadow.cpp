#include "drop_shadow.h"

#include <QCache>
#include <QCryptographicHash>
#include <QEvent>
#include <QHash>
#include <QImage>
#include <QPaintEvent>
#include <QPainter>
#include <QPointer>
#include <QWidget>

// QtWidgets' blur, the one its drop shadow and blur effects use (exported,
// declared in a private header): the shadows look exactly as they did with
// the effect.
void qt_blurImage(QPainter* p, QImage& blurImage, qreal radius, bool quality, bool alphaOnly,
                  int transposed);

namespace {

constexpr const char* LAYER_NAME = "dropShadows";
constexpr const char* CASTER_NAME = "dropShadowCaster";

struct Look {
  QColor color;
  int blur = 0;
  QPoint offset;
};

// The shadow's extent around a widget at `r`, as the effect pads its
// pixmap: the widget itself and the moved rectangle grown by the blur.
QRect shadowArea(const QRect& r, const Look& look) {
  return r.united(r.translated(look.offset).adjusted(-look.blur, -look.blur, look.blur, look.blur));
}

// Made shadows by outline and look, shared by every widget of that outline
// (the tiles of a list share one). The cost is in bytes.
QCache<QByteArray, QImage>& madeShadows() {
  static QCache<QByteArray, QImage> cache(8 * 1024 * 1024);
  return cache;
}

// The shadow of `widget` as painted now, placed at the widget's top left
// plus `origin`. Drawn as QPixmapDropShadowFilter draws it: the widget's
// alpha, moved, blurred and filled with the colour.
QImage makeShadow(QWidget* widget, const Look& look, QPoint& origin) {
  const QRect area = shadowArea(QRect(QPoint(0, 0), widget->size()), look);
  origin = area.topLeft();
  QImage drawn(area.size(), QImage::Format_ARGB32_Premultiplied);
  drawn.fill(Qt::transparent);
  widget->render(&drawn, -area.topLeft(), QRegion(), QWidget::DrawChildren);

  const QImage alpha = drawn.convertToFormat(QImage::Format_Alpha8);
  QCryptographicHash hash(QCryptographicHash::Md5);
  hash.addData(reinterpret_cast<const char*>(alpha.constBits()),
               static_cast<int>(alpha.sizeInBytes()));
  const QByteArray key =
      hash.result() + QByteArray::number(area.width()) + 'x' + QByteArray::number(area.height()) +
      look.color.name(QColor::HexArgb).toLatin1() + ' ' + QByteArray::number(look.blur) + ' ' +
      QByteArray::number(look.offset.x()) + ',' + QByteArray::number(look.offset.y());
  if (const QImage* known = madeShadows().object(key)) return *known;

  QImage moved(drawn.size(), QImage::Format_ARGB32_Premultiplied);
  moved.fill(0);
  QPainter painter(&moved);
  painter.setCompositionMode(QPainter::CompositionMode_Source);
  painter.drawImage(look.offset, drawn);
  painter.end();
  QImage blurred(moved.size(), QImage::Format_ARGB32_Premultiplied);
  blurred.fill(0);
  painter.begin(&blurred);
  qt_blurImage(&painter, moved, look.blur, false, true, 0);
  painter.end();
  painter.begin(&blurred);
  painter.setCompositionMode(QPainter::CompositionMode_SourceIn);
  painter.fillRect(blurred.rect(), look.color);
  painter.end();
  madeShadows().insert(key, new QImage(blurred), static_cast<int>(blurred.sizeInBytes()));
  return blurred;
}

class Caster;

// The layer of one parent widget: as large as the parent, below its other
// children, transparent to the mouse and the keyboard.
class ShadowLayer : public QWidget {
 public:
  explicit ShadowLayer(QWidget* parent) : QWidget(parent) {
    setObjectName(LAYER_NAME);
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setFocusPolicy(Qt::NoFocus);
    setGeometry(parent->rect());
    lower();
    parent->installEventFilter(this);
    show();
  }

  static ShadowLayer* of(QWidget* parent) {
    for (QObject* child : parent->children()) {
      if (child->objectName() == QLatin1String(LAYER_NAME))
        if (auto* layer = dynamic_cast<ShadowLayer*>(child)) return layer;
    }
    return new ShadowLayer(parent);
  }

  void add(QWidget* widget, const Look& look) {
    Entry& e = entries[widget];
    e.widget = widget;
    e.look = look;
    e.image = QImage();
    widget->installEventFilter(this);
    _touch(e);
  }

  void remove(QWidget* widget) {
    auto it = entries.find(widget);
    if (it == entries.end()) return;
    update(it->painted);
    entries.erase(it);
  }

  void reshape(QWidget* widget) {
    auto it = entries.find(widget);
    if (it == entries.end()) return;
    it->image = QImage();
    update(it->painted);
    _touch(*it);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == parentWidget()) {
      if (event->type() == QEvent::Resize) setGeometry(parentWidget()->rect());
      return false;
    }
    switch (event->type()) {
      case QEvent::Move:
      case QEvent::Resize:
      case QEvent::Show:
      case QEvent::Hide: {
        auto it = entries.find(static_cast<QWidget*>(watched));
        if (it != entries.end()) {
          if (event->type() == QEvent::Resize) it->image = QImage();
          _touch(*it);
        }
        break;
      }
      default:
        break;
    }
    return false;
  }

  void paintEvent(QPaintEvent* event) override {
    QPainter painter(this);
    for (Entry& e : entries) {
      if (e.widget.isNull() || e.widget->isHidden()) continue;
      const QRect area = shadowArea(e.widget->geometry(), e.look);
      if (!event->region().intersects(area)) continue;
      if (e.image.isNull()) e.image = makeShadow(e.widget, e.look, e.origin);
      painter.drawImage(e.widget->pos() + e.origin, e.image);
    }
  }

 private:
  struct Entry {
    QPointer<QWidget> widget;
    Look look;
    QImage image;
    QPoint origin;
    QRect painted;  // where the shadow was last asked to be painted
  };

  // The shadow's old place and its new one are painted again.
  void _touch(Entry& e) {
    update(e.painted);
    e.painted = e.widget.isNull() || e.widget->isHidden()
                    ? QRect()
                    : shadowArea(e.widget->geometry(), e.look);
    update(e.painted);
  }

  QHash<QWidget*, Entry> entries;
};

// Rides on the casting widget: follows it from parent to parent.
class Caster : public QObject {
 public:
  Caster(QWidget* widget, const Look& look) : QObject(widget), widget(widget), look(look) {
    setObjectName(CASTER_NAME);
    widget->installEventFilter(this);
    _attach();
  }
  ~Caster() override {
    if (!layer.isNull()) layer->remove(widget);
  }

  static Caster* of(QWidget* widget) {
    for (QObject* child : widget->children()) {
      if (child->objectName() == QLatin1String(CASTER_NAME))
        if (auto* caster = dynamic_cast<Caster*>(child)) return caster;
    }
    return nullptr;
  }

  void setLook(const Look& value) {
    look = value;
    _attach();
  }

  void reshape() {
    if (!layer.isNull()) layer->reshape(widget);
  }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (watched == widget && event->type() == QEvent::ParentChange) _attach();
    return false;
  }

 private:
  void _attach() {
    if (!layer.isNull()) layer->remove(widget);
    layer = nullptr;
    if (QWidget* parent = widget->parentWidget()) {
      layer = ShadowLayer::of(parent);
      layer->add(widget, look);
    }
  }

  QWidget* widget;
  Look look;
  QPointer<ShadowLayer> layer;
};

}  // namespace

namespace shadows {

void cast(QWidget* widget, const QColor& color, int blur, const QPoint& offset) {
  const Look look{color, blur, offset};
  if (Caster* caster = Caster::of(widget)) {
    caster->setLook(look);
    return;
  }
  new Caster(widget, look);
}

void refresh(QWidget* widget) {
  if (Caster* caster = Caster::of(widget)) caster->reshape();
}

}  // namespace shadows
