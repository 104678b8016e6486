// The request server of KavixService: listens on the loopback interface,
// receives request lines on its own thread (epoll), queues them and answers
// them one at a time, in arrival order, on the main thread.
#pragma once

#include <netinet/in.h>
#include <sys/epoll.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "peer_uid.h"
#include "protocol.h"
#include "version_queries.h"

class ServiceAPI;
class Repository;
struct Infoupdate_installed_app;
namespace nelt {
struct InstalledEntry;
}

class ServiceController {
 public:
  explicit ServiceController(std::string url_server);
  ~ServiceController();
  ServiceController(const ServiceController&) = delete;
  ServiceController& operator=(const ServiceController&) = delete;

  // Opens the listening socket, starts the receive thread and answers requests
  // forever. Ends the process with the socket step's code when it cannot listen.
  void run();
  // 0 when listening on `port` or one of the alternative ports, else -2 to -7.
  int initSocket(int port);
  // Accepts one connection; the new socket, or -1.
  int acceptNewClient();
  void threadRecv();
  void initClientTable();
  void setClientID(int sock, CLIENT_ID id);
  CLIENT_ID getClientID(int sock);
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
  // Version queries of one update detection in flight at once (enough for
  // most lists to go out in one or a few rounds; the connections are closed
  // when the detection ends), and how far past one query's time limit the
  // whole detection may run.
  static constexpr int VERSION_QUERIES_IN_FLIGHT = 64;
  static constexpr long DETECTION_SLACK_SECONDS = 0;

  // One request taken off a connection's queue: the record ("SOCK LINE") and
  // the connection it came from. Socket numbers are reused by the system; the
  // connection number is not, so a reply never goes to a later connection on
  // the same socket.
  struct QueuedRequest {
    uint64_t conn_id = 0;
    std::string record;
    nelt::PeerUid peer;  // who opened the connection
  };
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

  // Socket set-up (service_controller.cpp).
  int _listenOn(int port);
  void _closeListener();
  void _writePortFile(int port);
  void _acceptAndRegister();
  bool _receive(int sock);
  bool _queueLines(int sock, const std::vector<std::string>& lines);
  void _closeConnection(int sock);
  bool _takeNextLocked(QueuedRequest& item);
  void _refuseConnection();
  void _freeSlotLocked(int sock);
  void _setClientIDLocked(int sock, CLIENT_ID id);
  bool _currentAliveLocked() const;
  void _echoRecord(const std::string& record, const nelt::RequestRecord& req);
  void _sendReply(int sock, uint64_t conn_id, const std::string& text);
  // Replies to requests a connection sent together go out in one write:
  // while the next request to handle is the same connection's and is
  // answered locally (no store, no start-up work), its reply is held;
  // otherwise everything held is sent now.
  bool _nextIsQuickLocked(const Connection& conn);
  void _settleReplies();
  void _flushReplies();

  // Start-up work done after the port is open, on its own thread: the store
  // client (its identity asks the network) and the first update detection.
  void _startupWork();
  // Whether a request can be answered without the store client.
  static bool _needsStoreClient(const std::string& method, int code);
  // Update detection (update_detection.cpp).
  VersionQuerySetup _versionQuerySetup() const;
  // `previous` is the list stored before, read only for applications whose
  // query fails. Applications in `asked` are not asked again; the others
  // are, before `deadline` (by default the transfer limit from now).
  std::vector<Infoupdate_installed_app> _queryMarks(
      const std::vector<nelt::InstalledEntry>& inventory, const std::string& previous,
      const VersionQuerySetup& setup, const std::vector<VersionQuery>& asked = {},
      std::chrono::steady_clock::time_point deadline = {});
  // Fills `queries` from the answers kept for reuse and asks the store for
  // the rest, keeping the new answers.
  void _askVersions(std::vector<VersionQuery>& queries, const VersionQuerySetup& setup,
                    std::chrono::steady_clock::time_point deadline);
  static std::chrono::steady_clock::time_point _detectionDeadline(const VersionQuerySetup& setup);
  int _writeMarkedList(const std::string& inventory,
                       const std::vector<Infoupdate_installed_app>& updates);
  // The open-window requests touch only the state under mutex_recv, and the
  // store address never changes after start: the receive thread answers
  // these itself when the connection has nothing else waiting, so a slow
  // request of another client never delays them and they cost no hand-over
  // to the dispatcher.
  // Appends the reply to `out` when it answered the line.
  bool _answerNowLocked(int sock, Connection& conn, const std::string& line, bool allowed,
                        const std::string& why, std::string& out);
  // Sends the replies answered on receipt; ends the connection when they do
  // not fit its buffers.
  void _sendNowLocked(int sock, const std::string& frames);
  // The data of the store-address reply.
  static std::string _hostData();
  void _openWindowLocked(int code, const std::vector<std::string>& args, int sock, bool alive,
                         bool allowed, const std::string& why, const nelt::PeerUid& peer,
                         std::string& status, std::string& data);

