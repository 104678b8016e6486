// Listening socket, accept, the receive thread and the per-connection queues.
#include "request_server.h"

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
#include "utils.h"

namespace {
const char* const FN_INIT_SOCKET = "int ServiceController::initSocket()";
const char* const FN_ACCEPT = "int ServiceController::acceptNewClient()";
const char* const FN_THREAD_RECV = "void ServiceController::threadRecv()";

// A client that stops reading its replies holds every other client while the
// dispatcher waits on it: after this long without progress its reply fails
// and the connection is closed. The window reads each reply right after its
// request, so it never comes near.
constexpr int SEND_TIMEOUT_SEC = 2;
// Out of descriptors, every waiting connection fails its accept: one line
// per this many seconds is enough to tell.
constexpr int ACCEPT_LOG_SECONDS = 10;

// Ends the process from the receive thread without running destructors that
// the main thread may still be using.
[[noreturn]] void exitNow(int code) {
  std::cout.flush();
  std::cerr.flush();
  std::fflush(nullptr);
  _exit(code & 0xff);
}
}  // namespace

RequestServer::RequestServer(ServerHooks& hooks) : hooks(hooks) { initClientTable(); }

void RequestServer::start() {
  spare_fd = open("/dev/null", O_RDONLY | O_CLOEXEC);
  loop_thread_recv = true;
  thread_recv = std::thread(&RequestServer::threadRecv, this);
}

int RequestServer::initSocket(int port) {
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

void RequestServer::_closeListener() {
  if (fd >= 0) close(fd);
  fd = -1;
  if (listener >= 0) close(listener);
  listener = -1;
}

int RequestServer::_listenOn(int port) {
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

void RequestServer::_writePortFile(int port) {
  // Written whole or not at all, so a window never reads half a number.
  const std::string text = "{\"port\":" + std::to_string(port) + "}";
  nelt::writeFileAtomic(servicePortFile(), text, 0644);
}

void RequestServer::initClientTable() {
  for (auto& slot : clients) slot = {-1, CLI_UNKNOW};
}

void RequestServer::setClientID(int sock, CLIENT_ID id) {
  std::lock_guard<std::mutex> lock(mutex_recv);
  _setClientIDLocked(sock, id);
}

void RequestServer::_setClientIDLocked(int sock, CLIENT_ID id) {
  for (auto& slot : clients) {
    if (slot.first == sock) {
      slot.second = id;
      return;
    }
  }
}

CLIENT_ID RequestServer::getClientID(int sock) {
  std::lock_guard<std::mutex> lock(mutex_recv);
  for (const auto& slot : clients)
    if (slot.first == sock) return slot.second;
  return CLI_UNKNOW;
}

void RequestServer::_freeSlotLocked(int sock) {
  for (auto& slot : clients) {
    if (slot.first == sock) {
      slot = {-1, CLI_UNKNOW};
      return;
    }
  }
}

int RequestServer::acceptNewClient() {
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

void RequestServer::_refuseConnection() {
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

void RequestServer::_acceptAndRegister() {
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

void RequestServer::threadRecv() {
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

bool RequestServer::_receive(int sock) {
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

bool RequestServer::_queueLines(int sock, const std::vector<std::string>& lines) {
  if (lines.empty()) return true;
  // Whether the caller may take the window's slot, asked outside the lock
  // and only when an open-window request came.
  bool open_window = false;
  for (const auto& line : lines) {
    nelt::RequestRecord req;
    if (nelt::parseRequestRecord(recordOf(sock, line), req) && hooks.checksCallerOnReceipt(req))
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

void RequestServer::_closeConnection(int sock) {
  if (epoll_ctl(fd, EPOLL_CTL_DEL, sock, nullptr) != 0) debugE(-1, "epoll_ctl", FN_THREAD_RECV);
  bool busy = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    hooks.connectionClosedLocked(sock);
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

bool RequestServer::_answerNowLocked(int sock, Connection& conn, const std::string& line,
                                     bool allowed, const std::string& why, std::string& out) {
  // Replies go out in request order: with an earlier request still waiting
  // or being handled, this one waits its turn.
  if (!conn.queue.empty() || dispatching_conn == conn.id) return false;
  RequestContext ctx;
  ctx.sock = sock;
  ctx.conn_id = conn.id;
  ctx.peer = conn.peer;
  ctx.record = recordOf(sock, line);
  if (!nelt::parseRequestRecord(ctx.record, ctx.req)) return false;
  return hooks.answerOnReceiptLocked(ctx, allowed, why, out);
}

void RequestServer::_sendNowLocked(int sock, const std::string& frames) {
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
