#include "test_switches.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "text_match.h"

namespace nelt::store_server {

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeString(Writer& w, const std::string& s) {
  const std::string clean = validUtf8(s);
  w.String(clean.c_str(), static_cast<rapidjson::SizeType>(clean.size()));
}

int portOf(const sockaddr_storage& a) {
  if (a.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in&>(a).sin_port);
  if (a.ss_family == AF_INET6) return ntohs(reinterpret_cast<const sockaddr_in6&>(a).sin6_port);
  return -1;
}

// The socket of the connection a request came in on. The server library
// does not hand the socket to handlers, but the pair of ports identifies the
// connection among the process's open sockets.
int connectionFd(const httplib::Request& req) {
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  int found = -1;
  while (dirent* e = readdir(d)) {
    char* end = nullptr;
    const long fd = std::strtol(e->d_name, &end, 10);
    if (end == e->d_name || *end != '\0' || fd == dirfd(d)) continue;
    sockaddr_storage local{}, peer{};
    socklen_t local_len = sizeof local, peer_len = sizeof peer;
    if (getsockname(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&local), &local_len) != 0 ||
        getpeername(static_cast<int>(fd), reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0) {
      continue;
    }
    if (portOf(local) == req.local_port && portOf(peer) == req.remote_port) {
      found = static_cast<int>(fd);
      break;
    }
  }
  closedir(d);
  return found;
}

// Headers the server library adds to every request itself.
bool addedByServer(const std::string& name) {
  return name == "REMOTE_ADDR" || name == "REMOTE_PORT" || name == "LOCAL_ADDR" ||
         name == "LOCAL_PORT";
}

}  // namespace

constexpr std::chrono::seconds TestSwitches::STALL_LIMIT;
constexpr size_t TestSwitches::LOG_LIMIT;
constexpr size_t TestSwitches::LOGGED_BODY_LIMIT;

void dropConnection(const httplib::Request& req, httplib::Response& res) {
  const int fd = connectionFd(req);
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
  // Nothing reaches the client; the status only marks the request in the
  // server's own log.
  res.status = DROPPED_STATUS;
}

bool peerHasLeft(const httplib::Request& req) {
  const int fd = connectionFd(req);
  if (fd < 0) return false;
  pollfd p{fd, POLLRDHUP, 0};
  return poll(&p, 1, 0) > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

Modes TestSwitches::modes() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return modes_;
}

bool TestSwitches::update(const std::string& json_body, std::string& error) {
  rapidjson::Document doc;
  doc.Parse(json_body.c_str(), json_body.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    error = "the body must be a JSON object";
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  Modes next = modes_;
  for (const auto& m : doc.GetObject()) {
    const std::string key = m.name.GetString();
    bool* flag = key == "status500"      ? &next.status500
                 : key == "not_json"     ? &next.not_json
                 : key == "drop"         ? &next.drop
                 : key == "stall"        ? &next.stall
                 : key == "ignore_range" ? &next.ignore_range
                                         : nullptr;
    if (flag != nullptr) {
      if (!m.value.IsBool()) {
        error = "\"" + key + "\" must be true or false";
        return false;
      }
      *flag = m.value.GetBool();
    } else if (key == "latency_ms" || key == "image_bytes") {
      if (!m.value.IsInt() || m.value.GetInt() < 0) {
        error = "\"" + key + "\" must be a non-negative integer";
        return false;
      }
      (key == "latency_ms" ? next.latency_ms : next.image_bytes) = m.value.GetInt();
    } else if (key == "cut_download_at" || key == "pause_download_at") {
      if (!m.value.IsInt() || m.value.GetInt() < 0 || m.value.GetInt() > 99) {
        error = "\"" + key + "\" must be a share from 0 to 99";
        return false;
      }
      (key == "cut_download_at" ? next.cut_download_at : next.pause_download_at) = m.value.GetInt();
    } else if (key == "answer_status") {
      if (!m.value.IsInt() || m.value.GetInt() < 100 || m.value.GetInt() > 599) {
        error = "\"answer_status\" must be an HTTP status";
        return false;
      }
      next.answer_status = m.value.GetInt();
    } else if (key == "answer_path" || key == "answer_body") {
      if (!m.value.IsString()) {
        error = "\"" + key + "\" must be a string";
        return false;
      }
      (key == "answer_path" ? next.answer_path : next.answer_body)
          .assign(m.value.GetString(), m.value.GetStringLength());
    }
  }
  modes_ = next;
  wake_.notify_all();
  return true;
}

void TestSwitches::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  modes_ = Modes{};
  log_.clear();
  wake_.notify_all();
}

