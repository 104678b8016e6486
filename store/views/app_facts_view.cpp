#include "app_facts_view.h"

#include <QLabel>
#include <QVBoxLayout>

AppFactsView::AppFactsView(QWidget* parent) : QWidget(parent) {
  setObjectName("appFacts");
  setAttribute(Qt::WA_TranslucentBackground);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 8, 0, 0);
  layout->setSpacing(2);
  size_ = addRow("Dung lượng tải về:", "fact_size");
  developer_ = addRow("Nhà phát triển:", "fact_developer");
  license_ = addRow("Giấy phép:", "fact_license");
  updated_ = addRow("Cập nhật lần cuối:", "fact_updated");
  clearFacts();
}

AppFactsView::Row AppFactsView::addRow(const QString& caption, const QString& name) {
  Row row;
  row.caption = new QLabel(caption, this);
  row.caption->setObjectName(name + "_caption");
  row.caption->setTextFormat(Qt::PlainText);
  // The column's own background shows through, as under the version.
  row.caption->setStyleSheet("background: transparent;");
  row.value = new QLabel(this);
  row.value->setObjectName(name);
  // Store text: never markup, and long names wrap inside the column.
  row.value->setTextFormat(Qt::PlainText);
  row.value->setWordWrap(true);
  QFont font = row.value->font();
  font.setPointSize(11);
  row.value->setFont(font);
  row.value->setStyleSheet("color: rgb(52, 101, 164); background: transparent;");
  layout()->addWidget(row.caption);
  layout()->addWidget(row.value);
  return row;
}

void AppFactsView::showRow(const Row& row, const QString& value) {
  row.value->setText(value);
  row.caption->setVisible(!value.isEmpty());
  row.value->setVisible(!value.isEmpty());
}

void AppFactsView::setFacts(const QString& size, const QString& developer, const QString& license,
                            const QString& updated) {
  showRow(size_, size);
  showRow(developer_, developer);
  showRow(license_, license);
  showRow(updated_, updated);
}

void AppFactsView::clearFacts() { setFacts(QString(), QString(), QString(), QString()); }
