#include "window_stack.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <cstring>

#include "account_view.h"
#include "protocol.h"
#include "setting_view.h"
#include "store_globals.h"
#include "ui_account_view.h"
#include "ui_main_window.h"

namespace wintest {

namespace {

bool sendAll(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

// Reads until the peer closes or `running` goes false; each wait is short.
bool readSome(int fd, std::string& out, const std::atomic<bool>& running) {
  char buf[16384];
  for (int idle = 0; running && idle < 300; ++idle) {
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, 100);
    if (r < 0) return false;
    if (r == 0) continue;
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    out.append(buf, static_cast<size_t>(n));
    return true;
  }
  return false;
}

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

}  // namespace

StoreProxy::~StoreProxy() { stop(); }

bool StoreProxy::start(int upstream_port) {
  upstream_ = upstream_port;
  listen_fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
  if (listen_fd_ < 0) return false;
  int one = 1;
  ::setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return false;
  if (::listen(listen_fd_, 16) != 0) return false;
  socklen_t len = sizeof addr;
  ::getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&addr), &len);
  port_ = ntohs(addr.sin_port);
  running_ = true;
  acceptor_ = std::thread([this] { acceptLoop(); });
  return true;
}

void StoreProxy::stop() {
  if (!running_.exchange(false)) return;
  if (acceptor_.joinable()) acceptor_.join();
  {
    // Workers see running_ go false within one short wait.
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return active_ == 0; });
  }
  ::close(listen_fd_);
  listen_fd_ = -1;
}

std::string StoreProxy::baseUrl() const { return "http://127.0.0.1:" + std::to_string(port_); }

void StoreProxy::answer(const std::string& path, int http_status, const std::string& body) {
  std::lock_guard<std::mutex> lock(mutex_);
  canned_[path] = {http_status, body};
}

void StoreProxy::forget(const std::string& path) {
  std::lock_guard<std::mutex> lock(mutex_);
  canned_.erase(path);
}

void StoreProxy::acceptLoop() {
  while (running_) {
    pollfd p{listen_fd_, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    const int fd = ::accept(listen_fd_, nullptr, nullptr);
    if (fd < 0) continue;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++active_;
    }
    std::thread([this, fd] {
      serve(fd);
      ::close(fd);
      std::lock_guard<std::mutex> lock(mutex_);
      --active_;
      idle_.notify_all();
    }).detach();
  }
}

void StoreProxy::serve(int fd) {
  std::string request;
  size_t head_end = std::string::npos;
  while ((head_end = request.find("\r\n\r\n")) == std::string::npos) {
    if (!readSome(fd, request, running_)) return;
  }
  std::string head = request.substr(0, head_end + 2);
  std::string body = request.substr(head_end + 4);
  size_t length = 0;
  std::string rebuilt;
  size_t pos = head.find("\r\n");
  const std::string first = head.substr(0, pos);
  rebuilt = first + "\r\n";
  for (size_t start = pos + 2; start < head.size();) {
    const size_t end = head.find("\r\n", start);
    const std::string line = head.substr(start, end - start);
    start = end + 2;
    const std::string name = lower(line.substr(0, line.find(':')));
    if (name == "content-length") length = std::stoul(line.substr(line.find(':') + 1));
    if (name == "connection") continue;
    rebuilt += line + "\r\n";
  }
  rebuilt += "Connection: close\r\n\r\n";
  while (body.size() < length) {
    if (!readSome(fd, body, running_)) return;
  }
  const size_t sp1 = first.find(' ');
  const size_t sp2 = first.find(' ', sp1 + 1);
  std::string target = first.substr(sp1 + 1, sp2 - sp1 - 1);
  const std::string path = target.substr(0, target.find('?'));
  {
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = canned_.find(path);
    if (it != canned_.end()) {
      const auto canned = it->second;
      lock.unlock();
      sendAll(fd, "HTTP/1.1 " + std::to_string(canned.first) +
                      " Canned\r\nContent-Type: application/json\r\nContent-Length: " +
                      std::to_string(canned.second.size()) + "\r\nConnection: close\r\n\r\n" +
                      canned.second);
      return;
    }
  }
  const int up = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(upstream_));
  if (::connect(up, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      !sendAll(up, rebuilt + body)) {
    ::close(up);
    return;
  }
  std::string reply;
  while (readSome(up, reply, running_)) {
  }
  ::close(up);
  sendAll(fd, reply);
}

// ------------------------------------------------------------ the window

WindowStack::~WindowStack() { unwire(); }

