#include "update_all_panel.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include "app_detail_view.h"
#include "styles.h"
#include "twidget.h"

namespace {

constexpr int BAR_HEIGHT = 40;
constexpr int DETAILS_HEIGHT = 104;

}  // namespace

UpdateAllPanel::UpdateAllPanel(QWidget* parent) : QWidget(parent) {
  setObjectName("updateAllPanel");
  auto* column = new QVBoxLayout(this);
  column->setContentsMargins(20, 4, 20, 4);
  column->setSpacing(4);
  auto* row = new QHBoxLayout();
  row->setSpacing(10);

  state = new QLabel(this);
  state->setObjectName("labelUpdateAllState");
  state->setTextFormat(Qt::PlainText);
  state->setStyleSheet("color: #404040;");
  progress = new QProgressBar(this);
  progress->setObjectName("progressUpdateAll");
  progress->setAccessibleName("Tiến độ cập nhật tất cả");
  progress->setRange(0, 100);
  progress->setFixedSize(210, 21);
  QFont small = progress->font();
  small.setPointSize(7);
  progress->setFont(small);
  progress->setStyleSheet(PROGRESS_STYLE);
  button = new TPushButton(this);
  button->setObjectName("buttonUpdateAll");
  button->setText("Cập nhật tất cả");
  QFont bold = button->font();
  bold.setBold(true);
  button->setFont(bold);
  // Wide enough for its bold text in whatever font the desktop has.
  button->setFixedSize(QFontMetrics(bold).horizontalAdvance(button->text()) + 28, 30);
  // The look of the detail page's Update button.
  button->setDefaultStyle(AppDetailView::STYLE_ORANGE);
  row->addWidget(state, 1);
  row->addWidget(progress);
  row->addWidget(button);
  column->addLayout(row);

  apps = new QLabel();
  apps->setObjectName("labelUpdateAllApps");
  apps->setTextFormat(Qt::PlainText);
  apps->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  apps->setStyleSheet("color: #404040; background-color: #f7f7f7; padding: 4px;");
  details = new QScrollArea(this);
  details->setObjectName("scrollUpdateAll");
  details->setWidgetResizable(true);
  details->setWidget(apps);
  details->setStyleSheet("border: none;");
  details->verticalScrollBar()->setStyleSheet(SCROLL_STYLE_LIST);
  column->addWidget(details);
  setIdle(0);
}

void UpdateAllPanel::showDetails(bool on) {
  details->setVisible(on);
  setFixedHeight(on ? BAR_HEIGHT + DETAILS_HEIGHT : BAR_HEIGHT);
}

void UpdateAllPanel::setIdle(int updates) {
  button->enable(updates > 0);
  progress->hide();
  // A summary stays readable; without one the bar is just the button.
  if (apps->text().isEmpty()) {
    state->clear();
    showDetails(false);
  }
}

void UpdateAllPanel::showProgress(int overall, const QString& text, const QStringList& lines) {
  button->enable(false);
  progress->setValue(overall);
  progress->show();
  state->setStyleSheet("color: #404040;");
  state->setText(displayText(text));
  apps->setText(displayText(lines.join('\n'), true));
  showDetails(true);
}

void UpdateAllPanel::showSummary(const QString& summary, bool all_ok, const QStringList& lines) {
  progress->setValue(100);
  progress->hide();
  state->setStyleSheet(all_ok ? "color: green;" : "color: #D51535;");
  state->setText(displayText(summary));
  apps->setText(displayText(lines.join('\n'), true));
  showDetails(true);
}
