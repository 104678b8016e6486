#include "service_controller.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "caller_policy.h"
#include "fsutil.h"
#include "paths.h"
#include "repository.h"
#include "service_api.h"
#include "utils.h"

using nelt::service::URL_HOST;

namespace {
const char* const FN_INIT_SOCKET = "int ServiceController::initSocket()";
const char* const FN_ACCEPT = "int ServiceController::acceptNewClient()";
const char* const FN_THREAD_RECV = "void ServiceController::threadRecv()";
const char* const FN_HANDLE_REQUEST = "void ServiceController::handleRequest(";

// A client that stops reading its replies holds every other client while the
// dispatcher waits on it: after this long without progress its reply fails
// and the connection is closed. The window reads each reply right after its
// request, so it never comes near.
constexpr int SEND_TIMEOUT_SEC = 2;
// Out of descriptors, every waiting connection fails its accept: one line
// per this many seconds is enough to tell.
constexpr int ACCEPT_LOG_SECONDS = 10;

// One write per line, so lines of the threads never interleave. Not flushed
// here: the threads flush whenever they have worked off what was waiting,
// and the dispatcher at least every FLUSH_EVERY_REQUESTS requests, so lines
// reach the log promptly without a write to it per line.
void printLine(const std::string& text) { std::cout << (text + "\n"); }

constexpr int FLUSH_EVERY_REQUESTS = 8;

void flushLog() { std::cout.flush(); }

bool isOpenWindowRequest(const nelt::RequestRecord& req) {
  return (req.method == "GET" && req.code == REQ_CHECKOPENWINDOW) ||
         (req.method == "POST" && req.code == REQ_SETOPENWINDOW);
}

// Requests whose answer needs nothing but memory the receive thread may read:
// the open-window exchange and the store address (fixed after start).
bool isAnsweredOnReceipt(const nelt::RequestRecord& req) {
  return isOpenWindowRequest(req) || (req.method == "GET" && req.code == REQ_GETHOST);
}

// The record the dispatcher works from: the socket number, a space and the
// request line as received.
std::string recordOf(int sock, const std::string& line) {
  return std::to_string(sock) + " " + line;
}

// The record up to its argument: socket, method and code words as sent, each
// followed by its space (the receive thread lets only single spaces between
// them through).
std::string recordHead(const std::string& record) {
  size_t at = 0;
  for (int word = 0; word < 3 && at != std::string::npos; ++word) {
    at = record.find(' ', at);
    if (at != std::string::npos) ++at;
  }
  return at == std::string::npos ? record : record.substr(0, at);
}

// Ends the process from the receive thread without running destructors that
// the main thread may still be using.
[[noreturn]] void exitNow(int code) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(code & 0xff);
}
}  // namespace

ServiceController::ServiceController(std::string url_server) {
  _setupHandlers();
  s_url_server = std::move(url_server);
  initClientTable();
}

ServiceController::~ServiceController() {
  delete api;
  delete repo;
}

