#include "kavix_api.h"

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

#include "fsutil.h"
#include "json_util.h"
#include "model_log.h"
#include "peer_uid.h"
#include "store_globals.h"

using nelt::window::URL_HOST;

namespace {

// Replies are JSON documents of a few kilobytes; the largest are catalog
// lists. Anything far beyond that is a broken or hostile peer, not a reply.
constexpr int32_t MAX_REPLY_LENGTH = 256 * 1024 * 1024;

// A line feed would end the request early and make the service answer twice,
// which would pair every later request with the wrong reply; a zero byte cuts
// the line in the service's string handling.
bool isSendableArgument(const std::string& argument) {
  return argument.find('\n') == std::string::npos && argument.find('\0') == std::string::npos;
}

}  // namespace

void parseResponse(std::string text, const std::string& delimiters,
                   std::vector<std::string>& parts) {
  (void)delimiters;  // replies are always split at the first space
  std::string status, data;
  bool has_data = false;
  if (!nelt::splitReplyText(text, status, data, has_data)) return;
  parts.push_back(status);
  if (has_data) parts.push_back(data);
}

bool nelt::readPortFile(const std::string& path, int& port) {
  const std::string text = nelt::readJoinedLines(path);
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  int value = 0;
  if (doc.HasParseError() || !doc.IsObject() || !nelt::getInt(doc, "port", value) || value <= 0 ||
      value > 65535)
    return false;
  port = value;
  return true;
}

void KavixAPI::setPortFile(const std::string& path) { port_file = path; }

void KavixAPI::_reloadPort() {
  int fresh = 0;
  if (!port_file.empty() && nelt::readPortFile(port_file, fresh)) port = fresh;
  std::memset(&serv_addr, 0, sizeof serv_addr);
  serv_addr.sin_family = AF_INET;
  serv_addr.sin_port = htons(static_cast<uint16_t>(port.load()));
  inet_pton(AF_INET, "127.0.0.1", &serv_addr.sin_addr);
}

KavixAPI::KavixAPI(int port_, bool is_store_) : port(port_), is_store(is_store_) {
  output.SetObject();
}

KavixAPI::~KavixAPI() {
  _closeSocket(sock);
  _closeSocket(sock_open_window);
}

void KavixAPI::_closeSocket(int& fd) {
  if (fd >= 0) {
    ::shutdown(fd, SHUT_RDWR);
    ::close(fd);
  }
  fd = -1;
}

void KavixAPI::_applyTimeout(int fd) {
  if (fd < 0) return;
  const long long ms = recv_timeout_ms.load();
  struct timeval tv {};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  // The send limit also bounds connect() on Linux.
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

void KavixAPI::setReceiveTimeout(std::chrono::milliseconds timeout) {
  recv_timeout_ms = timeout.count() < 0 ? 0 : timeout.count();
  {
    std::lock_guard<std::mutex> lock(mutex_output);
    _applyTimeout(sock);
  }
  std::lock_guard<std::mutex> lock(mutex_open_window);
  _applyTimeout(sock_open_window);
}

bool KavixAPI::_trustedService(int fd) {
  std::string why;
  if (nelt::checkServiceEnd(fd, why)) return true;
  service_refusal = why;
  nelt::debugLog("Refusing the store service: " + why);
  return false;
}

int KavixAPI::init() {
  service_refusal.clear();
  _closeSocket(sock);
  _closeSocket(sock_open_window);
  // Close-on-exec: applications started by the engine must not inherit the
  // service connections (the service would see the window as still open).
  sock = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) {
    nelt::debugLog("Socket creation error \n");
    return -1;
  }
  sock_open_window = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock_open_window < 0) {
    nelt::debugLog("Socket open window creation error \n");
    return -1;
  }
  _applyTimeout(sock);
  _applyTimeout(sock_open_window);
  // The service may have moved to another port since the last attempt.
  _reloadPort();
  if (port <= 0 || port > 65535 ||
      ::connect(sock, reinterpret_cast<struct sockaddr*>(&serv_addr), sizeof serv_addr) < 0) {
    nelt::debugLog("Connection Failed \n");
    return -1;
  }
  if (::connect(sock_open_window, reinterpret_cast<struct sockaddr*>(&serv_addr),
                sizeof serv_addr) < 0) {
    nelt::debugLog("Connection sock_open_window Failed \n");
    return -1;
  }
  // Nothing is sent before the other end is known to be the service: when
  // it is down, any local user could listen on its port.
  if (!_trustedService(sock) || !_trustedService(sock_open_window)) {
    _closeSocket(sock);
    _closeSocket(sock_open_window);
    return -1;
  }

  std::lock_guard<std::mutex> lock(mutex_output);
  std::string request;
  createRequest(request, POST_METHOD, REQ_INFO,
                is_store ? nelt::CLIENT_NATIVE_STORE : nelt::CLIENT_CREATOR_TOOL);
  nelt::consoleLog(request);
  if (_sendLine(sock, request) < 0) {
    nelt::debugLog("Send request post info test failed \n");
    return -1;
  }
  std::string text;
  if (recvAll(sock, text) < 0) {
    nelt::debugLog("Recv request post info apps test failed \n");
    return -1;
  }
  createRequest(request, GET_METHOD, REQ_GETHOST, "");
  if (_sendLine(sock, request) < 0) {
    nelt::debugLog("Send request get host failed \n");
    return -1;
  }
  if (recvAll(sock, text) < 0) {
    nelt::debugLog("Recv request get host failed \n");
    return -1;
  }
  std::string url;
  if (output.IsObject()) {
    auto it = output.FindMember("url");
    if (it != output.MemberEnd() && it->value.IsString()) {
      url.assign(it->value.GetString(), it->value.GetStringLength());
      URL_HOST = url;
    }
  }
  return 1;
}

