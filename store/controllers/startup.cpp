#include "startup.h"

#include <QDebug>
#include <deque>
#include <thread>

#include "fsutil.h"
#include "json_util.h"
#include "paths.h"

using nelt::window::_PORT_LOCAL;

void kavix_load_port(const std::string& path) {
  const std::string text = nelt::readJoinedLines(path);
  if (text.empty()) return;
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) return;
  int port = 0;
  if (nelt::getInt(doc, "port", port)) _PORT_LOCAL = port;
}

namespace nelt {

namespace {

std::deque<QMessageBox::StandardButton>& queuedAnswers() {
  static std::deque<QMessageBox::StandardButton> answers;
  return answers;
}

QStringList& askedTexts() {
  static QStringList texts;
  return texts;
}

const QString START_TITLE = QStringLiteral("Lỗi khởi động");
const QString START_QUESTION =
    QStringLiteral("Nelt service chưa được khởi động! Bạn có muốn khởi động lại không?");
const QString START_GAVE_UP = QStringLiteral("Nelt service chưa được khởi động!Kết thúc!");

// pkexec's statuses for a dismissed or refused authorisation, and for a
// program it could not run: the service was not started, so waiting for it
// would only keep the user looking at nothing for twenty seconds.
bool startWasRefused(const ProcessResult& result) {
  return !result.started || result.exit_code == 126 || result.exit_code == 127;
}

}  // namespace

QMessageBox::StandardButton StartupPrompt::ask(QMessageBox::Icon icon, const QString& title,
                                               const QString& text,
                                               QMessageBox::StandardButtons buttons) {
  auto& answers = queuedAnswers();
  if (!answers.empty()) {
    const QMessageBox::StandardButton answer = answers.front();
    answers.pop_front();
    askedTexts().append(text);
    return answer;
  }
  QMessageBox box(icon, title, text, buttons);
  return static_cast<QMessageBox::StandardButton>(box.exec());
}

void StartupPrompt::queueAnswer(QMessageBox::StandardButton answer) {
  queuedAnswers().push_back(answer);
}

QStringList StartupPrompt::asked() { return askedTexts(); }

void StartupPrompt::reset() {
  queuedAnswers().clear();
  askedTexts().clear();
}

std::vector<std::string> serviceStartCommand() {
  // polkit matches the program's full path against the service-start
  // action: "systemctl" looked up on PATH may be /bin/systemctl, which
  // falls under pkexec's generic action. Below NELT_ROOT the stand-in on
  // PATH plays systemctl.
  const std::string systemctl = rootPrefix().empty() ? "/usr/bin/systemctl" : "systemctl";
  return {"pkexec", systemctl, "start", "nelt"};
}

std::unique_ptr<KavixAPI> connectToService(const StartupOptions& options) {
  const std::string port_file = options.port_file.empty() ? portFilePath() : options.port_file;
  bool start_requested = false;
  int failed_after_start = 0;
  for (;;) {
    kavix_load_port(port_file);
    auto api = std::make_unique<KavixAPI>(_PORT_LOCAL, true);
    api->setPortFile(port_file);
    api->setReceiveTimeout(options.request_timeout);
    if (api->init() == 1) return api;

    if (!start_requested) {
      const auto answer = StartupPrompt::ask(QMessageBox::Question, START_TITLE, START_QUESTION,
                                             QMessageBox::Yes | QMessageBox::No);
      if (answer != QMessageBox::Yes) return nullptr;
      start_requested = true;
      const ProcessResult result = options.run_program ? options.run_program(serviceStartCommand())
                                                       : runProgram(serviceStartCommand(), false);
      if (startWasRefused(result)) {
        qDebug() << "Service start refused or impossible, status" << result.exit_code;
        failed_after_start = options.retry_attempts;
      }
      continue;
    }

    if (failed_after_start >= options.retry_attempts) {
      StartupPrompt::ask(QMessageBox::Critical, START_TITLE, START_GAVE_UP,
                         QMessageBox::Ok | QMessageBox::Cancel);
      return nullptr;
    }
    if (options.wait)
      options.wait(options.retry_wait);
    else
      std::this_thread::sleep_for(options.retry_wait);
    ++failed_after_start;
  }
}

std::string applicationWord(const QStringList& arguments) {
  if (arguments.size() != 1) return std::string();
  std::string arg = arguments.front().toStdString();
  if (arg == "--updates") return OPEN_WINDOW_UPDATES;
  // The desktop launcher hands links on as "neltstore://WORD" (or
  // "neltstore:WORD"); the word is what the link carries.
  for (const char* scheme : {"neltstore://", "neltstore:"}) {
    const std::string prefix(scheme);
    if (arg.size() > prefix.size() && arg.compare(0, prefix.size(), prefix) == 0) {
      arg.erase(0, prefix.size());
      while (!arg.empty() && arg.back() == '/') arg.pop_back();
      break;
    }
  }
  std::vector<std::string> pieces;
  size_t start = 0;
  while (start <= arg.size()) {
    size_t q = arg.find('?', start);
    if (q == std::string::npos) q = arg.size();
    if (q > start) pieces.push_back(arg.substr(start, q - start));
    start = q + 1;
  }
  if (pieces.size() == 2) return pieces.front();
  return arg;
}

bool isOpenWindowWord(const std::string& word) {
  return word == OPEN_WINDOW_FIRST || word == OPEN_WINDOW_HOME || word == OPEN_WINDOW_UPDATES ||
         isValidSlug(word);
}

WindowRole claimStoreWindow(KavixAPI& api, const std::string& word) {
  std::string pending;
  if (api.checkOpenWindow(pending) != 0) {
    qDebug() << "Open-window question failed; this process becomes the store window";
    pending.clear();
  }
  if (pending.empty()) {
    api.logoutAcc();
    api.setOpenWindow(OPEN_WINDOW_FIRST);
    return WindowRole::StoreWindow;
  }
  api.setOpenWindow(word.empty() ? std::string(OPEN_WINDOW_HOME) : word);
  return WindowRole::Forwarded;
}

}  // namespace nelt
