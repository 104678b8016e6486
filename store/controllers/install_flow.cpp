#include "install_flow.h"

#include <QApplication>
#include <QDebug>
#include <QLabel>
#include <QMetaObject>
#include <QProgressBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTimer>

#include "account_view.h"
#include "app_detail_view.h"
#include "detail_page.h"
#include "failure_text.h"
#include "kavix_api.h"
#include "kavix_model.h"
#include "service_client.h"
#include "store_globals.h"
#include "ui_account_view.h"
#include "ui_app_detail_view.h"
#include "ui_main_window.h"

using nelt::window::setCurrentInstall;

namespace {

// Progress states of the engine.
constexpr int STATE_FAILED = 101;
constexpr int STATE_UNPACKING = 102;
constexpr int STATE_INSTALLED = 200;

QString qstr(const std::string& s) { return QString::fromStdString(s); }

}  // namespace

InstallFlow::InstallFlow(DetailPage& detail_page, Hooks h)
    : model(new KavixModel), detail(detail_page), hooks(std::move(h)) {}

InstallFlow::~InstallFlow() {
  // The engine call of a remove or launch may still run; it uses the engine.
  if (engine_thread.joinable()) engine_thread.join();
  delete model;
}

void InstallFlow::setObjects(Ui_MainWindow* ui_main, ServiceClient* api) {
  ui = ui_main;
  // The engine talks to the real service only.
  model->api = dynamic_cast<KavixAPI*>(api);
  QPushButton* cancel_button = ui->pageDetail->ui->buttonCancel;
  cancel_button->hide();
  connect(cancel_button, &QPushButton::clicked, this, &InstallFlow::cancel, Qt::UniqueConnection);
}

void InstallFlow::setup() {
  timer_install = new QTimer(this);
  connect(timer_install, &QTimer::timeout, this, &InstallFlow::poll);
}

void InstallFlow::disableInstalledButtons(int line) {
  detail.enableButton(line, "buttonLaunch", false);
  detail.enableButton(line + 1, "buttonRemove", false);
  detail.enableButton(line + 2, "buttonUpdate", false);
}

// ------------------------------------------------------------ installing

void InstallFlow::start(bool update) {
  const std::string& name = *hooks.detail_name;
  // One install at a time. The engine would hold this call (and the window)
  // until the running job ends; the press is refused instead, as the next
  // poll would show by disabling the button. Whether a job still runs is the
  // engine's word: a job that ended unseen is wound up here first.
  if (!name_installing.empty()) settle(model->getStateInstall());
  if (!name_installing.empty() || model->batchState().running) {
    detail.enableButton(__LINE__, "buttonInstall", false);
    return;
  }
  setCurrentInstall(name);
  const int r = model->install(name, "", 0);
  AccountView* account = ui->pageAccount;
  if (r < 0) {
    qDebug() << "Error install" << qstr(name);
    account->flag_installing = false;
    setCurrentInstall("");
    return;
  }
  if (r == nelt::REPLY_NO_TOKEN) {
    qDebug() << "Error non-avai login";
    account->flag_installing = true;
    // The install waits for the sign-in (and goes on after it): say so.
    QLabel* why = account->ui->lb_Notify;
    why->setText(QString::fromUtf8(TEXT_SIGN_IN_TO_INSTALL));
    why->setStyleSheet("color:#d46b08;");
    why->show();
    ui->pages->setCurrentWidget(ui->pageAccount);
    account->ui->textEditAcc->setFocus(Qt::OtherFocusReason);
    return;
  }
  account->flag_installing = false;
  if (update) {
    disableInstalledButtons(__LINE__);
  } else {
    detail.enableButton(__LINE__, "buttonInstall", false);
  }
  Ui_AppDetailView* form = ui->pageDetail->ui;
  form->progressBar->setValue(0);
  form->progressBar->show();
  form->label_state->hide();
  name_installing = name;
  installing_update = update;
  per_download = 0;
  timer_install->start(1000);
  updateCancelButton();
}

void InstallFlow::cancel() {
  if (name_installing.empty() || model->cancelInstall() != 0) {
    updateCancelButton();
    return;
  }
  ui->pageDetail->ui->buttonCancel->hide();
  // The job stops within moments; its end restores the buttons.
  timer_install->start(50);
}

void InstallFlow::updateCancelButton() {
  const bool shown = !name_installing.empty() && hooks.detail_name != nullptr &&
                     *hooks.detail_name == name_installing && model->canCancel();
  ui->pageDetail->ui->buttonCancel->setVisible(shown);
}

void InstallFlow::poll() {
  if (name_installing.empty()) {
    timer_install->stop();
    return;
  }
  per_download = model->getStateInstall();
  // The end of a job is acted on whatever page is shown; only its painting
  // waits for the application's own page.
  if (settle(per_download)) {
    // An ended job can no longer be cancelled.
    updateCancelButton();
    return;
  }
  showState(per_download);
  updateCancelButton();
  // Another install of this application by the same user holds the job.
  QLabel* state = ui->pageDetail->ui->label_state;
  const std::string waiting = model->statusText();
  if (!waiting.empty() && hooks.detail_name != nullptr && *hooks.detail_name == name_installing)
    detail.stateLabel(QString::fromStdString(waiting), "green");
  else if (state->text().startsWith("waiting for another install"))
    state->hide();
}

bool InstallFlow::settle(int state) {
  if (name_installing.empty()) return false;
  if (state >= 0 && state != STATE_FAILED && state != STATE_INSTALLED) return false;
  if (shown()) {
    showState(state);
    return true;
  }
  // Ended while another page is shown: the lists learn of it quietly, and
  // the page of another application offers its Install again.
  timer_install->stop();
  const std::string slug = name_installing;
  size_installing = 0;
  name_installing = "";
  installing_update = false;
  if (state == STATE_INSTALLED) {
    if (hooks.installed) hooks.installed(slug, false);
  }
  if (ui->pages->currentWidget() == ui->pageDetail &&
      !ui->pageDetail->ui->buttonInstall->isHidden())
    detail.enableButton(__LINE__, "buttonInstall", true);
  return true;
}