rapidjson::Document KavixAPI::getOutputJson() {
  rapidjson::Document copy;
  std::lock_guard<std::mutex> lock(mutex_output);
  copy.CopyFrom(output, copy.GetAllocator());
  return copy;
}

std::string KavixAPI::getErrorLog(int) { return std::string(); }

void KavixAPI::createRequest(std::string& request, METHOD_ID method, REQUEST_ID code,
                             const std::string& argument) {
  request.clear();
  request = nelt::buildRequestLine(method, static_cast<int>(code), argument);
}

int KavixAPI::_sendLine(int fd, const std::string& line) {
  if (fd < 0) return -1;
  size_t done = 0;
  while (done < line.size()) {
    // MSG_NOSIGNAL: a service that went away must fail the request, not end
    // the window with SIGPIPE.
    ssize_t n = ::send(fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (n < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    done += static_cast<size_t>(n);
  }
  return static_cast<int>(done);
}

int KavixAPI::_recvText(int fd, std::string& text, bool* lost) {
  text.clear();
  bool gone = fd < 0;
  if (lost != nullptr) *lost = false;
  const int r = _recvFramed(fd, text, gone);
  if (lost != nullptr) *lost = gone;
  return r;
}

int KavixAPI::_recvFramed(int fd, std::string& text, bool& gone) {
  if (fd < 0) return -1;
  unsigned char len_bytes[4];
  size_t got = 0;
  while (got < sizeof len_bytes) {
    ssize_t n = ::recv(fd, len_bytes + got, sizeof len_bytes - got, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      nelt::consoleLog("Error recv data length");
      gone = errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE;
      return -1;
    }
    if (n == 0) {
      gone = true;
      return -1;
    }
    got += static_cast<size_t>(n);
  }
  const int32_t length = nelt::readLength(len_bytes);
  if (length <= 0 || length > MAX_REPLY_LENGTH) return -1;
  char buf[1024 + 1];
  const size_t want = static_cast<size_t>(length);
  while (text.size() < want) {
    const size_t ask = std::min<size_t>(want - text.size(), 1024);
    ssize_t n = ::recv(fd, buf, ask, 0);
    if (n < 0 && errno == EINTR) continue;
    gone = n == 0 || (n < 0 && (errno == ECONNRESET || errno == ENOTCONN));
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  // A reply cut short is no reply: parsing its first part would hand the
  // caller a wrong status or half a document.
  if (text.size() != want) return -1;
  return length;
}

int KavixAPI::recvAll(int fd, std::string& text, bool* lost) {
  const int length = _recvText(fd, text, lost);
  if (length < 0) return -1;
  std::vector<std::string> parts;
  parseResponse(text, " ", parts);
  if (parts.empty()) return -2;
  ierr = nelt::atoiLike(parts[0]);
  if (parts.size() > 1) {
    rapidjson::Document doc;
    doc.Parse(parts[1].c_str(), parts[1].size());
    if (doc.HasParseError()) {
      nelt::debugLog("Error parse ");
      // The status belongs to this reply; old data must not pass for its data.
      output.SetObject();
      return -2;
    }
    output.Swap(doc);
  } else {
    output.SetObject();
  }
  return length;
}

int KavixAPI::recvOpenWindow(int fd, int& status, std::string& word) {
  word.clear();
  std::string text;
  const int length = _recvText(fd, text);
  if (length < 0) return -1;
  std::vector<std::string> parts;
  parseResponse(text, " ", parts);
  if (parts.empty()) return -2;
  status = nelt::atoiLike(parts[0]);
  if (status != 200) return -2;
  if (parts.size() > 1) word = parts[1];
  return length;
}

int KavixAPI::_exchange(METHOD_ID method, REQUEST_ID code, const std::string& argument,
                        const char* send_failed, const char* recv_failed, KavixReply* reply) {
  std::lock_guard<std::mutex> lock(mutex_output);
  std::string request;
  createRequest(request, method, code, argument);
  connection_lost = false;
  if (!isSendableArgument(argument) || request.size() > nelt::MAX_REQUEST_LINE) {
    nelt::debugLog(send_failed);
    return -1;
  }
  if (_sendLine(sock, request) < 0) {
    connection_lost = sock < 0 || errno == EPIPE || errno == ECONNRESET || errno == ENOTCONN;
    nelt::debugLog(send_failed);
    return -1;
  }
  std::string text;
  bool lost = false;
  const int r = recvAll(sock, text, &lost);
  connection_lost = lost;
  if (reply != nullptr) {
    reply->status = r == -1 ? 0 : ierr.load();
    reply->doc.SetObject();
    if (r >= 0) reply->doc.CopyFrom(output, reply->doc.GetAllocator());
    reply->text = text;
  }
  if (r < 0) {
    // Framing lost (closed, cut short or timed out): the stream is no longer
    // aligned on replies, so the connection is given up.
    if (r == -1) _closeSocket(sock);
    nelt::debugLog(recv_failed);
    return -1;
  }
  return 0;
}

int KavixAPI::loginAcc(const std::string& account, const std::string& password, KavixReply* reply) {
  if (account.empty() || account.size() > 256 || password.empty() || password.size() > 256)
    return -1;
  const int r =
      _exchange(POST_METHOD, REQ_LOGIN, account + "&" + password, "Send request loginAcc failed \n",
                "Recv request loginAcc failed \n", reply);
  if (r < 0) return r;
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  return 0;
}

int KavixAPI::logoutAcc(KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_LOGOUT, "", "Send request logoutAcc failed \n",
                   "Recv request logoutAcc failed \n", reply);
}

int KavixAPI::getListSections(KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_SECTIONS, "", "Send request get Sections failed \n",
                   "Recv request get Sections failed \n", reply);
}

int KavixAPI::searchAll(const std::string& text, KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_SEARCH, text, "Send request searchAll failed \n",
                   "Recv request searchAll failed \n", reply);
}

