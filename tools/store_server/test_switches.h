// Switches that let tests make the store misbehave (slow, failing, broken or
// silent answers), and the log of the requests the store received.
//
// The switches and the log never apply to the test endpoints themselves
// ("/_test/..."), so a test can always turn a switch off again.
#pragma once

#include <httplib.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>

namespace nelt::store_server {

struct Modes {
  int latency_ms = 0;      // added before every answer
  bool status500 = false;  // HTTP 500 with {"code":500,...}
  bool not_json = false;   // HTTP 200 with a body that is not JSON
  bool drop = false;       // connection closed without an answer
  bool stall = false;      // no answer until the switch goes off, the peer
                           // leaves, the server stops, or STALL_LIMIT passes
  // Requests whose decoded path starts with answer_path (when not empty) get
  // answer_status with answer_body instead of the store's answer.
  std::string answer_path;
  int answer_status = 200;
  std::string answer_body;
  // When positive, every image is answered with a PNG signature padded with
  // zero bytes to this size.
  int image_bytes = 0;
  // Package downloads (1..99 when on): cut_download_at closes the connection
  // once the body reaches that share of the package; pause_download_at holds
  // the body there until the switch goes off, the peer leaves, the server
  // stops, or STALL_LIMIT passes. A range that starts beyond the point is
  // served whole, so an interrupted download can be resumed.
  int cut_download_at = 0;
  int pause_download_at = 0;
  // Range requests for packages get the whole package with 200, as from a
  // server that does not know ranges.
  bool ignore_range = false;
};

class TestSwitches {
 public:
  static constexpr std::chrono::seconds STALL_LIMIT{60};
  static constexpr size_t LOG_LIMIT = 200;
  // Bodies are logged up to this many bytes, so the log stays small.
  static constexpr size_t LOGGED_BODY_LIMIT = 64 * 1024;

  explicit TestSwitches(Modes initial = {}) : modes_(initial) {}

  Modes modes() const;
  // Merges the members present in a JSON object body into the switches.
  // False (nothing changed) when the body is not such an object or a member
  // has the wrong type.
  bool update(const std::string& json_body, std::string& error);
  // All switches off and the request log emptied.
  void reset();
  // The current switches as a JSON object.
  std::string modesJson() const;

  // Appends a request to the log (oldest entries fall off past LOG_LIMIT).
  void record(const httplib::Request& req);
  // The log as a JSON array, oldest first: {"method","path","query",
  // "decoded_path","headers","body"}; "path" and "query" as they were sent.
  std::string requestsJson() const;

  // Applies the switches to one store request before its handler runs.
  // Returns true when the switches have answered (or dropped) the request,
  // false when the handler should answer it.
  bool intercept(const httplib::Request& req, httplib::Response& res);

  // Holds a package download while pause_download_at is on and is still
  // `percent` or lower: false when the download must end instead (the peer
  // left, the server stops, the limit passed).
  bool holdDownload(int percent, const httplib::Request& req);

  // Ends every wait in progress (latency, stall); called when the server
  // stops so that its threads can finish.
  void shutdown();

 private:
  // Waits up to `d`, or until shutdown; false when shut down.
  bool pause(std::chrono::milliseconds d);

  mutable std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  Modes modes_;
  bool stopping_ = false;
  std::deque<std::string> log_;  // compact JSON of each request
};

// Closes the TCP connection a request arrived on without answering: the
// socket is shut down in both directions, so the client sees the connection
// end, and the server's own attempt to answer fails and closes it.
void dropConnection(const httplib::Request& req, httplib::Response& res);

// The status a dropped request shows in the server's log.
constexpr int DROPPED_STATUS = 444;

// True when the client of a request has closed its side of the connection.
bool peerHasLeft(const httplib::Request& req);

}  // namespace nelt::store_server
