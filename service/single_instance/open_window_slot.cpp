#include "open_window_slot.h"

#include "request_context.h"

void OpenWindowSlot::answer(int code, const std::vector<std::string>& args, int sock, bool alive,
                            bool allowed, std::string& status, std::string& data, bool& refused) {
  refused = false;
  data.clear();
  if (code == REQ_CHECKOPENWINDOW) {
    status = nelt::STATUS_OK;
    // A window that has already gone cannot receive the word: keep it for
    // the next one.
    if (!alive) return;
    if (!allowed) {
      // The store window receives every later start's word (and signs the
      // account out when it goes): another user may learn that a window is
      // there, to hand its own word on, but neither take a free slot nor
      // read the word meant for the window.
      if (screen_open.empty() && sock_open == -1) {
        status = nelt::STATUS_FAILED;
        refused = true;
        return;
      }
      data = "@FIRST";
      return;
    }
    if (screen_open.empty() && sock_open == -1) sock_open = sock;
    data = screen_open;
    if (screen_open != "@FIRST") screen_open = "@FIRST";
    return;
  }
  if (args.empty()) {
    status = nelt::STATUS_FAILED;
    return;
  }
  // Another user only hands a word on to a running window; registering as
  // the window, or leaving a word for the next one, is refused.
  if (!allowed && (args[0] == "@FIRST" || (screen_open.empty() && sock_open == -1))) {
    status = nelt::STATUS_FAILED;
    refused = true;
    return;
  }
  screen_open = args[0];
  // A window that registers without having asked first still holds the
  // slot, so its going away frees it for the next start.
  if (screen_open == "@FIRST" && sock_open == -1 && alive) sock_open = sock;
  status = nelt::STATUS_OK;
}

void OpenWindowSlot::connectionClosed(int sock) {
  if (sock == sock_open) {
    printLine("sock_open : " + std::to_string(sock));
    sock_open = -1;
    screen_open.clear();
  }
  if (sock == sock_open_store) {
    printLine("sock_open_store : " + std::to_string(sock));
    sock_open_store = -1;
    screen_open.clear();
  }
}