std::string TestSwitches::modesJson() const {
  const Modes m = modes();
  rapidjson::StringBuffer buf;
  Writer w(buf);
  w.StartObject();
  w.Key("latency_ms");
  w.Int(m.latency_ms);
  w.Key("status500");
  w.Bool(m.status500);
  w.Key("not_json");
  w.Bool(m.not_json);
  w.Key("drop");
  w.Bool(m.drop);
  w.Key("stall");
  w.Bool(m.stall);
  w.Key("answer_path");
  writeString(w, m.answer_path);
  w.Key("answer_status");
  w.Int(m.answer_status);
  w.Key("answer_body");
  writeString(w, m.answer_body);
  w.Key("image_bytes");
  w.Int(m.image_bytes);
  w.Key("cut_download_at");
  w.Int(m.cut_download_at);
  w.Key("pause_download_at");
  w.Int(m.pause_download_at);
  w.Key("ignore_range");
  w.Bool(m.ignore_range);
  w.EndObject();
  return buf.GetString();
}

bool TestSwitches::holdDownload(int percent, const httplib::Request& req) {
  const auto deadline = std::chrono::steady_clock::now() + STALL_LIMIT;
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    if (stopping_ || std::chrono::steady_clock::now() >= deadline) return false;
    if (modes_.pause_download_at == 0 || percent > modes_.pause_download_at) return true;
    lock.unlock();
    if (peerHasLeft(req)) return false;
    lock.lock();
    wake_.wait_for(lock, std::chrono::milliseconds(20));
  }
}

void TestSwitches::record(const httplib::Request& req) {
  const size_t q = req.target.find('?');
  std::map<std::string, std::string> headers;
  for (const auto& h : req.headers) {
    if (addedByServer(h.first)) continue;
    auto it = headers.find(h.first);
    if (it == headers.end()) {
      headers.emplace(h.first, h.second);
    } else {
      it->second += ", " + h.second;
    }
  }
  rapidjson::StringBuffer buf;
  Writer w(buf);
  w.StartObject();
  w.Key("method");
  writeString(w, req.method);
  w.Key("path");
  writeString(w, req.target.substr(0, q));
  w.Key("query");
  writeString(w, q == std::string::npos ? std::string() : req.target.substr(q + 1));
  w.Key("decoded_path");
  writeString(w, req.path);
  w.Key("headers");
  w.StartObject();
  for (const auto& h : headers) {
    writeString(w, h.first);
    writeString(w, h.second);
  }
  w.EndObject();
  w.Key("body");
  writeString(
      w, req.body.size() > LOGGED_BODY_LIMIT ? req.body.substr(0, LOGGED_BODY_LIMIT) : req.body);
  w.EndObject();

  std::lock_guard<std::mutex> lock(mutex_);
  log_.emplace_back(buf.GetString(), buf.GetSize());
  while (log_.size() > LOG_LIMIT) log_.pop_front();
}

std::string TestSwitches::requestsJson() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out = "[";
  for (size_t i = 0; i < log_.size(); ++i) {
    if (i > 0) out += ",";
    out += log_[i];
  }
  out += "]";
  return out;
}

bool TestSwitches::pause(std::chrono::milliseconds d) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_for(lock, d, [this] { return stopping_; });
  return !stopping_;
}

bool TestSwitches::intercept(const httplib::Request& req, httplib::Response& res) {
  Modes m = modes();
  if (m.latency_ms > 0 && !pause(std::chrono::milliseconds(m.latency_ms))) {
    dropConnection(req, res);
    return true;
  }
  if (m.stall) {
    const auto deadline = std::chrono::steady_clock::now() + STALL_LIMIT;
    std::unique_lock<std::mutex> lock(mutex_);
    while (modes_.stall && !stopping_ && std::chrono::steady_clock::now() < deadline) {
      wake_.wait_for(lock, std::chrono::milliseconds(100));
      lock.unlock();
      const bool left = peerHasLeft(req);
      lock.lock();
      if (left) break;
    }
    if (modes_.stall || stopping_) {
      lock.unlock();
      dropConnection(req, res);
      return true;
    }
    // The stall was switched off while this request waited: answer it the
    // way the switches now say.
    m = modes_;
  }
  if (m.drop) {
    dropConnection(req, res);
    return true;
  }
  if (m.status500) {
    res.status = 500;
    res.set_content("{\"code\":500,\"message\":\"internal server error\"}", "application/json");
    return true;
  }
  if (m.not_json) {
    res.status = 200;
    res.set_content("<html><body>Service temporarily unavailable</body></html>\n", "text/html");
    return true;
  }
  if (!m.answer_path.empty() && req.path.compare(0, m.answer_path.size(), m.answer_path) == 0) {
    res.status = m.answer_status;
    if (m.answer_status >= 300 && m.answer_status < 400) res.set_header("Location", "/");
    res.set_content(m.answer_body, !m.answer_body.empty() && m.answer_body[0] == '{'
                                       ? "application/json"
                                       : "text/plain");
    return true;
  }
  if (m.image_bytes > 0 && req.path.compare(0, 19, "/api/v1/uploads/app") == 0) {
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png.resize(std::max<size_t>(png.size(), static_cast<size_t>(m.image_bytes)), '\0');
    res.status = 200;
    res.set_content(png, "image/png");
    return true;
  }
  return false;
}

void TestSwitches::shutdown() {
  std::lock_guard<std::mutex> lock(mutex_);
  stopping_ = true;
  wake_.notify_all();
}

}  // namespace nelt::store_server
