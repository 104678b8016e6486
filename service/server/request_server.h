// The request server of KavixService: listens on the loopback interface,
// receives request lines on its own thread (epoll), keeps one queue per
// connection and hands the requests to the dispatcher one at a time, in
// arrival order, holding back the replies to requests a connection sent
// together so that they go out in one write. It knows nothing of what the
// requests mean: the ServerHooks answer what it has to ask.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer_uid.h"
#include "protocol.h"
#include "request_context.h"

// What the server asks of the code that answers the requests.
class ServerHooks {
 public:
  virtual ~ServerHooks() = default;
  // Receive thread, outside the server's lock: whether the caller of `req`
  // must be checked before it can be answered on receipt.
  virtual bool checksCallerOnReceipt(const nelt::RequestRecord& req) = 0;
  // Receive thread, under the server's lock, with nothing of the connection
  // waiting or being handled: appends the framed reply to `out` and returns
  // true when the request is answered right away instead of being queued.
  virtual bool answerOnReceiptLocked(const RequestContext& ctx, bool allowed,
                                     const std::string& why, std::string& out) = 0;
  // Under the server's lock, when a connection closes.
  virtual void connectionClosedLocked(int sock) = 0;
  // Under the server's lock: whether the dispatcher answers `next` without
  // waiting on the store or the start-up work, so its reply may join the
  // held ones.
  virtual bool answersQuicklyLocked(const nelt::RequestRecord& next) = 0;
};

class RequestServer {
 public:
  explicit RequestServer(ServerHooks& hooks);
  RequestServer(const RequestServer&) = delete;
  RequestServer& operator=(const RequestServer&) = delete;

  // 0 when listening on `port` or one of the alternative ports, else -2 to -7.
  int initSocket(int port);
  // Starts the receive thread; clients can connect from here on.
  void start();
  // Accepts one connection; the new socket, or -1.
  int acceptNewClient();
  void threadRecv();
  void initClientTable();
  void setClientID(int sock, CLIENT_ID id);
  CLIENT_ID getClientID(int sock);

  // Dispatcher side. Blocks until a request waits or held replies must go.
  void waitForWork();
  // Counts a handled request; the log is flushed every few.
  void noteHandled();
  // Takes the next request off the queues into `ctx` (parsed). Held replies
  // of another connection are sent first. False when nothing was taken or
  // the record does not parse.
  bool takeNext(RequestContext& ctx);
  // Flushes the log when no request is waiting, so that whoever holds a
  // reply can find its request in the log.
  void flushLogIfIdle();
  // Holds the framed reply `text` for the request's connection (dropped
  // with a log line when the connection has gone).
  void reply(const RequestContext& ctx, const std::string& text);
  // Ends the request: sends what is held unless the connection's next
  // request is answered quickly, and lets the connection's open-window
  // requests be answered on receipt again once nothing is held.
  void finishRequest(const RequestContext& ctx);
  // Runs `work` under the server's lock with whether the request's
  // connection is still open.
  void withConnectionLocked(const RequestContext& ctx, const std::function<void(bool)>& work);
  // Sets the kind of the request's connection when it is still open.
  void setClientIDIfAlive(const RequestContext& ctx, CLIENT_ID id);

 private:
  static constexpr int CLIENT_SLOTS = 10;
  static constexpr int MAX_EVENTS = 20;
  // A connection with this many requests waiting is not read any more until
  // the dispatcher has worked its queue down to RESUME_QUEUED: a client that
  // sends without reading its replies then fills its own socket buffers, not
  // the service's memory. One receive can add a few more lines past the mark.
  static constexpr size_t MAX_QUEUED = 32;
  static constexpr size_t RESUME_QUEUED = 16;
  // Connections past this many are closed as soon as they are accepted, so
  // the queues stay bounded in total and descriptors remain for the store
  // transfers and the data files.
  static constexpr size_t MAX_CONNECTIONS = 4096;
  // Replies held back for one write, at most this many bytes.
  static constexpr size_t MAX_HELD_REPLY_BYTES = 64 * 1024;