bool InstallFlow::shown() const {
  return hooks.detail_name != nullptr && *hooks.detail_name == name_installing &&
         ui->pages->currentWidget() == ui->pageDetail;
}

void InstallFlow::failed() {
  timer_install->stop();
  size_installing = 0;
  name_installing = "";
  const bool was_update = installing_update;
  installing_update = false;
  // A cancelled install changed nothing: the page looks as before it.
  const bool cancelled = model->lastCancelled();
  if (!cancelled) detail.reasonLine(installFailureReason(model->lastError()));
  QTimer::singleShot(0, this, [this, was_update] {
    detail.enableButton(__LINE__, "buttonInstall", true);
    // The keyboard lost the disabled button meanwhile: it gets it back.
    QWidget* focused = QApplication::focusWidget();
    if (!was_update && (focused == nullptr || ui->pageDetail->isAncestorOf(focused)) &&
        ui->pages->currentWidget() == ui->pageDetail)
      ui->pageDetail->ui->buttonInstall->setFocus(Qt::OtherFocusReason);
    if (was_update) {
      // A failed update leaves the installed version: its buttons work.
      detail.enableButton(__LINE__, "buttonLaunch", true);
      detail.enableButton(__LINE__, "buttonRemove", true);
      detail.enableButton(__LINE__, "buttonUpdate", true);
    }
    ui->pageDetail->ui->progressBar->hide();
  });
  if (cancelled)
    ui->pageDetail->ui->label_state->hide();
  else
    detail.resultLabel("Cài đặt lỗi", "red");
}

void InstallFlow::showState(int state) {
  if (*hooks.detail_name != name_installing) {
    // One install at a time.
    detail.enableButton(__LINE__, "buttonInstall", false);
    return;
  }
  Ui_AppDetailView* form = ui->pageDetail->ui;
  if (state < 0 || state == STATE_FAILED) {
    failed();
  } else if (state <= 100) {
    form->progressBar->setValue(state);
  } else if (state == STATE_UNPACKING) {
    form->progressBar->hide();
    detail.stateLabel("Đang cài đặt", "green");
  } else if (state == STATE_INSTALLED) {
    timer_install->stop();
    const std::string slug = name_installing;
    size_installing = 0;
    name_installing = "";
    installing_update = false;
    hooks.installed(slug, true);
  }
}

// --------------------------------------------------------- remove, launch

// Runs a blocking engine call off the GUI thread, then hands its result
// back to the GUI thread.
void InstallFlow::runEngine(std::function<int()> call, std::function<void(int)> done) {
  if (engine_thread.joinable()) engine_thread.join();
  engine_busy = true;
  engine_thread = std::thread([this, call, done] {
    const int r = call();
    QMetaObject::invokeMethod(
        this,
        [this, done, r] {
          if (engine_thread.joinable()) engine_thread.join();
          engine_busy = false;
          done(r);
        },
        Qt::QueuedConnection);
  });
}

// A remove or a launch of the detail page's application: its buttons are
// noted and disabled and the state label shows `label` (at once for a
// remove, with the disabling for a launch); the engine call starts 100 ms
// later, off the GUI thread.
void InstallFlow::engineStep(const QString& label, bool label_at_once,
                             int (KavixModel::*call)(std::string),
                             void (InstallFlow::*done)(const std::string&, int)) {
  if (engine_busy) return;
  const std::string slug = *hooks.detail_name;
  if (label_at_once) detail.stateLabel(label, "orange");
  detail.saveButtonStates();
  engine_busy = true;
  QTimer::singleShot(0, this, [=] {
    disableInstalledButtons(__LINE__);
    if (!label_at_once) detail.stateLabel(label, "orange");
    QTimer::singleShot(100, this, [=] {
      runEngine([=] { return (model->*call)(slug); }, [=](int r) { (this->*done)(slug, r); });
    });
  });
}

void InstallFlow::remove() {
  engineStep("Đang gỡ ứng dụng", true, &KavixModel::remove, &InstallFlow::removeDone);
}

void InstallFlow::removeDone(const std::string& slug, int r) {
  const bool same_page = *hooks.detail_name == slug;
  if (r < 0) {
    qDebug() << "Error remove" << qstr(slug);
    if (same_page) {
      detail.resultLabel("Gỡ ứng dụng lỗi", "red");
      detail.restoreButtonStates();
    }
  } else {
    hooks.removed(slug, same_page);
    if (same_page) detail.resultLabel("Đã gỡ ứng dụng", "green");
  }
  emit removeFinished(r);
}

void InstallFlow::launch() {
  engineStep("Đang mở ứng dụng", false, &KavixModel::launch, &InstallFlow::launchDone);
}

void InstallFlow::launchDone(const std::string& slug, int r) {
  const bool same_page = *hooks.detail_name == slug;
  if (r < 0) {
    qDebug() << "Error launch" << qstr(slug);
    if (same_page) {
      detail.resultLabel("Mở ứng dụng lỗi", "red");
      // The buttons work as before the attempt.
      detail.restoreButtonStates();
    }
  } else if (same_page) {
    detail.resultLabel("Mở ứng dụng thành công", "green");
    detail.enableButton(__LINE__, "buttonLaunch", true);
    detail.enableButton(__LINE__, "buttonRemove", true);
    if (detail.updateWasEnabled()) detail.enableButton(__LINE__, "buttonUpdate", true);
  }
  emit launchFinished(r);
}
