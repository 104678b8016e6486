// The window's side of the local request protocol: one object per window
// process, two loopback connections to the store service (the main connection
// for every catalog, account and settings request, the open-window connection
// for the one-window-per-desktop words).
//
// Every operation sends one request line and blocks until the framed reply has
// been read. Each whole exchange (send, receive, parsing of the reply into
// `ierr` and `output`) runs under the connection's lock, so the install worker
// and the event loop can share the object. A caller that must not see another
// thread's reply in between passes a `KavixReply`: it receives the status and a
// copy of the document taken under the same lock.
#pragma once

#include <arpa/inet.h>
#include <rapidjson/document.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

#include "protocol.h"
#include "service_client.h"

class KavixAPI : public ServiceClient {
 public:
  KavixAPI(int port, bool is_store);
  ~KavixAPI() override;
  KavixAPI(const KavixAPI&) = delete;
  KavixAPI& operator=(const KavixAPI&) = delete;

  // Opens both connections, identifies the client and asks for the store
  // server's address (fills URL_HOST). 1 on success, -1 on any failure.
  int init();

  // A deep copy of the last main-connection reply's document.
  rapidjson::Document getOutputJson();
  std::string getErrorLog(int code);

  // Main-connection requests: 0 when a reply arrived (whatever its status),
  // -1 when the request could not be sent or the reply not read. With `reply`
  // the status and document of this very exchange are copied into it.
  int loginAcc(const std::string& account, const std::string& password,
               KavixReply* reply = nullptr) override;
  int logoutAcc(KavixReply* reply = nullptr) override;
  int getListSections(KavixReply* reply = nullptr) override;
  int searchAll(const std::string& text, KavixReply* reply = nullptr) override;
  int getToken(KavixReply* reply = nullptr);
  int getListInstalleds(KavixReply* reply = nullptr) override;
  int getKey(const std::string& slug, KavixReply* reply = nullptr);
  int getListApps(int section, KavixReply* reply = nullptr) override;
  int getAccCurrent(KavixReply* reply = nullptr) override;
  int getDetailApp(int id, KavixReply* reply = nullptr);
  int getDetailApp(const std::string& slug, KavixReply* reply = nullptr) override;
  // `text` receives the whole reply text (status word, space, data, line feed).
  int getSetting(std::string& text, KavixReply* reply = nullptr) override;
  int setSetting(const std::string& text, KavixReply* reply = nullptr) override;

  // Open-window connection: 0 when the status is 200, else -1. `word`
  // receives the pending open-window word (possibly empty).
  int checkOpenWindow(std::string& word);
  int setOpenWindow(const std::string& word);
  // Opens the open-window connection again after it was given up (a reply
  // that did not come in time). 0 when it is open, -1 when it cannot be.
  int reopenOpenWindow();

  // The same open-window exchanges split for an event loop, which watches
  // `openWindowSocket()` for the reply instead of waiting for it: send the
  // question (GET 18, or POST 19 with `word` when `register_word`), then,
  // once the socket is readable, read the reply (0 when its status is 200,
  // `word` filled for GET 18). A failed read closes the connection, as does
  // `dropOpenWindow` for a question whose reply did not come in time (the
  // late reply would be taken for the next one's). -1 when the socket is
  // closed.
  int sendOpenWindowRequest(bool register_word, const std::string& word);
  int readOpenWindowReply(std::string& word);
  int openWindowSocket();
  void dropOpenWindow();
  std::chrono::milliseconds receiveTimeout() const {
    return std::chrono::milliseconds(recv_timeout_ms.load());
  }

  // Requests of the developer tool's kind of client; the window sends nothing.
  int getListUpdates() { return 0; }
  int loginAccDev(const std::string&, const std::string&) { return 0; }
  int logoutAccDev() { return 0; }
  int checkKeyDev() { return 0; }
  int getListAppsDev() { return 0; }

  // Every exchange has a time limit, so a service that stops answering fails
  // the request instead of freezing its caller (the window's event loop). A
  // reply that does not arrive in time fails the exchange and closes the
  // connection, because the late reply would otherwise be taken for the
  // answer to the next request. The limit also bounds connecting and
  // sending. 0 waits without limit.
  static constexpr std::chrono::milliseconds DEFAULT_REQUEST_TIMEOUT{30000};
  void setReceiveTimeout(std::chrono::milliseconds timeout);

  int getPort() const { return port.load(); }

  // The port file to read again before every connection attempt (`init`
  // and `reopenOpenWindow`): a service restarted onto another port is found
  // there. Empty (the default) keeps the port given to the constructor.
  void setPortFile(const std::string& path);

  // True when the last main-connection exchange failed because the service
  // went away (the connection was closed or reset, or was already gone),
  // not because its reply was late or malformed.
  bool connectionLost() const { return connection_lost.load(); }

  // Why the last init() refused the process at the port: not root's, not
  // this user's and not allowed by NELT_TRUST_SERVICE_UID. Empty when init()
  // did not refuse it (it may still have failed to connect).
  std::string serviceRefusal() const { return service_refusal; }

  // Status of the last completed main-connection exchange.
  std::atomic<int> ierr{0};

 private:
  int _exchange(METHOD_ID method, REQUEST_ID code, const std::string& argument,
                const char* send_failed, const char* recv_failed, KavixReply* reply);
  static void createRequest(std::string& request, METHOD_ID method, REQUEST_ID code,
                            const std::string& argument);
  int _sendLine(int fd, const std::string& line);
  // Reads one framed reply text. -1 on error or end of stream.
  // `lost` (when given) is set when the peer closed or reset the connection.
  int _recvText(int fd, std::string& text, bool* lost = nullptr);
  int recvAll(int fd, std::string& text, bool* lost = nullptr);
  int _recvFramed(int fd, std::string& text, bool& gone);
  // Reads the port file (when one is set) into `port` and `serv_addr`.
  void _reloadPort();
  int recvOpenWindow(int fd, int& status, std::string& word);
  void _closeSocket(int& fd);

  int sock = -1;
  int sock_open_window = -1;
  struct sockaddr_in serv_addr {};
  std::atomic<int> port{0};
  std::string port_file;  // set before the first connection, then read only
  std::atomic<bool> connection_lost{false};
  bool is_store = true;
  // Data of the last main-connection reply; guarded by mutex_output.
  rapidjson::Document output;
  // Held for each whole exchange on the main connection, and while `output`
  // is copied.
  std::mutex mutex_output;
  // Held for each whole exchange on the open-window connection.
  std::mutex mutex_open_window;
  std::atomic<long long> recv_timeout_ms{DEFAULT_REQUEST_TIMEOUT.count()};
  void _applyTimeout(int fd);
  // Whether the connected `fd` leads to a trustworthy service; the account
  // password and tokens travel on these connections.
  bool _trustedService(int fd);
  std::string service_refusal;
};

// Splits a received reply text into status word and data ("200 {...}\n").
void parseResponse(std::string text, const std::string& delimiters,
                   std::vector<std::string>& parts);

namespace nelt {
// The port the service's port file names ({"port": N}, 1 to 65535); false
// when the file is missing or says nothing usable.
bool readPortFile(const std::string& path, int& port);
}  // namespace nelt
