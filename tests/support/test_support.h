// Helpers for tests that run real processes on loopback: temporary folders,
// child processes with captured output, framed protocol clients and the local
// store server.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace nelt::test {

// Folder of the build's programs (KavixService, nelt-store-server, ...).
std::string binDir();
// Source tree root.
std::string sourceDir();
// Folder of the platform stand-ins (snap, pkexec, systemctl, lsb_release).
std::string standinsDir();

// A temporary folder removed (recursively) on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string sub(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

void writeFile(const std::string& path, const std::string& data);
std::string readFile(const std::string& path);

// A child process whose standard output and error go to files. Killed (and
// reaped) on destruction.
class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // `env` entries are added to (or replace) the parent's environment.
  bool start(const std::vector<std::string>& argv, const std::map<std::string, std::string>& env,
             const std::string& log_dir);
  // Waits for the exit; returns the exit status (or 128 + signal), -1 on time-out.
  int wait(std::chrono::milliseconds timeout);
  bool running();
  void terminate();
  pid_t pid() const { return pid_; }
  std::string out() const;  // standard output so far
  std::string err() const;  // standard error so far
  // Waits until standard output contains `text`.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds timeout);

 private:
  pid_t pid_ = -1;
  std::string out_path_, err_path_;
};

// True when this process has a child that has ended but was not reaped.
bool hasZombieChild();

// A free TCP port on 127.0.0.1 (bound and released).
int freeLoopbackPort();
// A listening socket on 127.0.0.1 holding a port busy; returns fd and port.
int occupyLoopbackPort(int& port);

// A blocking loopback TCP client that speaks the framed protocol.
class ProtoClient {
 public:
  ProtoClient() = default;
  ~ProtoClient();
  ProtoClient(const ProtoClient&) = delete;
  ProtoClient& operator=(const ProtoClient&) = delete;
  bool connectTo(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  bool sendRaw(const std::string& bytes);
  // Reads one framed reply; returns false on time-out or end of stream.
  bool readReply(std::string& text, std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // Sends a request line and reads the reply text.
  bool request(const std::string& line, std::string& text,
               std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // True when nothing arrives within `wait` (and the connection is open).
  bool silentFor(std::chrono::milliseconds wait);
  // True when the peer closed the connection within `wait`.
  bool closedWithin(std::chrono::milliseconds wait);
  void close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// The project's local store server, started on a free loopback port.
class StoreServer {
 public:
  ~StoreServer();
  // Starts nelt-store-server on the sample catalog (or `catalog`), optionally
  // with TLS. Returns false when it does not come up.
  bool start(const std::string& work_dir, const std::string& catalog = "",
             const std::vector<std::string>& extra_args = {});
  void stop();
  int port() const { return port_; }
  std::string baseUrl() const;  // http(s)://127.0.0.1:PORT
  // Test switches (POST /_test/mode with a JSON body such as
  // {"latency_ms":200,"status500":true,"not_json":true,"drop":true,"stall":true}).
  bool setMode(const std::string& json_body);
  bool reset();
  // Recent requests as JSON text (GET /_test/requests).
  std::string requests();
  ChildProcess& process() { return proc_; }

 private:
  ChildProcess proc_;
  int port_ = 0;
  bool tls_ = false;
  std::string ca_file_;
};

// Plain HTTP GET/POST to loopback (no TLS), for talking to the store server's
// test endpoints. Returns the HTTP status (or -1) and fills `body`.
int httpRequest(const std::string& method, const std::string& url, const std::string& req_body,
                std::string& body);

// A reply text of the service split into its status word and its data.
struct Reply {
  std::string status;
  std::string data;
};
Reply parseReply(const std::string& text);

// Asks `condition` every 2 ms until it holds or `timeout` has passed; its
// last answer.
template <typename F>
bool eventually(F condition, std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return condition();
}

}  // namespace nelt::test
