#include "update_all_flow.h"

#include <QDebug>
#include <QTimer>

#include "list_apps_view.h"
#include "service_client.h"
#include "twidget.h"
#include "update_all_panel.h"

namespace {

// The batch's progress is read this often; a download moves in steps that
// a person can follow at this pace.
constexpr int POLL_MS = 250;

QString qstr(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

UpdateAllFlow::UpdateAllFlow(Hooks h) : hooks(std::move(h)) {}

void UpdateAllFlow::setup(ListAppsView* updates_page, KavixModel* engine) {
  model = engine;
  panel = new UpdateAllPanel();
  updates_page->setHeader(panel);
  timer = new QTimer(this);
  timer->setInterval(POLL_MS);
  connect(timer, &QTimer::timeout, this, &UpdateAllFlow::poll);
  connect(panel->button, &QPushButton::clicked, this, &UpdateAllFlow::start);
}

void UpdateAllFlow::updatesShown(int count) {
  if (!running && panel != nullptr) panel->setIdle(count);
}

QString UpdateAllFlow::appLine(const KavixModel::BatchApp& app) {
  using Phase = KavixModel::BatchApp::Phase;
  QString state;
  switch (app.phase) {
    case Phase::WAITING:
      state = "Đang chờ";
      break;
    case Phase::DOWNLOADING:
      state = QString("Đang tải %1%").arg(app.percent);
      break;
    case Phase::CHECKING:
      state = "Đang kiểm tra gói";
      break;
    case Phase::READY:
      state = "Đã kiểm tra, chờ cài đặt";
      break;
    case Phase::INSTALLING:
      state = "Đang cài đặt";
      break;
    case Phase::INSTALLED:
      state = QString("Đã cập nhật lên %1").arg(qstr(app.version));
      break;
    case Phase::FAILED:
      state = QString(app.skipped ? "Bỏ qua: %1" : "Cập nhật lỗi: %1").arg(qstr(app.reason));
      break;
  }
  return QString("%1: %2").arg(qstr(app.slug), state);
}

void UpdateAllFlow::start() {
  if (running || model == nullptr) return;
  const std::vector<std::string> slugs =
      hooks.updates ? hooks.updates() : std::vector<std::string>();
  if (slugs.empty()) return;
  // The engine runs one job at a time and would hold the window until a
  // running install ends.
  if (hooks.busy && hooks.busy()) {
    panel->showSummary("Đang có một cài đặt khác, hãy thử lại sau khi nó xong", false, {});
    return;
  }
  const int r = model->installBatch(slugs);
  if (r == nelt::REPLY_NO_TOKEN) {
    if (hooks.signed_out) hooks.signed_out();
    return;
  }
  if (r != 0) {
    qDebug() << "Error update all:" << qstr(model->lastError());
    panel->showSummary("Không thể bắt đầu cập nhật", false, {});
    return;
  }
  running = true;
  QStringList lines;
  for (const std::string& slug : slugs) {
    KavixModel::BatchApp app;
    app.slug = slug;
    lines << appLine(app);
  }
  panel->showProgress(0, QString("Đang cập nhật %1 ứng dụng").arg(slugs.size()), lines);
  timer->start();
}

void UpdateAllFlow::poll() {
  const KavixModel::BatchState state = model->batchState();
  QStringList lines;
  int updated = 0, failed = 0;
  for (const KavixModel::BatchApp& app : state.apps) {
    lines << appLine(app);
    if (app.phase == KavixModel::BatchApp::INSTALLED) ++updated;
    if (app.phase == KavixModel::BatchApp::FAILED) ++failed;
  }
  const int total = static_cast<int>(state.apps.size());
  if (state.running) {
    panel->showProgress(
        state.overall,
        QString("Đang cập nhật %1 ứng dụng: xong %2/%1").arg(total).arg(updated + failed), lines);
    return;
  }
  timer->stop();
  running = false;
  QString summary = QString("Đã cập nhật %1/%2 ứng dụng").arg(updated).arg(total);
  if (failed > 0) {
    QStringList names;
    for (const KavixModel::BatchApp& app : state.apps)
      if (app.phase != KavixModel::BatchApp::INSTALLED) names << qstr(app.slug);
    summary += QString(", lỗi %1: %2").arg(failed).arg(names.join(", "));
  }
  panel->showSummary(summary, failed == 0, lines);
  if (hooks.finished) hooks.finished();
  emit batchFinished(updated, failed);
}