  // Handlers (handlers.cpp).
  void _setupHandlers();
  bool _runHandler(const nelt::RequestRecord& req, std::string& status);
  bool _runGet(const nelt::RequestRecord& req, std::string& status);
  bool _runPost(const nelt::RequestRecord& req, std::string& status);
  bool _hasArgument(const nelt::RequestRecord& req, std::string& status);
  void _handleInfo(const nelt::RequestRecord& req, std::string& status);
  void _handleGetHost(std::string& status);
  void _handleCheckOpenWindow(std::string& status);
  void _handleSetOpenWindow(const nelt::RequestRecord& req, std::string& status);
  void _handleLogin(const nelt::RequestRecord& req, bool dev, std::string& status);
  void _handleLogout(bool dev, std::string& status);
  void _handleSections(std::string& status);
  void _handleAccountCurrent(std::string& status);
  void _handleGetToken(std::string& status);
  void _handleGetKey(const nelt::RequestRecord& req, std::string& status);
  void _handleSearch(const nelt::RequestRecord& req, std::string& status);
  void _handleListInstalled(bool refresh, std::string& status);
  void _handleListApps(const nelt::RequestRecord& req, std::string& status);
  void _handleDetailApp(const nelt::RequestRecord& req, std::string& status);
  void _handleGetSetting(std::string& status);
  void _handleSaveSetting(const nelt::RequestRecord& req, std::string& status);
  void _takeReply(int rc, std::string& status);
  // The argument of the request being handled exactly as sent.
  std::string _rawArgument() const;
  // Whether the caller of the request being handled may use the store
  // account: root, the active session's user or a member of the allowed
  // group. `why` names the rule, or says why none applies.
  bool _callerMayUseAccount(std::string& why) const;
  // Requests that read or change the store account or its settings.
  static bool _isAccountRequest(const std::string& method, int code);
  void _logRefusal(int code, const std::string& why) const;
  static void _logRefusalOf(int code, const std::string& why, const nelt::PeerUid& peer);
  static bool _isSectionList(const std::string& text);

 public:
  int ret = 0;
  ServiceAPI* api = nullptr;
  Repository* repo = nullptr;
  std::thread thread_recv;
  // Guards ready_recv, queued_total, connections (with their queues),
  // clients, screen_open, sock_open, sock_open_store, sending_sock and
  // close_deferred: the receive thread and the dispatcher both touch them.
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
  std::string buffer_send;
  std::string data_res;
  int listener = -1;
  std::pair<int, CLIENT_ID> clients[CLIENT_SLOTS];
  sockaddr_in addr{};
  int fd = -1;
  int nfds = 0;
  epoll_event event{};
  epoll_event events[MAX_EVENTS]{};
  std::string s_url_server;
  // Held by the dispatcher while it handles a request and by the start-up
  // thread while it stores its list: the repository is not shared otherwise.
  std::mutex mutex_work;
  std::thread thread_startup;
  std::mutex mutex_startup;
  std::condition_variable cond_startup;
  bool store_client_ready = false;
  bool startup_detection_done = false;
  // Counts the installed lists the dispatcher stored; the start-up list is
  // not stored over a newer one.
  uint64_t inventory_generation = 0;
  VersionCache version_cache;
  std::string screen_open;
  int sock_open = -1;
  int sock_open_store = -1;

 private:
  // Open connections by socket (receive thread inserts and erases).
  std::map<int, Connection> connections;
  uint64_t next_conn_id = 1;
  // The connection whose request the dispatcher is handling (under
  // mutex_recv): its later requests wait for it, open-window ones included.
  uint64_t dispatching_conn = 0;
  // Requests answered since standard output was last flushed.
  int unflushed_requests = 0;
  // The request being handled: its socket and connection number.
  int cur_sock = -1;
  uint64_t cur_conn_id = 0;
  std::string cur_record;
  nelt::PeerUid cur_peer;
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
