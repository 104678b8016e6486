// The whole store window for a test: the local store server (optionally
// behind a proxy that can answer chosen paths itself), the real service, the
// service client, the main window and the controllers wired to it as the
// program wires them.
#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app_controller.h"
#include "kavix_api.h"
#include "main_window.h"
#include "service_harness.h"
#include "test_support.h"
#include "user_controller.h"

namespace wintest {

// HTTP forwarder on loopback in front of the store server. A request whose
// path (without query) has a canned answer gets that answer; every other
// request goes to the store server unchanged, one request per connection.
class StoreProxy {
 public:
  ~StoreProxy();
  bool start(int upstream_port);
  void stop();
  std::string baseUrl() const;
  void answer(const std::string& path, int http_status, const std::string& body);
  void forget(const std::string& path);

 private:
  void acceptLoop();
  void serve(int fd);

  int listen_fd_ = -1;
  int port_ = 0;
  int upstream_ = 0;
  std::atomic<bool> running_{false};
  std::thread acceptor_;
  std::mutex mutex_;
  std::condition_variable idle_;
  int active_ = 0;  // connections being served
  std::map<std::string, std::pair<int, std::string>> canned_;
};

struct WindowStack {
  ~WindowStack();
  // Starts the store server with the sample packages (on the sample catalog
  // or `catalog`; the packages of `packages` instead of the sample ones), the
  // proxy when asked, the service pointed at one of them, and builds and
  // wires the window.
  bool start(bool through_proxy, const std::string& catalog = "", const std::string& packages = "");
  // Builds the client, window and controllers (again, after a restart).
  bool wire();
  void unwire();
  // Types the account and password into the account page and presses the
  // sign-in button.
  void signIn(const QString& account, const QString& password);
  void signOut();
  // Number of service requests of `code` echoed so far.
  size_t serviceRequests(int code);
  // Number of store server requests whose path is `path`.
  int storeRequests(const std::string& path);

  nelt::test::TempDir work;
  nelt::test::StoreServer store;
  StoreProxy proxy;
  nelt::test::ServiceHarness service;
  std::unique_ptr<KavixAPI> api;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<UserController> user;
  std::unique_ptr<AppController> app;
  Ui_MainWindow* ui = nullptr;
  int index_page = 65535;
};

}  // namespace wintest