void ServiceController::run() {
  ret = initSocket(PORT_LOCAL);
  if (ret < 0) {
    std::cout.flush();
    std::exit(ret);
  }
  spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  loop_thread_recv = true;
  thread_recv = std::thread(&ServiceController::threadRecv, this);
  // Clients can connect from here on; what needs the network comes after.
  thread_startup = std::thread(&ServiceController::_startupWork, this);
  for (;;) {
    {
      std::unique_lock<std::mutex> lock(mutex_recv);
      if (queued_total == 0) {
        flushLog();
        unflushed_requests = 0;
      }
      cond_recv.wait(lock, [this] { return queued_total > 0 || held_sock >= 0; });
    }
    handleRequest();
    if (++unflushed_requests >= FLUSH_EVERY_REQUESTS) {
      flushLog();
      unflushed_requests = 0;
    }
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
    generation = inventory_generation;
  }
  ServiceAPI* client = new ServiceAPI(URL_HOST);
  VersionQuerySetup setup;
  {
    std::lock_guard<std::mutex> lock(mutex_work);
    api = client;
    setup = _versionQuerySetup();
  }
  {
    std::lock_guard<std::mutex> lock(mutex_startup);
    store_client_ready = true;
  }
  cond_startup.notify_all();
  // Only the versions are asked here, away from the dispatcher.
  std::vector<nelt::InstalledEntry> entries;
  nelt::readInstalledList(inventory, entries);
  const std::vector<Infoupdate_installed_app> updates = _queryMarks(entries, inventory, setup);
  {
    std::lock_guard<std::mutex> lock(mutex_work);
    // A list the dispatcher rebuilt meanwhile is newer: keep it.
    if (generation == inventory_generation) _writeMarkedList(inventory, updates);
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

bool ServiceController::_needsStoreClient(const std::string& method, int code) {
  if (method == "POST") return code == REQ_LOGIN || code == REQ_LOGIN_D;
  switch (code) {
    case REQ_INFO:
    case REQ_GETHOST:
    case REQ_CHECKOPENWINDOW:
    case REQ_GETACCCURENT:
    case REQ_GETTOKEN:
    case REQ_GET_SETTING:
    case REQ_LISTUPDATE:
      return false;
    default:
      return true;
  }
}

int ServiceController::initSocket(int port) {
  int rc = _listenOn(port);
  if (rc != -3) return rc;
  // The configured port is taken: each alternative gets one attempt.
  for (int i = 0; i < LEN_PORT_LOCAL_A; ++i) {
    _closeListener();
    if (_listenOn(PORT_LOCAL_A[i]) == 0) return 0;
  }
  _closeListener();
  return -3;
}

void ServiceController::_closeListener() {
  if (fd >= 0) close(fd);
  fd = -1;
  if (listener >= 0) close(listener);
  listener = -1;
}

int ServiceController::_listenOn(int port) {
  printLine(std::to_string(port));
  addr = sockaddr_in{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  // Loopback only: the service hands out the account token to whoever asks.
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);

  listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (listener < 0) {
    debugE(-2, "Create listener socket", FN_INIT_SOCKET);
    return -2;
  }
  // Before the bind, or it has no effect: a restart must get the port back
  // while connections of the previous run are still closing.
  int one = 1;
  if (setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
    debugE(-5, "Set option of listener", FN_INIT_SOCKET);
    return -5;
  }
  if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    debugE(-3, "Bind event listener", FN_INIT_SOCKET);
    return -3;
  }
  if (listen(listener, 5) != 0) {
    debugE(-4, "Listen event listener", FN_INIT_SOCKET);
    return -4;
  }
  // The port really bound (port 0 lets the system choose), announced only
  // once a window can connect to it.
  sockaddr_in bound{};
  socklen_t bound_len = sizeof bound;
  if (getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &bound_len) == 0)
    port = ntohs(bound.sin_port);
  _writePortFile(port);
  fd = epoll_create1(EPOLL_CLOEXEC);
  if (fd < 0) {
    debugE(-6, "Create epoll file descriptor", FN_INIT_SOCKET);
    return -6;
  }
  event = epoll_event{};
  event.events = EPOLLIN;
  event.data.fd = listener;
  if (epoll_ctl(fd, EPOLL_CTL_ADD, listener, &event) != 0) {
    debugE(-7, "Add file descriptor to epoll", FN_INIT_SOCKET);
    close(fd);
    fd = -1;
    return -7;
  }
  return 0;
}

void ServiceController::_writePortFile(int port) {
  // Written whole or not at all, so a window never reads half a number.
  const std::string text = "{\"port\":" + std::to_string(port) + "}";
  nelt::writeFileAtomic(servicePortFile(), text, 0644);
}

void ServiceController::initClientTable() {
  for (auto& slot : clients) slot = {-1, CLI_UNKNOW};
}

void ServiceController::setClientID(int sock, CLIENT_ID id) {
  std::lock_guard<std::mutex> lock(mutex_recv);
  _setClientIDLocked(sock, id);
}

void ServiceController::_setClientIDLocked(int sock, CLIENT_ID id) {
  for (auto& slot : clients) {
    if (slot.first == sock) {
      slot.second = id;
      return;
    }
  }
}

CLIENT_ID ServiceController::getClientID(int sock) {
  std::lock_guard<std::mutex> lock(mutex_recv);
  for (const auto& slot : clients)
    if (slot.first == sock) return slot.second;
  return CLI_UNKNOW;
}

void ServiceController::_freeSlotLocked(int sock) {
  for (auto& slot : clients) {
    if (slot.first == sock) {
      slot = {-1, CLI_UNKNOW};
      return;
    }
  }
}

