// The dispatcher's side of the request server: taking the next request in
// turn and holding back replies so that a connection's batch of requests is
// answered in one write.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

#include "request_server.h"
#include "utils.h"

namespace {
const char* const FN_HANDLE_REQUEST = "void ServiceController::handleRequest(";
// The dispatcher flushes the log at least every this many requests.
constexpr int FLUSH_EVERY_REQUESTS = 8;
}  // namespace

void RequestServer::waitForWork() {
  std::unique_lock<std::mutex> lock(mutex_recv);
  if (queued_total == 0) {
    flushLog();
    unflushed_requests = 0;
  }
  cond_recv.wait(lock, [this] { return queued_total > 0 || held_sock >= 0; });
}

void RequestServer::noteHandled() {
  if (++unflushed_requests >= FLUSH_EVERY_REQUESTS) {
    flushLog();
    unflushed_requests = 0;
  }
}

bool RequestServer::takeNext(RequestContext& ctx) {
  uint64_t conn_id = 0;
  bool taken = false;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    taken = _takeNextLocked(conn_id, ctx);
  }
  // Replies are held only while the next request is the same connection's
  // (the connection may have gone meanwhile).
  if (held_sock >= 0 && (!taken || conn_id != held_conn)) _flushReplies();
  if (!taken) return false;
  if (!nelt::parseRequestRecord(ctx.record, ctx.req)) return false;
  ctx.sock = ctx.req.sock;
  return true;
}

void RequestServer::flushLogIfIdle() {
  bool idle;
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    idle = queued_total == 0;
  }
  if (idle) flushLog();
}

void RequestServer::reply(const RequestContext& ctx, const std::string& text) {
  _sendReply(ctx.sock, ctx.conn_id, text);
}

void RequestServer::finishRequest(const RequestContext& ctx) {
  _settleReplies();
  std::lock_guard<std::mutex> lock(mutex_recv);
  // Held replies keep the connection's later open-window requests in line.
  dispatching_conn = held_sock >= 0 ? ctx.conn_id : 0;
}

void RequestServer::withConnectionLocked(const RequestContext& ctx,
                                         const std::function<void(bool)>& work) {
  std::lock_guard<std::mutex> lock(mutex_recv);
  auto it = connections.find(ctx.sock);
  work(it != connections.end() && it->second.id == ctx.conn_id);
}

void RequestServer::setClientIDIfAlive(const RequestContext& ctx, CLIENT_ID id) {
  withConnectionLocked(ctx, [&](bool alive) {
    if (alive) _setClientIDLocked(ctx.sock, id);
  });
}

bool RequestServer::_takeNextLocked(uint64_t& conn_id, RequestContext& ctx) {
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
    conn_id = id;
    dispatching_conn = id;
    ctx.conn_id = id;
    ctx.peer = conn.peer;
    ctx.record = std::move(conn.queue.front());
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

void RequestServer::_sendReply(int sock, uint64_t conn_id, const std::string& text) {
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

bool RequestServer::_nextIsQuickLocked(const Connection& conn) {
  if (conn.queue.empty()) return false;
  // The dispatcher takes the first connection of ready_recv still open.
  for (const auto& [sock, id] : ready_recv) {
    auto it = connections.find(sock);
    if (it == connections.end() || it->second.id != id) continue;
    if (id != conn.id) return false;
    nelt::RequestRecord next;
    if (!nelt::parseRequestRecord(conn.queue.front(), next)) return false;
    return hooks.answersQuicklyLocked(next);
  }
  return false;
}

void RequestServer::_settleReplies() {
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

void RequestServer::_flushReplies() {
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
