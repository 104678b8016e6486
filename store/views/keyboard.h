// Keyboard use of the window: the focus ring painted over whatever holds the
// keyboard focus, Enter on plain push buttons, and the keys that activate a
// tile or a link and move between the tiles of a strip or list.
#pragma once

#include <QObject>
#include <QPointer>
#include <QWidget>

class QAbstractButton;
class QKeyEvent;

// A ring of the window's green (#52C41A, lined with white so that it shows
// on green buttons too) drawn on top of the focused widget, inside its edges, so it shows whatever
// the widget paints itself. It moves with the focus inside `window` and ignores the mouse. The ring
// widget ("focusRing") is a child of the focused widget while shown; it
// goes with that widget and is made again on the next focus change.
class FocusRing : public QObject {
  Q_OBJECT
 public:
  static constexpr const char* COLOR = "#52C41A";
  static constexpr int WIDTH = 3;

  // Follows the focus inside `window` from now on; owned by `window`.
  static FocusRing* follow(QWidget* window);

  // The widget the ring marks now; null when none is.
  QWidget* target() const { return marked; }

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  explicit FocusRing(QWidget* window);
  void mark(QWidget* widget);

  QPointer<QWidget> window;
  QPointer<QWidget> marked;
  QPointer<QWidget> ring;
};

// Enter and Return press `button` as Space does (plain push buttons react to
// Space only outside dialogs).
void clickOnEnter(QAbstractButton* button);

// Enter, Return or Space without modifiers.
bool isActivateKey(const QKeyEvent* event);

// Arrow keys among the tiles that share `tile`'s parent, in reading order
// (top to bottom, left to right): Left/Up the one before, Right/Down the one
// after. True when the key moved the focus.
bool moveAmongSiblings(QWidget* tile, const QKeyEvent* event, const char* class_name);