bool WindowStack::start(bool through_proxy, const std::string& catalog,
                        const std::string& packages) {
  unsetenv("http_proxy");
  unsetenv("HTTP_PROXY");
  if (!store.start(work.path(), catalog,
                   {"--packages", packages.empty() ? std::string(NELT_SAMPLE_PACKAGES) : packages}))
    return false;
  if (through_proxy && !proxy.start(store.port())) return false;
  const std::string host = through_proxy ? proxy.baseUrl() : store.baseUrl();
  setenv("NELT_ROOT", service.root().c_str(), 1);
  setenv("NELT_IP_LOOKUP_URL", (store.baseUrl() + "/ip").c_str(), 1);
  setenv("NELT_AVATAR_URL", (store.baseUrl() + "/avatar/default.png").c_str(), 1);
  nelt::test::ServiceOptions options;
  options.host = host;
  options.ip_lookup_url = store.baseUrl() + "/ip";
  if (!service.start(options)) return false;
  return wire();
}

bool WindowStack::wire() {
  unwire();
  api = std::make_unique<KavixAPI>(service.port(), true);
  // The service may still be starting: a few attempts.
  bool connected = false;
  for (int i = 0; i < 50 && !connected; ++i) {
    connected = api->init() == 1;
    if (!connected) {
      api = std::make_unique<KavixAPI>(service.port(), true);
      QTest::qWait(100);
    }
  }
  if (!connected) return false;
  window = std::make_unique<MainWindow>();
  ui = window->ui;
  user = std::make_unique<UserController>();
  app = std::make_unique<AppController>();
  // The engine reads the machine's identity on a thread that starts programs
  // with the process environment; the tests change it with setenv() later.
  app->model->getSysInfo();
  index_page = 65535;
  app->setOBJECT(ui, api.get(), &index_page);
  user->setOBJECT(ui, api.get());
  ui->pageSetting->setAPI(api.get());
  ui->lbNotify->hide();
  user->control();
  app->control();
  app->user_controller_callback = user.get();
  QObject::connect(user.get(), &UserController::signedInForInstall, app.get(),
                   &AppController::continueInstall);
  window->show();
  return true;
}

void WindowStack::unwire() {
  app.reset();
  user.reset();
  window.reset();
  api.reset();
  ui = nullptr;
  // Tiles and thumbnails taken off the pages are deleted on the next turn.
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void WindowStack::signIn(const QString& account, const QString& password) {
  Ui_AccountView* form = ui->pageAccount->ui;
  form->textEditAcc->setText(account);
  form->textEditPass->setText(password);
  QTest::mouseClick(form->pushButton_login, Qt::LeftButton);
}

void WindowStack::signOut() {
  QTest::mouseClick(ui->pageAccount->ui->pushButton_logout, Qt::LeftButton);
}

size_t WindowStack::serviceRequests(int code) {
  // Echoed request lines: socket, method, code, argument.
  const std::string out = service.proc().out();
  size_t count = 0;
  size_t start = 0;
  while (start < out.size()) {
    size_t end = out.find('\n', start);
    if (end == std::string::npos) end = out.size();
    const std::string line = out.substr(start, end - start);
    start = end + 1;
    // Tagged with the client's socket first.
    const size_t tag = line.find(' ');
    if (tag == std::string::npos || tag == 0) continue;
    if (line.find_first_not_of("0123456789") != tag) continue;
    const size_t sp = line.find(' ', tag + 1);
    if (sp == std::string::npos) continue;
    const std::string method = line.substr(tag + 1, sp - tag - 1);
    if (method != "GET" && method != "POST" && method != "PUT") continue;
    char* after = nullptr;
    const long c = std::strtol(line.c_str() + sp + 1, &after, 10);
    if (after != line.c_str() + sp + 1 && (*after == ' ' || *after == '\0') && c == code) ++count;
  }
  return count;
}

int WindowStack::storeRequests(const std::string& path) {
  rapidjson::Document doc;
  const std::string text = store.requests();
  doc.Parse(text.c_str());
  const rapidjson::Value* list = nullptr;
  if (doc.IsArray()) list = &doc;
  if (doc.IsObject() && doc.HasMember("data") && doc["data"].IsArray()) list = &doc["data"];
  if (doc.IsObject() && doc.HasMember("requests") && doc["requests"].IsArray())
    list = &doc["requests"];
  if (list == nullptr) return -1;
  int count = 0;
  for (const auto& r : list->GetArray()) {
    if (r.IsObject() && r.HasMember("path") && r["path"].IsString() &&
        path == r["path"].GetString())
      ++count;
  }
  return count;
}

}  // namespace wintest
