// Base widgets of the store window: thin subclasses of the Qt widgets on which
// every tile, strip and page widget is built.
#pragma once

#include <QFrame>
#include <QLabel>
#include <QPushButton>
#include <QString>
#include <QWidget>
#include <string>

#include "store_globals.h"

class QKeyEvent;
class QMouseEvent;

// Characters of `text` as a reader counts them: a Vietnamese letter with its
// tone mark is one character whether it is stored composed or not.
int textLength(const QString& text);
// `text` cut to its first `limit` characters followed by "..." when it is
// longer than `limit`; otherwise `text` itself.
QString shortenText(const QString& text, int limit);
// `text` from outside (the store, a package, the service) as it may be
// shown: control characters, bidirectional overrides and broken characters
// replaced; line breaks kept only with `keep_newlines`. Labels that show it
// also take it as plain text, never as markup.
QString displayText(const QString& text, bool keep_newlines = false);
// Height a label needs to show one line of its text uncut: the line box of
// the font it is drawn with (its style sheet included) plus its margins.
// Tall fonts (Noto, DejaVu) and Vietnamese tone marks need more room than
// the point size suggests.
int lineHeight(QLabel* label);
// Grows `label` downwards (top and width kept) when it is shorter than one
// line of its text.
void fitLineHeight(QLabel* label);

class TWidget : public QWidget {
  Q_OBJECT
 public:
  explicit TWidget(QWidget* parent = nullptr);
};

class TFrame : public QFrame {
  Q_OBJECT
 public:
  explicit TFrame(QFrame* parent = nullptr);
};

// A label that reports presses and releases of the left and right buttons.
class TLabel : public QLabel {
  Q_OBJECT
 public:
  explicit TLabel(QLabel* parent = nullptr);

 signals:
  void clickLeftUp();
  void clickLeftDown();
  void clickRightUp();
  void clickRightDown();

 protected:
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
};

// A push button that knows which application it acts on and acts on the
// press of the left button.
class TPushButton : public QPushButton {
  Q_OBJECT
 public:
  explicit TPushButton(QWidget* parent = nullptr);
  explicit TPushButton(QPushButton* parent);
  explicit TPushButton(const char* text);

  void setIDApp(int id);
  void setNameApp(std::string name);
  // Remembers the enabled look; applied by enable(true).
  void setDefaultStyle(QString style);
  // Enabled with its own look, or disabled and grey.
  void enable(bool on);

  int idApp() const { return id_app; }
  const std::string& nameApp() const { return name_app; }
  const QString& defaultStyle() const { return style_enable; }

  static const char* const STYLE_DISABLED;

 public slots:
  void mousePressEvent(QMouseEvent* event) override;

 protected:
  // Enter or Space acts as the press of the left button.
  void keyPressEvent(QKeyEvent* event) override;

 private:
  int id_app = 0;
  std::string name_app;
  QString style_enable;
};
