#include "twidget.h"

#include <QKeyEvent>
#include <QMouseEvent>
#include <QTextBoundaryFinder>

#include "display_text.h"
#include "keyboard.h"

using nelt::window::KAVIX_APP_CURRENT;

namespace {

// Positions (in UTF-16 units) where each character of `text` ends.
QVector<int> characterEnds(const QString& text) {
  QVector<int> ends;
  QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
  while (finder.toNextBoundary() > 0) ends.push_back(finder.position());
  return ends;
}

}  // namespace

QString displayText(const QString& text, bool keep_newlines) {
  return QString::fromStdString(nelt::displayText(text.toStdString(), keep_newlines));
}

int textLength(const QString& text) { return characterEnds(text).size(); }

QString shortenText(const QString& text, int limit) {
  if (limit < 0) limit = 0;
  QVector<int> ends = characterEnds(text);
  if (ends.size() <= limit) return text;
  return text.left(limit == 0 ? 0 : ends[limit - 1]) + QStringLiteral("...");
}

int lineHeight(QLabel* label) {
  // Polishing applies the style sheet's font, padding and border.
  label->ensurePolished();
  const int chrome = label->height() - label->contentsRect().height();
  return label->fontMetrics().lineSpacing() + chrome;
}

void fitLineHeight(QLabel* label) {
  const int needed = lineHeight(label);
  if (label->height() >= needed) return;
  label->resize(label->width(), needed);
  if (label->minimumHeight() > 0 && label->minimumHeight() < needed)
    label->setMinimumHeight(needed);
  if (label->maximumHeight() < needed) label->setMaximumHeight(needed);
}

TWidget::TWidget(QWidget* parent) : QWidget(parent) {}

TFrame::TFrame(QFrame* parent) : QFrame(parent) {}

TLabel::TLabel(QLabel* parent) : QLabel(parent) {}

// The label's own handling (text selection, links) is deliberately skipped:
// these labels are click targets.
void TLabel::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    emit clickLeftDown();
  } else if (event->button() == Qt::RightButton) {
    emit clickRightDown();
  }
}

void TLabel::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) {
    emit clickLeftUp();
  } else if (event->button() == Qt::RightButton) {
    emit clickRightUp();
  }
}

const char* const TPushButton::STYLE_DISABLED =
    "color: #cfcfcf; background-color: #afafaf; border-radius: 5px;";

TPushButton::TPushButton(QWidget* parent) : QPushButton(parent) {}

TPushButton::TPushButton(QPushButton* parent) : QPushButton(parent) {}

TPushButton::TPushButton(const char* text) : QPushButton(QString::fromUtf8(text)) {}

void TPushButton::setIDApp(int id) { id_app = id; }

void TPushButton::setNameApp(std::string name) { name_app = std::move(name); }

void TPushButton::setDefaultStyle(QString style) { style_enable = std::move(style); }

void TPushButton::enable(bool on) {
  setEnabled(on);
  setStyleSheet(on ? style_enable : QString::fromLatin1(STYLE_DISABLED));
}

// Acts on the press and never shows the pressed look: receivers connected to
// clicked() learn the application from KAVIX_APP_CURRENT.
void TPushButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton) return;
  KAVIX_APP_CURRENT = std::to_string(id_app) + "&" + name_app;
  emit clicked(false);
}

void TPushButton::keyPressEvent(QKeyEvent* event) {
  if (!isActivateKey(event) || event->isAutoRepeat()) {
    QPushButton::keyPressEvent(event);
    return;
  }
  if (!isEnabled()) return;
  KAVIX_APP_CURRENT = std::to_string(id_app) + "&" + name_app;
  emit clicked(false);
}
