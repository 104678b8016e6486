// nelt-store-server: a local stand-in for the remote store server, serving a
// catalog folder over HTTP or HTTPS on loopback, with switches that let
// tests make it slow, failing or silent.

#include <httplib.h>
#include <pthread.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "catalog.h"
#include "fsutil.h"
#include "package_shelf.h"
#include "store_routes.h"
#include "test_switches.h"

namespace {

using namespace nelt::store_server;

constexpr int SERVER_THREADS = 128;
constexpr int LISTEN_BACKLOG = 128;

struct Options {
  std::string catalog;
  std::string host = "127.0.0.1";
  int port = 0;
  std::string port_file;
  std::string packages;
  std::string cert;
  std::string key;
  Modes modes;
};

void usage(FILE* out) {
  std::fprintf(
      out,
      "usage: nelt-store-server --catalog DIR [--host 127.0.0.1] [--port N (0 = free port)]\n"
      "                         [--port-file F] [--packages DIR] [--cert C --key K]\n"
      "                         [--latency-ms N] [--status500] [--not-json] [--drop] "
      "[--stall]\n");
}

bool parsePort(const char* text, int& out) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 65535) return false;
  out = static_cast<int>(v);
  return true;
}

// Returns 0 to go on, otherwise the exit status.
int parseArgs(int argc, char** argv, Options& o) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](std::string& out) {
      if (i + 1 >= argc) return false;
      out = argv[++i];
      return true;
    };
    std::string v;
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return -1;
    } else if (a == "--catalog" && value(o.catalog)) {
    } else if (a == "--host" && value(o.host)) {
    } else if (a == "--port-file" && value(o.port_file)) {
    } else if (a == "--packages" && value(o.packages)) {
    } else if (a == "--cert" && value(o.cert)) {
    } else if (a == "--key" && value(o.key)) {
    } else if (a == "--port" && value(v) && parsePort(v.c_str(), o.port)) {
    } else if (a == "--latency-ms" && value(v) && parsePort(v.c_str(), o.modes.latency_ms)) {
    } else if (a == "--status500") {
      o.modes.status500 = true;
    } else if (a == "--not-json") {
      o.modes.not_json = true;
    } else if (a == "--drop") {
      o.modes.drop = true;
    } else if (a == "--stall") {
      o.modes.stall = true;
    } else {
      std::fprintf(stderr, "nelt-store-server: bad or incomplete option \"%s\"\n", a.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (o.catalog.empty()) {
    std::fprintf(stderr, "nelt-store-server: --catalog DIR is required\n");
    usage(stderr);
    return 2;
  }
  if (o.cert.empty() != o.key.empty()) {
    std::fprintf(stderr, "nelt-store-server: --cert and --key go together\n");
    return 2;
  }
  if (o.packages.empty() && nelt::isDirectory(o.catalog + "/packages")) {
    o.packages = o.catalog + "/packages";
  }
  return 0;
}

// Prints one line per answered request. Only the method, the path and the
// status: bodies and headers may hold passwords and tokens.
void logRequest(const httplib::Request& req, const httplib::Response& res) {
  std::string path = req.path;
  for (char& c : path) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  std::printf("%s %s %d\n", req.method.c_str(), path.c_str(), res.status);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options opt;
  const int rc = parseArgs(argc, argv, opt);
  if (rc != 0) return rc < 0 ? 0 : rc;

  StoreCatalog catalog;
  std::string error;
  if (!catalog.load(opt.catalog, error)) {
    std::fprintf(stderr, "nelt-store-server: %s\n", error.c_str());
    return 1;
  }

  // SIGTERM and SIGINT are taken by one thread with sigwait, so they must be
  // blocked before any other thread starts; a client that goes away must not
  // end the process with SIGPIPE.
  std::signal(SIGPIPE, SIG_IGN);
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGTERM);
  sigaddset(&stop_signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  const bool tls = !opt.cert.empty();
  std::unique_ptr<httplib::Server> server;
  if (tls) {
    server = std::make_unique<httplib::SSLServer>(opt.cert.c_str(), opt.key.c_str());
  } else {
    server = std::make_unique<httplib::Server>();
  }
  if (!server->is_valid()) {
    std::fprintf(stderr, "nelt-store-server: cannot use the certificate \"%s\" and key \"%s\"\n",
                 opt.cert.c_str(), opt.key.c_str());
    return 1;
  }
  // Stalled requests and kept-alive connections hold a thread each; a client
  // may have dozens of requests in flight at once, so keep plenty.
  server->new_task_queue = [] { return new httplib::ThreadPool(SERVER_THREADS); };
  // The library listens with a backlog of 5: connections opened together
  // past that wait a second for the SYN to be sent again. The listening
  // socket is remembered here and given a larger backlog once bound.
  int listen_fd = -1;
  server->set_socket_options([&listen_fd](int sock) {
    httplib::default_socket_options(sock);
    listen_fd = sock;
  });
  // Replies are written in pieces (headers, then body); without this most
  // replies on a kept-alive connection wait for the client's delayed ACK.
  server->set_tcp_nodelay(true);
  server->set_keep_alive_timeout(2);
  server->set_read_timeout(10);
  server->set_write_timeout(30);
  server->set_payload_max_length(1 << 20);
  server->set_logger(logRequest);
  server->set_exception_handler(
      [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
        res.status = 500;
        res.set_content("{\"code\":500,\"message\":\"internal server error\"}", "application/json");
      });

  int port = opt.port;
  if (port == 0) {
    port = server->bind_to_any_port(opt.host);
  } else if (!server->bind_to_port(opt.host, port)) {
    port = -1;
  }
  if (port <= 0) {
    std::fprintf(stderr, "nelt-store-server: cannot listen on %s:%d\n", opt.host.c_str(), opt.port);
    return 1;
  }
  if (listen_fd >= 0) ::listen(listen_fd, LISTEN_BACKLOG);

  PackageShelf shelf(opt.packages);
  TestSwitches switches(opt.modes);
  TokenBook tokens;
  const std::string display_host = opt.host == "0.0.0.0" ? "127.0.0.1" : opt.host;
  const std::string base_url =
      std::string(tls ? "https" : "http") + "://" + display_host + ":" + std::to_string(port);
  StoreContext ctx{catalog, shelf, switches, tokens, base_url};
  installRoutes(*server, ctx);

  std::thread stopper([&] {
    int sig = 0;
    sigwait(&stop_signals, &sig);
    switches.shutdown();
    server->stop();
  });

  if (!opt.port_file.empty() &&
      nelt::writeFileAtomic(opt.port_file, std::to_string(port) + "\n") != 0) {
    std::fprintf(stderr, "nelt-store-server: cannot write the port file %s\n",
                 opt.port_file.c_str());
    kill(getpid(), SIGTERM);
    stopper.join();
    return 1;
  }
  std::printf("nelt-store-server listening on %s\n", base_url.c_str());
  std::fflush(stdout);

  const bool ok = server->listen_after_bind();
  // When listening ended on its own, wake the signal thread so it can end.
  kill(getpid(), SIGTERM);
  stopper.join();
  return ok ? 0 : 1;
}
