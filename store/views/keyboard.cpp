#include "keyboard.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QScrollArea>
#include <algorithm>
#include <vector>

namespace {

// Presses a button on Enter or Return, as Space would.
class EnterClicks : public QObject {
 public:
  using QObject::QObject;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override {
    if (event->type() != QEvent::KeyPress) return false;
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->modifiers() & ~Qt::KeypadModifier) return false;
    if (key->key() != Qt::Key_Return && key->key() != Qt::Key_Enter) return false;
    auto* button = qobject_cast<QAbstractButton*>(watched);
    if (button == nullptr || !button->isEnabled()) return false;
    button->click();
    return true;
  }
};

}  // namespace

namespace {

// The painted ring; it takes no focus and no mouse.
class RingWidget : public QWidget {
 public:
  explicit RingWidget(QWidget* parent) : QWidget(parent) {
    setObjectName("focusRing");
    setAttribute(Qt::WA_TransparentForMouseEvents);
    setAttribute(Qt::WA_NoSystemBackground);
    setFocusPolicy(Qt::NoFocus);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(Qt::NoBrush);
    // The green band, with a white line inside it: it shows on the white
    // tiles and fields as on the green buttons.
    QPen band{QColor(FocusRing::COLOR)};
    band.setWidth(FocusRing::WIDTH);
    painter.setPen(band);
    const qreal outer = FocusRing::WIDTH / 2.0;
    painter.drawRoundedRect(QRectF(rect()).adjusted(outer, outer, -outer, -outer), 6, 6);
    QPen line{QColor("#ffffff")};
    line.setWidth(2);
    painter.setPen(line);
    const qreal inner = FocusRing::WIDTH + 1.0;
    painter.drawRoundedRect(QRectF(rect()).adjusted(inner, inner, -inner, -inner), 4, 4);
  }
};

}  // namespace

FocusRing::FocusRing(QWidget* top) : QObject(top), window(top) {}

FocusRing* FocusRing::follow(QWidget* top) {
  auto* manager = new FocusRing(top);
  QObject::connect(qApp, &QApplication::focusChanged, manager,
                   [manager](QWidget*, QWidget* now) { manager->mark(now); });
  manager->mark(QApplication::focusWidget());
  return manager;
}

void FocusRing::mark(QWidget* widget) {
  if (marked != nullptr) marked->removeEventFilter(this);
  marked = nullptr;
  if (widget == nullptr || window == nullptr || widget->window() != window) {
    if (ring != nullptr) ring->hide();
    return;
  }
  marked = widget;
  if (ring == nullptr) ring = new RingWidget(widget);
  ring->setParent(widget);
  ring->setGeometry(widget->rect());
  widget->installEventFilter(this);
  ring->raise();
  ring->show();
  // A widget reached by the keyboard scrolls into view.
  for (QWidget* up = widget->parentWidget(); up != nullptr; up = up->parentWidget()) {
    if (auto* area = qobject_cast<QScrollArea*>(up)) {
      if (area->widget() != nullptr && area->widget()->isAncestorOf(widget))
        area->ensureWidgetVisible(widget, 8, 8);
    }
  }
}

bool FocusRing::eventFilter(QObject* watched, QEvent* event) {
  if (watched != marked || ring == nullptr) return false;
  if (event->type() == QEvent::Resize) ring->setGeometry(marked->rect());
  if (event->type() == QEvent::ChildAdded || event->type() == QEvent::Show) ring->raise();
  return false;
}

void clickOnEnter(QAbstractButton* button) {
  static EnterClicks* filter = nullptr;
  if (filter == nullptr) filter = new EnterClicks(qApp);
  button->installEventFilter(filter);
}

bool isActivateKey(const QKeyEvent* event) {
  if (event->modifiers() & ~Qt::KeypadModifier) return false;
  return event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter ||
         event->key() == Qt::Key_Space;
}

bool moveAmongSiblings(QWidget* tile, const QKeyEvent* event, const char* class_name) {
  if (event->modifiers() & ~Qt::KeypadModifier) return false;
  int step = 0;
  switch (event->key()) {
    case Qt::Key_Left:
    case Qt::Key_Up:
      step = -1;
      break;
    case Qt::Key_Right:
    case Qt::Key_Down:
      step = 1;
      break;
    default:
      return false;
  }
  QWidget* parent = tile->parentWidget();
  if (parent == nullptr) return false;
  std::vector<QWidget*> tiles;
  for (QObject* child : parent->children()) {
    auto* w = qobject_cast<QWidget*>(child);
    if (w != nullptr && w->inherits(class_name) && !w->isHidden()) tiles.push_back(w);
  }
  std::stable_sort(tiles.begin(), tiles.end(), [](QWidget* a, QWidget* b) {
    if (a->y() != b->y()) return a->y() < b->y();
    return a->x() < b->x();
  });
  auto at = std::find(tiles.begin(), tiles.end(), tile);
  if (at == tiles.end()) return false;
  const long index = (at - tiles.begin()) + step;
  if (index < 0 || index >= static_cast<long>(tiles.size())) return true;  // stays at the end
  tiles[static_cast<size_t>(index)]->setFocus(Qt::TabFocusReason);
  return true;
}