int ServiceController::acceptNewClient() {
  int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (sock < 0) {
    const int err = errno;
    const auto now = std::chrono::steady_clock::now();
    if (!accept_logged || now - last_accept_log >= std::chrono::seconds(ACCEPT_LOG_SECONDS)) {
      debugE(-1, "Accept", FN_ACCEPT);
      accept_logged = true;
      last_accept_log = now;
    }
    errno = err;
    return -1;
  }
  timeval tv{SEND_TIMEOUT_SEC, 0};
  setsockopt(sock, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  // Each reply is written whole in one send; a client that sends several
  // requests at once must not get the later replies only after its delayed
  // acknowledgement of the first.
  int one = 1;
  setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  // Who opened the connection, asked of the kernel once: account requests
  // are answered only for some users.
  const nelt::PeerUid peer = nelt::peerUidOfClient(sock);
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    if (connections.size() >= MAX_CONNECTIONS) {
      close(sock);
      errno = ECONNREFUSED;
      return -1;
    }
    // A full table still serves the connection; it is just not recorded.
    for (auto& slot : clients) {
      if (slot.first == -1) {
        slot = {sock, CLI_UNKNOW};
        break;
      }
    }
    Connection& conn = connections[sock];
    conn = Connection{};
    conn.id = next_conn_id++;
    conn.peer = peer;
  }
  debugL("Client connected to Server:" + std::to_string(sock) + " uid " +
             (peer.known ? std::to_string(peer.uid) : "unknown (" + peer.reason + ")"),
         "");
  return sock;
}

void ServiceController::_refuseConnection() {
  // The spare descriptor makes room for one accept; the waiting client sees
  // its connection closed at once instead of hanging in the backlog. Another
  // thread may have taken the spare's number last time: try again to get one.
  if (spare_fd < 0) spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (spare_fd >= 0) {
    close(spare_fd);
    spare_fd = -1;
    const int sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (sock >= 0) close(sock);
    spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    if (spare_fd >= 0) return;
  }
  // No spare (the dispatcher took the freed number): the listener stays
  // readable, so give the system a moment instead of spinning on it.
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
}

void ServiceController::_acceptAndRegister() {
  const int sock = acceptNewClient();
  if (sock < 0) {
    if (errno == EMFILE || errno == ENFILE)
      _refuseConnection();
    else if (errno == ENOBUFS || errno == ENOMEM)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    return;
  }
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.fd = sock;
  if (epoll_ctl(fd, EPOLL_CTL_ADD, sock, &ev) != 0) {
    debugE(-1, "epoll_ctl", FN_THREAD_RECV);
    {
      std::lock_guard<std::mutex> lock(mutex_recv);
      _freeSlotLocked(sock);
      connections.erase(sock);
    }
    close(sock);
  }
}

void ServiceController::threadRecv() {
  while (loop_thread_recv) {
    nfds = epoll_wait(fd, events, MAX_EVENTS, 10000);
    if (nfds < 0) {
      const bool interrupted = errno == EINTR;
      debugE(-1, "epoll_wait", FN_THREAD_RECV);
      // A signal (or a stop and continue) is no reason to stop serving.
      if (interrupted) continue;
      exitNow(-1);
    }
    for (int i = 0; i < nfds; ++i) {
      const int sock = events[i].data.fd;
      uint32_t mask = events[i].events;
      if (sock == listener) {
        if (mask & EPOLLIN) _acceptAndRegister();
        continue;
      }
      // Data that arrives together with a hang-up has nobody to answer.
      if (mask == EPOLLIN && !_receive(sock)) mask |= EPOLLHUP;
      if ((mask & (EPOLLERR | EPOLLHUP)) != 0 || (mask & EPOLLIN) == 0) _closeConnection(sock);
    }
    flushLog();
  }
}

