// What the window shows while its service is not running: a white sheet over
// the pages with the reason, what happens next and a retry button. The
// sheet follows the size of the widget it covers.
#pragma once

#include <QFrame>

class QLabel;
class QPushButton;

class ServiceDownView : public QFrame {
  Q_OBJECT
 public:
  // Covers `covered` (its child) while shown; hidden at first.
  explicit ServiceDownView(QWidget* covered);

  QLabel* label_title;
  QLabel* label_detail;
  QPushButton* button_retry;

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
};
