#include "service_controller.h"

#include <cstdlib>
#include <iostream>

#include "account_access.h"
#include "handler_table.h"
#include "handlers.h"
#include "installed_list.h"
#include "repository.h"
#include "service_api.h"
#include "update_detection.h"
#include "utils.h"

using nelt::service::URL_HOST;

namespace {
bool isOpenWindowRequest(const nelt::RequestRecord& req) {
  return (req.method == "GET" && req.code == REQ_CHECKOPENWINDOW) ||
         (req.method == "POST" && req.code == REQ_SETOPENWINDOW);
}

// Requests whose answer needs nothing but memory the receive thread may read:
// the open-window exchange and the store address (fixed after start).
bool isAnsweredOnReceipt(const nelt::RequestRecord& req) {
  return isOpenWindowRequest(req) || (req.method == "GET" && req.code == REQ_GETHOST);
}
}  // namespace

ServiceController::ServiceController(std::string url_server) : server(*this) {
  // The inventory (`snap list`), the cache tidying, the store client and the
  // first update detection come once the port is open (_startupWork): the
  // port must not wait on the number of installed applications or on the
  // network. The sign-out at start stays here, before any client can ask.
  repo = std::make_unique<Repository>(DATA_CACHE_PATH, false);
  repo->setServerBase(URL_HOST);
  repo->setCaFile(CA_FILE);
  updates = std::make_unique<UpdateDetection>(*repo);
  env.repo = repo.get();
  env.updates = updates.get();
  env.server = &server;
  env.slot = &open_window;
  s_url_server = std::move(url_server);
}

ServiceController::~ServiceController() { delete api; }

void ServiceController::run() {
  ret = initSocket(PORT_LOCAL);
  if (ret < 0) {
    std::cout.flush();
    std::exit(ret);
  }
  server.start();
  // Clients can connect from here on; what needs the network comes after.
  thread_startup = std::thread(&ServiceController::_startupWork, this);
  for (;;) {
    server.waitForWork();
    handleRequest();
    server.noteHandled();
  }
}

void ServiceController::_startupWork() {
  // The local inventory first: it is quick, and the requests that only read
  // the data files wait for it (they hold mutex_work).
  std::string inventory;
  uint64_t generation = 0;
  {
    std::lock_guard<std::mutex> lock(mutex_work);
    repo->tidyCache();
    inventory = repo->readData(INSTALLED_OBJ);
    generation = updates->generation();
  }
  ServiceAPI* client = new ServiceAPI(URL_HOST);
  VersionQuerySetup setup;
  {
    std::lock_guard<std::mutex> lock(mutex_work);
    api = client;
    env.api = client;
    setup = UpdateDetection::setupFor(*api);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_startup);
    store_client_ready = true;
  }
  cond_startup.notify_all();
  // Only the versions are asked here, away from the dispatcher.
  std::vector<nelt::InstalledEntry> entries;
  nelt::readInstalledList(inventory, entries);
  const std::vector<Infoupdate_installed_app> marks =
      updates->queryMarks(entries, inventory, setup);
  {
    std::lock_guard<std::mutex> lock(mutex_work);
    // A list the dispatcher rebuilt meanwhile is newer: keep it.
    if (generation == updates->generation()) updates->writeMarkedList(inventory, marks);
  }
  {
    std::lock_guard<std::mutex> lock(mutex_startup);
    startup_detection_done = true;
  }
  cond_startup.notify_all();
  debugL("Start-up update detection done", "");
}

void ServiceController::waitForStoreClient() {
  std::unique_lock<std::mutex> lock(mutex_startup);
  cond_startup.wait(lock, [this] { return store_client_ready; });
}

void ServiceController::waitForStartupDetection() {
  std::unique_lock<std::mutex> lock(mutex_startup);
  cond_startup.wait(lock, [this] { return startup_detection_done; });
}

int ServiceController::loadListInfoUpdate(std::optional<std::string>* stored) {
  return updates->loadListInfoUpdate(*api, stored);
}

void ServiceController::handleRequest() {
  RequestContext ctx;
  if (!server.takeNext(ctx)) return;
  const nelt::RequestRecord& req = ctx.req;
  if (req.code != REQ_CHECKOPENWINDOW) echoRecord(ctx.record, req);

  // Start-up work never holds a request longer than it takes itself, and
  // requests that need none of it do not wait at all.
  if (req.code == REQ_LISTUPDATE && req.method == "GET") waitForStartupDetection();
  if (needsStoreClient(req.method, req.code)) waitForStoreClient();

  std::lock_guard<std::mutex> work(mutex_work);
  // Whoever holds a reply can find its request in the log: with nothing else
  // waiting the lines go out before the reply does; under load they still go
  // out in batches.
  if (const std::optional<Reply> reply = _dispatch(ctx)) {
    server.flushLogIfIdle();
    server.reply(ctx, nelt::replyText(reply->status, reply->data));
  }
  server.finishRequest(ctx);
}

std::optional<Reply> ServiceController::_dispatch(const RequestContext& ctx) {
  const nelt::RequestRecord& req = ctx.req;
  std::string why;
  if (isAccountRequest(req.method, req.code) && !callerMayUseAccount(ctx.peer, why)) {
    // Refused before its handler: nothing of the account is read or changed.
    logRefusal(req.code, why, ctx.peer);
    return Reply{nelt::STATUS_FAILED, ""};
  }
  const Handler handler = findHandler(req.method, req.code);
  if (handler == nullptr) return std::nullopt;
  return handler(env, ctx);
}

bool ServiceController::checksCallerOnReceipt(const nelt::RequestRecord& req) {
  return isOpenWindowRequest(req);
}

bool ServiceController::answerOnReceiptLocked(const RequestContext& ctx, bool allowed,
                                              const std::string& why, std::string& out) {
  const nelt::RequestRecord& req = ctx.req;
  if (!isAnsweredOnReceipt(req)) return false;
  if (req.code != REQ_CHECKOPENWINDOW) echoRecord(ctx.record, req);
  std::string status, data;
  if (req.code == REQ_GETHOST) {
    data = hostData();
    status = nelt::STATUS_OK;
  } else {
    bool refused = false;
    open_window.answer(req.code, req.args, ctx.sock, true, allowed, status, data, refused);
    if (refused) logRefusal(req.code, why, ctx.peer);
  }
  out += nelt::frameReply(nelt::replyText(status, data));
  return true;
}

void ServiceController::connectionClosedLocked(int sock) { open_window.connectionClosed(sock); }

bool ServiceController::answersQuicklyLocked(const nelt::RequestRecord& next) {
  if (needsStoreClient(next.method, next.code) ||
      (next.method == "GET" && next.code == REQ_LISTUPDATE))
    return false;
  // Before that the start-up thread may hold the data files for a while.
  std::lock_guard<std::mutex> startup(mutex_startup);
  return store_client_ready;
}