bool ServiceController::_receive(int sock) {
  char buf[nelt::MAX_REQUEST_LINE];
  ssize_t n;
  do {
    n = recv(sock, buf, sizeof buf, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) {
    debugE(-1, "Recv request", FN_THREAD_RECV);
    return false;
  }
  std::vector<std::string> lines;
  bool fits = true;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    auto it = connections.find(sock);
    if (it == connections.end()) return false;
    fits = it->second.assembler.feed(buf, static_cast<size_t>(n), lines);
  }
  if (!_queueLines(sock, lines)) return false;
  if (!fits) {
    debugE(-1, "Request line too long", FN_THREAD_RECV);
    // Best effort: the connection is closed right after.
    const std::string reply = nelt::frameReply(nelt::replyText(nelt::STATUS_FAILED, ""));
    send(sock, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return false;
  }
  return true;
}

bool ServiceController::_queueLines(int sock, const std::vector<std::string>& lines) {
  if (lines.empty()) return true;
  // Whether the caller may take the window's slot, asked outside the lock
  // and only when an open-window request came.
  bool open_window = false;
  for (const auto& line : lines) {
    nelt::RequestRecord req;
    if (nelt::parseRequestRecord(recordOf(sock, line), req) && isOpenWindowRequest(req))
      open_window = true;
  }
  bool allowed = false;
  std::string why;
  if (open_window) {
    nelt::PeerUid peer;
    {
      std::lock_guard<std::mutex> lock(mutex_recv);
      auto it = connections.find(sock);
      if (it == connections.end()) return false;
      peer = it->second.peer;
    }
    allowed = nelt::callerMayUseAccount(peer, ALLOWED_GROUP, why);
  }
  bool queued = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    auto it = connections.find(sock);
    if (it == connections.end()) return false;
    Connection& conn = it->second;
    // Replies answered here go out together after the lines of this read; they
    // precede whatever gets queued, since a queued line stops answering here.
    std::string answered;
    for (const auto& line : lines) {
      // Anything else (an HTTP request from a web page, say) ends the connection.
      if (!nelt::isProtocolRequestLine(line)) {
        debugE(-1, "Not a request of this service", FN_THREAD_RECV);
        _sendNowLocked(sock, answered);
        return false;
      }
      if (_answerNowLocked(sock, conn, line, allowed, why, answered)) continue;
      queued = true;
      conn.queue.push_back(recordOf(sock, line));
      ++queued_total;
    }
    _sendNowLocked(sock, answered);
    if (!queued) return true;
    if (!conn.in_ready) {
      conn.in_ready = true;
      ready_recv.emplace_back(sock, conn.id);
    }
    if (conn.queue.size() >= MAX_QUEUED && !conn.paused) {
      // Only the peer's hang-up is watched until the queue has gone down.
      epoll_event ev{};
      ev.events = EPOLLRDHUP;
      ev.data.fd = sock;
      if (epoll_ctl(fd, EPOLL_CTL_MOD, sock, &ev) == 0) conn.paused = true;
    }
  }
  cond_recv.notify_one();
  return true;
}

bool ServiceController::_takeNextLocked(QueuedRequest& item) {
  while (!ready_recv.empty()) {
    const auto [sock, id] = ready_recv.front();
    ready_recv.pop_front();
    auto it = connections.find(sock);
    if (it == connections.end() || it->second.id != id) continue;  // closed meanwhile
    Connection& conn = it->second;
    if (conn.queue.empty()) {
      conn.in_ready = false;
      continue;
    }
    item.conn_id = id;
    dispatching_conn = id;
    item.peer = conn.peer;
    item.record = std::move(conn.queue.front());
    conn.queue.pop_front();
    --queued_total;
    if (conn.queue.empty())
      conn.in_ready = false;
    else
      ready_recv.emplace_back(sock, id);
    if (conn.paused && conn.queue.size() <= RESUME_QUEUED) {
      epoll_event ev{};
      ev.events = EPOLLIN;
      ev.data.fd = sock;
      // Fails only when the receive thread is closing the connection.
      if (epoll_ctl(fd, EPOLL_CTL_MOD, sock, &ev) == 0) conn.paused = false;
    }
    return true;
  }
  return false;
}

void ServiceController::_closeConnection(int sock) {
  if (epoll_ctl(fd, EPOLL_CTL_DEL, sock, nullptr) != 0) debugE(-1, "epoll_ctl", FN_THREAD_RECV);
  bool busy = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    if (sock == sock_open) {
      printLine("sock_open : " + std::to_string(sock));
      sock_open = -1;
      screen_open.clear();
    }
    if (sock == sock_open_store) {
      printLine("sock_open_store : " + std::to_string(sock));
      sock_open_store = -1;
      screen_open.clear();
    }
    _freeSlotLocked(sock);
    auto it = connections.find(sock);
    if (it != connections.end()) {
      // Its entry in ready_recv is skipped later; the queue goes with it.
      queued_total -= it->second.queue.size();
      connections.erase(it);
    }
    busy = sock == sending_sock;
    if (busy) close_deferred = true;
  }
  printLine("Disconnect to client " + std::to_string(sock));
  if (!busy) close(sock);
}

