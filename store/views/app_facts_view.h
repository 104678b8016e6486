// The facts before install on the detail page, in the left column under the
// version: download size, developer, licence and last update, each a
// caption over its value in the look of the version above them. A fact
// without a value is not shown at all. Values are plain text.
#pragma once

#include <QString>
#include <QWidget>

class QLabel;

class AppFactsView : public QWidget {
  Q_OBJECT
 public:
  explicit AppFactsView(QWidget* parent = nullptr);

  // Shows the given facts (already in the words a person reads); an empty
  // one hides its row.
  void setFacts(const QString& size, const QString& developer, const QString& license,
                const QString& updated);
  void clearFacts();

 private:
  struct Row {
    QLabel* caption = nullptr;
    QLabel* value = nullptr;
  };
  Row addRow(const QString& caption, const QString& name);
  static void showRow(const Row& row, const QString& value);

  Row size_, developer_, license_, updated_;
};