int KavixAPI::getToken(KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_GETTOKEN, "", "Send request getToken failed \n",
                   "Recv request getToken failed \n", reply);
}

int KavixAPI::getListInstalleds(KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_LISTINSTALLED, "", "Send request get Sections failed \n",
                   "Recv request get Sections failed \n", reply);
}

int KavixAPI::getKey(const std::string& slug, KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_GETKEY, slug, "Send request get Key failed \n",
                   "Recv request get Key failed \n", reply);
}

int KavixAPI::getListApps(int section, KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_TEST_LISTAPPS, std::to_string(section),
                   "Send request get List apps test failed \n",
                   "Recv request get List apps test failed \n", reply);
}

int KavixAPI::getAccCurrent(KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_GETACCCURENT, "", "Send request get Account current failed \n",
                   "Recv request get Account current failed \n", reply);
}

int KavixAPI::getDetailApp(int id, KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_TEST_DETAILAPP, "$" + std::to_string(id),
                   "Send request get List apps test failed \n",
                   "Recv request get List apps test failed \n", reply);
}

int KavixAPI::getDetailApp(const std::string& slug, KavixReply* reply) {
  return _exchange(GET_METHOD, REQ_TEST_DETAILAPP, slug, "Send request get detail app  failed \n",
                   "Recv request get detail app failed \n", reply);
}