bool ServiceController::_currentAliveLocked() const {
  auto it = connections.find(cur_sock);
  return it != connections.end() && it->second.id == cur_conn_id;
}

void ServiceController::_sendReply(int sock, uint64_t conn_id, const std::string& text) {
  // The socket is marked as being written while the connection is known to
  // be the one that asked; should the receive thread close the connection
  // meanwhile, it leaves the close to us, so the number cannot be handed to
  // a new client before the reply is done. No descriptor is needed for this,
  // so replies still go out when the process has run out of them.
  bool alive = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    auto it = connections.find(sock);
    alive = it != connections.end() && it->second.id == conn_id;
    if (alive) sending_sock = sock;
  }
  if (!alive) {
    debugE(-1, "sendAll", FN_HANDLE_REQUEST);
    return;
  }
  // Written by _settleReplies, together with the replies to the requests of
  // the same connection that follow it right away.
  held_sock = sock;
  held_conn = conn_id;
  held_out += nelt::frameReply(text);
}

bool ServiceController::_nextIsQuickLocked(const Connection& conn) {
  if (conn.queue.empty()) return false;
  // The dispatcher takes the first connection of ready_recv still open.
  for (const auto& [sock, id] : ready_recv) {
    auto it = connections.find(sock);
    if (it == connections.end() || it->second.id != id) continue;
    if (id != conn.id) return false;
    nelt::RequestRecord next;
    if (!nelt::parseRequestRecord(conn.queue.front(), next)) return false;
    if (_needsStoreClient(next.method, next.code) ||
        (next.method == "GET" && next.code == REQ_LISTUPDATE))
      return false;
    // Before that the start-up thread may hold the data files for a while.
    std::lock_guard<std::mutex> startup(mutex_startup);
    return store_client_ready;
  }
  return false;
}

void ServiceController::_settleReplies() {
  if (held_sock < 0) return;
  bool hold = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    auto it = connections.find(held_sock);
    hold = it != connections.end() && it->second.id == held_conn &&
           held_out.size() < MAX_HELD_REPLY_BYTES && _nextIsQuickLocked(it->second);
  }
  if (!hold) _flushReplies();
}

void ServiceController::_flushReplies() {
  const int sock = held_sock;
  if (sock < 0) return;
  size_t off = 0;
  while (off < held_out.size()) {
    const ssize_t n = send(sock, held_out.data() + off, held_out.size() - off, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    off += static_cast<size_t>(n);
  }
  if (off < held_out.size()) {
    debugE(-1, "sendAll", FN_HANDLE_REQUEST);
    // Half a reply, or none, would leave the client waiting or desynchronised:
    // end the connection; the receive thread sees the hang-up and frees it.
    shutdown(sock, SHUT_RDWR);
  }
  held_out.clear();
  held_sock = -1;
  held_conn = 0;
  bool close_now = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    sending_sock = -1;
    close_now = close_deferred;
    close_deferred = false;
  }
  if (close_now) close(sock);
}

void ServiceController::_echoRecord(const std::string& record, const nelt::RequestRecord& req) {
  std::string text;
  if ((req.code == REQ_LOGIN || req.code == REQ_LOGIN_D) && !req.args.empty()) {
    // The account name is useful in the log; the password never goes there.
    text = recordHead(record);
    const size_t amp = req.args[0].find('&');
    text += req.args[0].substr(0, amp);
    if (amp != std::string::npos || req.args.size() > 1) text += "&***";
    text += '\n';
  } else {
    text = record;
  }
  // Control characters would let a client forge log lines.
  for (char& c : text)
    if ((static_cast<unsigned char>(c) < 0x20 && c != '\n') || c == 0x7f) c = '?';
  printLine(text);
}

