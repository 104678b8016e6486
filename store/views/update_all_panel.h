// The "Cập nhật tất cả" bar of the updates page: the button, the overall
// progress of an update of every application, one line per application
// while it runs, and what was updated and what failed once it is over.
// The texts come from the controller; every label is plain text.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class QLabel;
class QProgressBar;
class QScrollArea;
class TPushButton;

class UpdateAllPanel : public QWidget {
  Q_OBJECT
 public:
  explicit UpdateAllPanel(QWidget* parent = nullptr);

  // Nothing running: the button is usable when `updates` is above zero;
  // the last summary, if any, stays until the next run.
  void setIdle(int updates);
  // A run: the overall percentage, its state text and one line per
  // application.
  void showProgress(int overall, const QString& state, const QStringList& apps);
  // The end of a run: the summary and the final line of each application.
  void showSummary(const QString& summary, bool all_ok, const QStringList& apps);

  TPushButton* button;
  QProgressBar* progress;
  QLabel* state;
  QLabel* apps;

 private:
  void showDetails(bool on);

  QScrollArea* details;
};