int KavixAPI::getSetting(std::string& text, KavixReply* reply) {
  KavixReply local;
  KavixReply* r = reply != nullptr ? reply : &local;
  const int rc = _exchange(GET_METHOD, REQ_GET_SETTING, "", "Send request get Setting failed \n",
                           "Recv request get Setting failed \n", r);
  if (rc == 0) text = r->text;
  return rc;
}

int KavixAPI::setSetting(const std::string& text, KavixReply* reply) {
  return _exchange(POST_METHOD, REQ_SAVE_SETTING, text, "Send request set Setting failed \n",
                   "Recv request set Setting failed \n", reply);
}

int KavixAPI::checkOpenWindow(std::string& word) {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  std::string request;
  createRequest(request, GET_METHOD, REQ_CHECKOPENWINDOW, "");
  if (_sendLine(sock_open_window, request) < 0) {
    nelt::debugLog("Send request REQ_CHECKOPENWINDOW failed \n");
    return -1;
  }
  int status = 0;
  std::string received;
  const int r = recvOpenWindow(sock_open_window, status, received);
  if (r < 0) {
    if (r == -1) _closeSocket(sock_open_window);
    nelt::debugLog("Recv request REQ_CHECKOPENWINDOW failed \n");
    return -1;
  }
  word = received;
  return 0;
}

int KavixAPI::setOpenWindow(const std::string& word) {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  std::string request;
  createRequest(request, POST_METHOD, REQ_SETOPENWINDOW, word);
  if (!isSendableArgument(word) || request.size() > nelt::MAX_REQUEST_LINE ||
      _sendLine(sock_open_window, request) < 0) {
    nelt::debugLog("Send request REQ_SETOPENWINDOW failed \n");
    return -1;
  }
  int status = 0;
  std::string received;
  const int r = recvOpenWindow(sock_open_window, status, received);
  if (r < 0) {
    if (r == -1) _closeSocket(sock_open_window);
    nelt::debugLog("Recv request REQ_SETOPENWINDOW failed \n");
    return -1;
  }
  return 0;
}

int KavixAPI::sendOpenWindowRequest(bool register_word, const std::string& word) {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  std::string request;
  if (register_word) {
    createRequest(request, POST_METHOD, REQ_SETOPENWINDOW, word);
    if (!isSendableArgument(word) || request.size() > nelt::MAX_REQUEST_LINE) return -1;
  } else {
    createRequest(request, GET_METHOD, REQ_CHECKOPENWINDOW, "");
  }
  return _sendLine(sock_open_window, request) < 0 ? -1 : 0;
}

int KavixAPI::readOpenWindowReply(std::string& word) {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  int status = 0;
  const int r = recvOpenWindow(sock_open_window, status, word);
  if (r == -1) _closeSocket(sock_open_window);
  return r < 0 ? -1 : 0;
}

int KavixAPI::openWindowSocket() {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  return sock_open_window;
}

void KavixAPI::dropOpenWindow() {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  _closeSocket(sock_open_window);
}

int KavixAPI::reopenOpenWindow() {
  std::lock_guard<std::mutex> lock(mutex_open_window);
  if (sock_open_window >= 0) return 0;
  if (serv_addr.sin_family != AF_INET) return -1;  // never connected
  // The service may have been restarted onto another port.
  _reloadPort();
  sock_open_window = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock_open_window < 0) return -1;
  _applyTimeout(sock_open_window);
  if (::connect(sock_open_window, reinterpret_cast<struct sockaddr*>(&serv_addr),
                sizeof serv_addr) < 0 ||
      !_trustedService(sock_open_window)) {
    nelt::debugLog("Connection sock_open_window Failed \n");
    _closeSocket(sock_open_window);
    return -1;
  }
  return 0;
}