  // Per open connection: its number, the bytes of a line not yet complete and
  // its requests waiting for the dispatcher, oldest first.
  struct Connection {
    uint64_t id = 0;
    nelt::PeerUid peer;  // looked up once, at accept
    nelt::RequestAssembler assembler;
    std::deque<std::string> queue;
    bool paused = false;    // not read until its queue has gone down
    bool in_ready = false;  // listed in ready_recv
  };

  // Socket set-up and the receive thread (request_server.cpp).
  int _listenOn(int port);
  void _closeListener();
  void _writePortFile(int port);
  void _acceptAndRegister();
  bool _receive(int sock);
  bool _queueLines(int sock, const std::vector<std::string>& lines);
  void _closeConnection(int sock);
  void _refuseConnection();
  void _freeSlotLocked(int sock);
  void _setClientIDLocked(int sock, CLIENT_ID id);
  // Appends the reply to `out` when it answered the line on receipt.
  bool _answerNowLocked(int sock, Connection& conn, const std::string& line, bool allowed,
                        const std::string& why, std::string& out);
  // Sends the replies answered on receipt; ends the connection when they do
  // not fit its buffers.
  void _sendNowLocked(int sock, const std::string& frames);

  // The dispatcher's side (reply_batching.cpp).
  bool _takeNextLocked(uint64_t& conn_id, RequestContext& ctx);
  void _sendReply(int sock, uint64_t conn_id, const std::string& text);
  // Replies to requests a connection sent together go out in one write:
  // while the next request to handle is the same connection's and is
  // answered locally (no store, no start-up work), its reply is held;
  // otherwise everything held is sent now.
  bool _nextIsQuickLocked(const Connection& conn);
  void _settleReplies();
  void _flushReplies();

  ServerHooks& hooks;
  std::thread thread_recv;
  // Guards ready_recv, queued_total, connections (with their queues),
  // clients, sending_sock, close_deferred and dispatching_conn, and whatever
  // the hooks touch under it: the receive thread and the dispatcher both use
  // them.
  std::mutex mutex_recv;
  // Signalled when a request is queued; the dispatcher sleeps on it.
  std::condition_variable cond_recv;
  bool loop_thread_recv = false;
  // Connections with queued requests, in the order they are served: the
  // dispatcher takes one request from the front connection and puts it back
  // at the end while it has more, so no client waits behind another's
  // backlog. Entries of connections closed meanwhile are skipped.
  std::deque<std::pair<int, uint64_t>> ready_recv;
  size_t queued_total = 0;
  int listener = -1;
  std::pair<int, CLIENT_ID> clients[CLIENT_SLOTS];
  sockaddr_in addr{};
  int fd = -1;
  int nfds = 0;
  epoll_event event{};
  epoll_event events[MAX_EVENTS]{};
  // Open connections by socket (receive thread inserts and erases).
  std::map<int, Connection> connections;
  uint64_t next_conn_id = 1;
  // The connection whose request the dispatcher is handling (under
  // mutex_recv): its later requests wait for it, open-window ones included.
  uint64_t dispatching_conn = 0;
  // Requests answered since standard output was last flushed.
  int unflushed_requests = 0;
  // The socket a reply is being written to. The receive thread leaves the
  // closing of that socket to the dispatcher (close_deferred), so its number
  // cannot go to a new client in the middle of the reply.
  int sending_sock = -1;
  bool close_deferred = false;
  // Replies written but not yet sent (dispatcher only), for held_sock's
  // connection held_conn; sending_sock stays on it until they are sent.
  std::string held_out;
  int held_sock = -1;
  uint64_t held_conn = 0;
  // A descriptor held back (on /dev/null) for the moment the process runs out
  // of them: freeing it lets the receive thread accept and close the waiting
  // connection instead of leaving it hanging in the backlog.
  int spare_fd = -1;
  // The accept error line is written at most once per ACCEPT_LOG_SECONDS seconds.
  std::chrono::steady_clock::time_point last_accept_log{};
  bool accept_logged = false;
};
