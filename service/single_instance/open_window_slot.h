// Single instance: the store window's open-window slot. The first window
// start takes the slot and becomes the store window; a later start hands its
// word ("@HOME" or an application slug) to it through the service and ends.
// Not thread-safe by itself: every call runs under the request server's
// lock, so the slot changes together with the connection it names.
#pragma once

#include <string>
#include <vector>

#include "protocol.h"

class OpenWindowSlot {
 public:
  // Both open-window requests (REQ_CHECKOPENWINDOW, REQ_SETOPENWINDOW).
  // `args` are the request's words after its code; `alive` says whether the
  // asking connection is still open; `allowed` whether its caller may use
  // the store account. `refused` is set when the reply is a refusal that
  // belongs in the log.
  void answer(int code, const std::vector<std::string>& args, int sock, bool alive, bool allowed,
              std::string& status, std::string& data, bool& refused);
  // Frees the slot held by a connection that closed.
  void connectionClosed(int sock);

 private:
  std::string screen_open;
  int sock_open = -1;
  int sock_open_store = -1;
};
