#include "test_support.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "fsutil.h"
#include "protocol.h"

extern char** environ;

namespace nelt::test {

namespace {
std::string envOr(const char* name, const std::string& fallback) {
  const char* v = std::getenv(name);
  return v != nullptr && *v != '\0' ? std::string(v) : fallback;
}
}  // namespace

std::string binDir() { return envOr("NELT_BIN_DIR", "."); }
std::string sourceDir() { return envOr("NELT_SOURCE_DIR", "."); }
std::string standinsDir() { return envOr("NELT_STANDINS_DIR", sourceDir() + "/tools/standins"); }

TempDir::TempDir() {
  std::string tmpl = envOr("TMPDIR", "/tmp") + "/nelt-test-XXXXXX";
  char* p = mkdtemp(tmpl.data());
  path_ = p != nullptr ? std::string(p) : std::string();
}

TempDir::~TempDir() {
  if (!path_.empty()) nelt::removeTree(path_);
}

void writeFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string readFile(const std::string& path) {
  std::string s;
  nelt::readWholeFile(path, s);
  return s;
}

ChildProcess::~ChildProcess() { terminate(); }

bool ChildProcess::start(const std::vector<std::string>& argv,
                         const std::map<std::string, std::string>& env,
                         const std::string& log_dir) {
  static int counter = 0;
  ++counter;
  std::string base = log_dir + "/proc" + std::to_string(getpid()) + "_" + std::to_string(counter);
  out_path_ = base + ".out";
  err_path_ = base + ".err";
  std::vector<std::string> envs;
  for (char** e = environ; *e != nullptr; ++e) {
    std::string kv(*e);
    std::string key = kv.substr(0, kv.find('='));
    if (env.count(key) == 0) envs.push_back(kv);
  }
  for (const auto& kv : env) envs.push_back(kv.first + "=" + kv.second);
  pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    int out = open(out_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int in = open("/dev/null", O_RDONLY);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    setpgid(0, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    std::vector<char*> envp;
    for (const auto& e : envs) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    execvpe(args[0], args.data(), envp.data());
    _exit(127);
  }
  pid_ = pid;
  return true;
}

int ChildProcess::wait(std::chrono::milliseconds timeout) {
  if (pid_ < 0) return -1;
  auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFEXITED(status)) return WEXITSTATUS(status);
      if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
      return -1;
    }
    if (std::chrono::steady_clock::now() > deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

bool ChildProcess::running() {
  if (pid_ < 0) return false;
  int status = 0;
  return waitpid(pid_, &status, WNOHANG) == 0;
}

void ChildProcess::terminate() {
  if (pid_ < 0) return;
  kill(-pid_, SIGTERM);
  kill(pid_, SIGTERM);
  if (wait(std::chrono::seconds(3)) == -1 && pid_ > 0) {
    kill(-pid_, SIGKILL);
    kill(pid_, SIGKILL);
    int status = 0;
    waitpid(pid_, &status, 0);
  }
  pid_ = -1;
}

std::string ChildProcess::out() const { return readFile(out_path_); }
std::string ChildProcess::err() const { return readFile(err_path_); }

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (out().find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return out().find(text) != std::string::npos;
}

bool hasZombieChild() {
  const std::string self = std::to_string(getpid());
  DIR* dir = opendir("/proc");
  if (dir == nullptr) return false;
  bool zombie = false;
  while (dirent* e = readdir(dir)) {
    if (e->d_name[0] < '1' || e->d_name[0] > '9') continue;
    const std::string stat = readFile(std::string("/proc/") + e->d_name + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos || close + 2 > stat.size()) continue;
    std::istringstream rest(stat.substr(close + 2));
    std::string state, ppid;
    rest >> state >> ppid;
    if (ppid == self && state == "Z") zombie = true;
  }
  closedir(dir);
  return zombie;
}

int freeLoopbackPort() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;
  bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  int port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

int occupyLoopbackPort(int& port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_ANY);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  listen(fd, 5);
  socklen_t len = sizeof addr;
  getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  port = ntohs(addr.sin_port);
  return fd;
}

ProtoClient::~ProtoClient() { close(); }

void ProtoClient::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool ProtoClient::connectTo(int port, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &addr.sin_addr);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
      fd_ = fd;
      return true;
    }
    ::close(fd);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

bool ProtoClient::sendRaw(const std::string& bytes) {
  size_t off = 0;
  while (off < bytes.size()) {
    ssize_t n = ::send(fd_, bytes.data() + off, bytes.size() - off, MSG_NOSIGNAL);
    if (n <= 0) return false;
    off += static_cast<size_t>(n);
  }
  return true;
}