void ServiceController::handleRequest() {
  QueuedRequest item;
  bool taken = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    taken = _takeNextLocked(item);
  }
  // Replies are held only while the next request is the same connection's
  // (the connection may have gone meanwhile).
  if (held_sock >= 0 && (!taken || item.conn_id != held_conn)) _flushReplies();
  if (!taken) return;
  nelt::RequestRecord req;
  if (!nelt::parseRequestRecord(item.record, req)) return;
  const int sock = req.sock;
  if (req.code != REQ_CHECKOPENWINDOW) _echoRecord(item.record, req);

  // Start-up work never holds a request longer than it takes itself, and
  // requests that need none of it do not wait at all.
  if (req.code == REQ_LISTUPDATE && req.method == "GET") waitForStartupDetection();
  if (_needsStoreClient(req.method, req.code)) waitForStoreClient();

  std::lock_guard<std::mutex> work(mutex_work);
  cur_sock = sock;
  cur_conn_id = item.conn_id;
  cur_record = std::move(item.record);
  cur_peer = item.peer;
  std::string status;
  data_res.clear();
  std::string why;
  // Whoever holds a reply can find its request in the log: with nothing else
  // waiting the lines go out before the reply does; under load they still go
  // out in batches.
  const auto flushIfIdle = [this] {
    bool idle;
    {
      std::lock_guard<std::mutex> lock(mutex_recv);
      idle = queued_total == 0;
    }
    if (idle) flushLog();
  };
  if (_isAccountRequest(req.method, req.code) && !_callerMayUseAccount(why)) {
    // Refused before its handler: nothing of the account is read or changed.
    _logRefusal(req.code, why);
    flushIfIdle();
    _sendReply(sock, item.conn_id, nelt::replyText(nelt::STATUS_FAILED, ""));
  } else if (_runHandler(req, status)) {
    buffer_send = nelt::replyText(status, data_res);
    flushIfIdle();
    _sendReply(sock, item.conn_id, buffer_send);
  }
  data_res.clear();
  cur_record.clear();
  cur_peer = nelt::PeerUid();
  cur_sock = -1;
  cur_conn_id = 0;
  _settleReplies();
  std::lock_guard<std::mutex> lock(mutex_recv);
  // Held replies keep the connection's later open-window requests in line.
  dispatching_conn = held_sock >= 0 ? item.conn_id : 0;
}

bool ServiceController::_isAccountRequest(const std::string& method, int code) {
  if (method == "POST") return code == REQ_LOGIN || code == REQ_LOGIN_D || code == REQ_SAVE_SETTING;
  if (method == "GET")
    return code == REQ_LOGOUT || code == REQ_LOGOUT_D || code == REQ_GETTOKEN ||
           code == REQ_GETKEY || code == REQ_GETACCCURENT || code == REQ_GET_SETTING;
  return false;
}

bool ServiceController::_callerMayUseAccount(std::string& why) const {
  return nelt::callerMayUseAccount(cur_peer, ALLOWED_GROUP, why);
}

void ServiceController::_logRefusalOf(int code, const std::string& why, const nelt::PeerUid& peer) {
  debugW("Refused request " + std::to_string(code) + " of uid " +
             (peer.known ? std::to_string(peer.uid) : std::string("unknown")) + ": " + why,
         FN_HANDLE_REQUEST);
}

bool ServiceController::_answerNowLocked(int sock, Connection& conn, const std::string& line,
                                         bool allowed, const std::string& why, std::string& out) {
  // Replies go out in request order: with an earlier request still waiting
  // or being handled, this one waits its turn.
  if (!conn.queue.empty() || dispatching_conn == conn.id) return false;
  const std::string record = recordOf(sock, line);
  nelt::RequestRecord req;
  if (!nelt::parseRequestRecord(record, req) || !isAnsweredOnReceipt(req)) return false;
  if (req.code != REQ_CHECKOPENWINDOW) _echoRecord(record, req);
  std::string status, data;
  if (req.code == REQ_GETHOST) {
    data = _hostData();
    status = nelt::STATUS_OK;
  } else {
    _openWindowLocked(req.code, req.args, sock, true, allowed, why, conn.peer, status, data);
  }
  out += nelt::frameReply(nelt::replyText(status, data));
  return true;
}

void ServiceController::_sendNowLocked(int sock, const std::string& frames) {
  if (frames.empty()) return;
  // The socket is the one that sent the lines, and only this thread closes
  // sockets it owns: no other connection can be on that number now. A
  // client whose buffers are full gets its connection ended rather than
  // holding the receive thread.
  ssize_t n;
  do {
    n = send(sock, frames.data(), frames.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(frames.size())) {
    debugE(-1, "sendAll", FN_THREAD_RECV);
    shutdown(sock, SHUT_RDWR);
  }
}

void ServiceController::_logRefusal(int code, const std::string& why) const {
  debugW("Refused request " + std::to_string(code) + " of uid " +
             (cur_peer.known ? std::to_string(cur_peer.uid) : std::string("unknown")) + ": " + why,
         FN_HANDLE_REQUEST);
}
