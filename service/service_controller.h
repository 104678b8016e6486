// KavixService's top: wires the request server (server/) to the handler
// table (handlers/), owns the store client, the repository and the update
// detection, and runs the start-up work once the port is open. Requests are
// answered one at a time, in arrival order, on the main thread.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "handler_env.h"
#include "open_window_slot.h"
#include "request_server.h"

class ServiceAPI;
class Repository;
class UpdateDetection;

class ServiceController : private ServerHooks {
 public:
  explicit ServiceController(std::string url_server);
  ~ServiceController() override;
  ServiceController(const ServiceController&) = delete;
  ServiceController& operator=(const ServiceController&) = delete;

  // Opens the listening socket, starts the receive thread and answers requests
  // forever. Ends the process with the socket step's code when it cannot listen.
  void run();
  // 0 when listening on `port` or one of the alternative ports, else -2 to -7.
  int initSocket(int port) { return server.initSocket(port); }
  // Accepts one connection; the new socket, or -1.
  int acceptNewClient() { return server.acceptNewClient(); }
  void threadRecv() { server.threadRecv(); }
  void initClientTable() { server.initClientTable(); }
  void setClientID(int sock, CLIENT_ID id) { server.setClientID(sock, id); }
  CLIENT_ID getClientID(int sock) { return server.getClientID(sock); }
  // Handles at most one queued request.
  void handleRequest();
  // Rebuilds the installed list with update marks. 0 when at least one
  // application got an update record, -1 otherwise. `stored`, when given,
  // receives the text written to the file (left alone when nothing was
  // written).
  int loadListInfoUpdate(std::optional<std::string>* stored = nullptr);
  // Blocks until the store client exists (made after the port is open) /
  // until the start-up update detection has stored its list.
  void waitForStoreClient();
  void waitForStartupDetection();

 private:
  // Start-up work done after the port is open, on its own thread: the store
  // client (its identity asks the network) and the first update detection.
  void _startupWork();
  // The handler's reply, or nothing when the request gets none.
  std::optional<Reply> _dispatch(const RequestContext& ctx);

  // ServerHooks. The open-window requests touch only the state under the
  // server's lock, and the store address never changes after start: the
  // receive thread answers these itself when the connection has nothing
  // else waiting, so a slow request of another client never delays them.
  bool checksCallerOnReceipt(const nelt::RequestRecord& req) override;
  bool answerOnReceiptLocked(const RequestContext& ctx, bool allowed, const std::string& why,
                             std::string& out) override;
  void connectionClosedLocked(int sock) override;
  bool answersQuicklyLocked(const nelt::RequestRecord& next) override;

  int ret = 0;
  std::string s_url_server;
  RequestServer server;
  OpenWindowSlot open_window;
  std::unique_ptr<Repository> repo;
  std::unique_ptr<UpdateDetection> updates;
  // Owned; set by the start-up thread under mutex_work.
  ServiceAPI* api = nullptr;
  HandlerEnv env;
  // Held by the dispatcher while it handles a request and by the start-up
  // thread while it stores its list: the repository is not shared otherwise.
  std::mutex mutex_work;
  std::thread thread_startup;
  std::mutex mutex_startup;
  std::condition_variable cond_startup;
  bool store_client_ready = false;
  bool startup_detection_done = false;
};