namespace {
// Reads exactly n bytes before the deadline.
bool readExact(int fd, char* buf, size_t n, std::chrono::steady_clock::time_point deadline) {
  size_t got = 0;
  while (got < n) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int pr = poll(&p, 1, static_cast<int>(left.count()));
    if (pr <= 0) return false;
    ssize_t r = ::recv(fd, buf + got, n - got, 0);
    if (r <= 0) return false;
    got += static_cast<size_t>(r);
  }
  return true;
}
}  // namespace

bool ProtoClient::readReply(std::string& text, std::chrono::milliseconds timeout) {
  auto deadline = std::chrono::steady_clock::now() + timeout;
  unsigned char len[4];
  if (!readExact(fd_, reinterpret_cast<char*>(len), 4, deadline)) return false;
  int32_t n = nelt::readLength(len);
  if (n < 0) return false;
  text.assign(static_cast<size_t>(n), '\0');
  return n == 0 || readExact(fd_, text.data(), static_cast<size_t>(n), deadline);
}

bool ProtoClient::request(const std::string& line, std::string& text,
                          std::chrono::milliseconds timeout) {
  return sendRaw(line) && readReply(text, timeout);
}

bool ProtoClient::silentFor(std::chrono::milliseconds wait) {
  pollfd p{fd_, POLLIN, 0};
  return poll(&p, 1, static_cast<int>(wait.count())) == 0;
}

bool ProtoClient::closedWithin(std::chrono::milliseconds wait) {
  auto deadline = std::chrono::steady_clock::now() + wait;
  char buf[1024];
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fd_, POLLIN, 0};
    int pr = poll(&p, 1, 50);
    if (pr > 0) {
      ssize_t r = ::recv(fd_, buf, sizeof buf, 0);
      if (r <= 0) return true;
    }
  }
  return false;
}

namespace {
size_t collect(char* ptr, size_t size, size_t nmemb, void* userp) {
  static_cast<std::string*>(userp)->append(ptr, size * nmemb);
  return size * nmemb;
}
}  // namespace

int httpRequest(const std::string& method, const std::string& url, const std::string& req_body,
                std::string& body) {
  body.clear();
  CURL* c = curl_easy_init();
  if (c == nullptr) return -1;
  curl_easy_setopt(c, CURLOPT_URL, url.c_str());
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, collect);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &body);
  curl_easy_setopt(c, CURLOPT_TIMEOUT, 10L);
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
  if (method == "POST") {
    curl_easy_setopt(c, CURLOPT_POSTFIELDS, req_body.c_str());
    curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE, static_cast<long>(req_body.size()));
  }
  CURLcode rc = curl_easy_perform(c);
  long status = -1;
  if (rc == CURLE_OK) curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &status);
  curl_easy_cleanup(c);
  return static_cast<int>(status);
}

StoreServer::~StoreServer() { stop(); }

bool StoreServer::start(const std::string& work_dir, const std::string& catalog,
                        const std::vector<std::string>& extra_args) {
  std::string port_file = work_dir + "/store-server.port";
  unlink(port_file.c_str());
  std::vector<std::string> argv = {binDir() + "/nelt-store-server",
                                   "--port",
                                   "0",
                                   "--port-file",
                                   port_file,
                                   "--catalog",
                                   catalog.empty() ? sourceDir() + "/catalog/sample" : catalog};
  for (size_t i = 0; i < extra_args.size(); ++i) {
    if (extra_args[i] == "--cert") tls_ = true;
    argv.push_back(extra_args[i]);
  }
  if (!proc_.start(argv, {}, work_dir)) return false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline) {
    std::string text = readFile(port_file);
    if (!text.empty() && text.back() == '\n') {
      port_ = std::atoi(text.c_str());
      return port_ > 0;
    }
    if (!proc_.running()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

void StoreServer::stop() { proc_.terminate(); }

std::string StoreServer::baseUrl() const {
  return std::string(tls_ ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

bool StoreServer::setMode(const std::string& json_body) {
  std::string body;
  return httpRequest("POST", baseUrl() + "/_test/mode", json_body, body) == 200;
}

bool StoreServer::reset() {
  std::string body;
  return httpRequest("POST", baseUrl() + "/_test/reset", "{}", body) == 200;
}

std::string StoreServer::requests() {
  std::string body;
  httpRequest("GET", baseUrl() + "/_test/requests", "", body);
  return body;
}

Reply parseReply(const std::string& text) {
  Reply r;
  bool has_data = false;
  nelt::splitReplyText(text, r.status, r.data, has_data);
  return r;
}

}  // namespace nelt::test
