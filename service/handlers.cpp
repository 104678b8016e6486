// The request handlers of the dispatcher: the four connection handlers and
// the handlers that work with the store server, the data files and the update
// detection. Each sets a status word and leaves the reply data in data_res.
#include <rapidjson/document.h>

#include <algorithm>
#include <optional>

#include "json_util.h"
#include "repository.h"
#include "service_api.h"
#include "service_controller.h"
#include "utils.h"

void ServiceController::_setupHandlers() {
  repo = new Repository(DATA_CACHE_PATH);
  repo->setServerBase(URL_HOST);
  repo->setCaFile(CA_FILE);
  // The store client and the first update detection come once the port is
  // open (_startupWork): they ask the network.
}

bool ServiceController::_runHandler(const std::vector<std::string>& words, std::string& status) {
  const int code = nelt::atoiLike(words[2]);
  if (words[1] == "GET") return _runGet(code, words, status);
  if (words[1] == "POST") return _runPost(code, words, status);
  // Nothing is served under "PUT" or any other method: no reply.
  return false;
}

bool ServiceController::_runGet(int code, const std::vector<std::string>& words,
                                std::string& status) {
  switch (code) {
    case REQ_LOGOUT:
      _handleLogout(false, status);
      return true;
    case REQ_LOGOUT_D:
      _handleLogout(true, status);
      return true;
    case REQ_SECTIONS:
      _handleSections(status);
      return true;
    case REQ_SEARCH:
      _handleSearch(words, status);
      return true;
    case REQ_GETTOKEN:
      _handleGetToken(status);
      return true;
    case REQ_LISTINSTALLED:
      _handleListInstalled(true, status);
      return true;
    case REQ_LISTUPDATE:
      _handleListInstalled(false, status);
      return true;
    case REQ_GETKEY:
      _handleGetKey(words, status);
      return true;
    case REQ_GETACCCURENT:
      _handleAccountCurrent(status);
      return true;
    case REQ_TEST_LISTAPPS:
      _handleListApps(words, status);
      return true;
    case REQ_TEST_DETAILAPP:
      _handleDetailApp(words, status);
      return true;
    case REQ_GETHOST:
      _handleGetHost(status);
      return true;
    case REQ_CHECKOPENWINDOW:
      _handleCheckOpenWindow(status);
      return true;
    case REQ_GET_SETTING:
      _handleGetSetting(status);
      return true;
    default:
      return false;
  }
}

bool ServiceController::_runPost(int code, const std::vector<std::string>& words,
                                 std::string& status) {
  switch (code) {
    case REQ_INFO:
      _handleInfo(words, status);
      return true;
    case REQ_LOGIN:
      _handleLogin(words, false, status);
      return true;
    case REQ_LOGIN_D:
      _handleLogin(words, true, status);
      return true;
    case REQ_SETOPENWINDOW:
      _handleSetOpenWindow(words, status);
      return true;
    case REQ_SAVE_SETTING:
      _handleSaveSetting(words, status);
      return true;
    default:
      return false;
  }
}

bool ServiceController::_hasArgument(const std::vector<std::string>& words, std::string& status) {
  if (words.size() > 3) return true;
  status = nelt::STATUS_FAILED;
  data_res.clear();
  return false;
}

void ServiceController::_takeReply(int rc, std::string& status) {
  if (rc < 0) {
    status = nelt::STATUS_FAILED;
    return;
  }
  data_res = api->getResponse();
  status = api->getIDResponse();
}

std::string ServiceController::_rawArgument() const {
  // "SOCK METHOD CODE ARGUMENT\n": everything after the code's space, less
  // the line end.
  size_t at = 0;
  for (int word = 0; word < 3; ++word) {
    at = cur_record.find(' ', at);
    if (at == std::string::npos) return std::string();
    ++at;
  }
  std::string argument = cur_record.substr(at);
  if (!argument.empty() && argument.back() == '\n') argument.pop_back();
  return argument;
}

bool ServiceController::_isSectionList(const std::string& text) {
  rapidjson::Document doc;
  if (!ServiceAPI::parseOutsideJson(doc, text) || !doc.IsObject()) return false;
  return nelt::getArray(doc, "data") != nullptr;
}

// ---- Connection handlers ----

void ServiceController::_handleInfo(const std::vector<std::string>& words, std::string& status) {
  status = nelt::STATUS_FAILED;
  if (words.size() < 4) return;
  const std::string& kind = words[3];
  const bool store = kind == nelt::CLIENT_NATIVE_STORE;
  if (!store && kind != nelt::CLIENT_CREATOR_TOOL) return;
  status = nelt::STATUS_OK;
  std::lock_guard<std::mutex> lock(mutex_recv);
  if (!_currentAliveLocked()) return;
  // The command line identifies itself the same way as the window, so an
  // identification says nothing about who holds the window's slot; only the
  // connection that registers "@FIRST" does (see _handleSetOpenWindow).
  _setClientIDLocked(cur_sock, store ? CLI_IS_USER : CLI_IS_DEV);
}

void ServiceController::_handleGetHost(std::string& status) {
  data_res = "{\"url\": \"" + nelt::jsonEscape(URL_HOST) + "\"}";
  status = nelt::STATUS_OK;
}

void ServiceController::_handleCheckOpenWindow(std::string& status) {
  std::string why;
  const bool allowed = _callerMayUseAccount(why);
  std::lock_guard<std::mutex> lock(mutex_recv);
  _openWindowLocked(REQ_CHECKOPENWINDOW, {}, cur_sock, _currentAliveLocked(), allowed, why,
                    cur_peer, status, data_res);
}

void ServiceController::_handleSetOpenWindow(const std::vector<std::string>& words,
                                             std::string& status) {
  std::string why;
  const bool allowed = _callerMayUseAccount(why);
  std::lock_guard<std::mutex> lock(mutex_recv);
  _openWindowLocked(REQ_SETOPENWINDOW, words, cur_sock, _currentAliveLocked(), allowed, why,
                    cur_peer, status, data_res);
}

// Both open-window requests, for the dispatcher and for the receive thread's
// immediate answer alike. `words` are the request's words (socket, method,
// code, argument...); `alive` says whether the asking connection is still
// open.
void ServiceController::_openWindowLocked(int code, const std::vector<std::string>& words, int sock,
                                          bool alive, bool allowed, const std::string& why,
                                          const nelt::PeerUid& peer, std::string& status,
                                          std::string& data) {
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
        _logRefusalOf(REQ_CHECKOPENWINDOW, why, peer);
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
  if (words.size() <= 3) {
    status = nelt::STATUS_FAILED;
    return;
  }
  // Another user only hands a word on to a running window; registering as
  // the window, or leaving a word for the next one, is refused.
  if (!allowed && (words[3] == "@FIRST" || (screen_open.empty() && sock_open == -1))) {
    status = nelt::STATUS_FAILED;
    _logRefusalOf(REQ_SETOPENWINDOW, why, peer);
    return;
  }
  screen_open = words[3];
  // A window that registers without having asked first still holds the
  // slot, so its going away frees it for the next start.
  if (screen_open == "@FIRST" && sock_open == -1 && alive) sock_open = sock;
  status = nelt::STATUS_OK;
}

// ---- Accounts ----

void ServiceController::_handleLogin(const std::vector<std::string>& words, bool dev,
                                     std::string& status) {
  if (!_hasArgument(words, status)) return;
  // The argument as sent, spaces included: a password may hold spaces and
  // "&", an account name never holds "&".
  const std::string argument = _rawArgument();
  const size_t amp = argument.find('&');
  if (amp == std::string::npos || amp == 0 || amp + 1 == argument.size()) {
    status = nelt::STATUS_FAILED;
    return;
  }
  const char* kind = dev ? nelt::CLIENT_CREATOR_TOOL : nelt::CLIENT_NATIVE_STORE;
  const ObjType type = dev ? DEV_OBJ : USER_OBJ;
  if (api->login(kind, argument.substr(0, amp), argument.substr(amp + 1)) < 0) {
    // No reply arrived: the last recorded code belongs to an earlier reply
    // and must not make this sign-in look successful. The channel is
    // anonymous again, and so are the stored files.
    repo->removeToken(type);
    status = nelt::STATUS_FAILED;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_recv);
    if (_currentAliveLocked()) _setClientIDLocked(cur_sock, dev ? CLI_IS_DEV : CLI_IS_USER);
  }
  data_res = dev ? api->getResponseDev() : api->getResponse();
  // A refused sign-in stores the empty text, which signs the account out.
  if (repo->writeData(type, data_res) != 0) {
    // The account could not be kept: nothing may look signed in.
    api->addHeaderToken(kind, "");
    repo->removeToken(type);
    data_res.clear();
    status = nelt::STATUS_FAILED;
    return;
  }
  status = api->getIDResponse();
}

void ServiceController::_handleLogout(bool dev, std::string& status) {
  api->addHeaderToken(dev ? nelt::CLIENT_CREATOR_TOOL : nelt::CLIENT_NATIVE_STORE, "");
  repo->removeToken(dev ? DEV_OBJ : USER_OBJ);
  status = nelt::STATUS_OK;
}

void ServiceController::_handleAccountCurrent(std::string& status) {
  data_res = repo->readData(USER_OBJ);
  status = data_res.empty() ? nelt::STATUS_FAILED : nelt::STATUS_OK;
}

void ServiceController::_handleGetToken(std::string& status) {
  const std::string token = repo->readToken(USER_OBJ);
  if (token.empty()) {
    status = nelt::STATUS_NO_TOKEN;
    return;
  }
  data_res = "{\"token\": \"" + nelt::jsonEscape(token) + "\"}";
  status = nelt::STATUS_OK;
}

void ServiceController::_handleGetSetting(std::string& status) {
  const std::string user = repo->getIDUserName(USER_OBJ);
  data_res = repo->getSetting(user);
  status = nelt::STATUS_OK;
}

void ServiceController::_handleSaveSetting(const std::vector<std::string>& words,
                                           std::string& status) {
  if (!_hasArgument(words, status)) return;
  // The window sends compact JSON; should a value hold spaces, its words are
  // put back together.
  std::string text = words[3];
  for (size_t i = 4; i < words.size(); ++i) text += " " + words[i];
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  if (doc.HasParseError() || !doc.IsObject()) {
    // Keep the stored settings rather than replace them with something the
    // window cannot read back.
    status = nelt::STATUS_FAILED;
    return;
  }
  status = repo->saveSetting(repo->getIDUserName(USER_OBJ), text) == 0 ? nelt::STATUS_OK
                                                                       : nelt::STATUS_FAILED;
}

// ---- Catalog ----

void ServiceController::_handleSections(std::string& status) {
  if (api->getListSections() < 0) {
    data_res = repo->readData(SECTION_OBJ);
    status = nelt::STATUS_FAILED;
    return;
  }
  data_res = api->getResponse();
  status = api->getIDResponse();
  // Only a usable list replaces the one kept for offline use.
  if (status == nelt::STATUS_OK && _isSectionList(data_res)) repo->writeData(SECTION_OBJ, data_res);
}

void ServiceController::_handleSearch(const std::vector<std::string>& words, std::string& status) {
  if (!_hasArgument(words, status)) return;
  if (words[3] == "@null") {
    status = nelt::STATUS_FAILED;
    return;
  }
  std::string text;
  for (size_t i = 3; i < words.size(); ++i) text += words[i] + " ";
  _takeReply(api->search(1, text, -1, -1), status);
}

void ServiceController::_handleGetKey(const std::vector<std::string>& words, std::string& status) {
  if (!_hasArgument(words, status)) return;
  _takeReply(api->getKeyApp(words[3]), status);
}

void ServiceController::_handleListApps(const std::vector<std::string>& words,
                                        std::string& status) {
  if (!_hasArgument(words, status)) return;
  _takeReply(api->getListAppsTest(nelt::atoiLike(words[3])), status);
}

void ServiceController::_handleDetailApp(const std::vector<std::string>& words,
                                         std::string& status) {
  if (!_hasArgument(words, status)) return;
  const std::string& name = words[3];
  std::string cached, file;
  int state = 0;
  const bool found = repo->hasApp(name, file, state);
  if (found) cached = repo->readDataApp(file);
  if (api->getDetailApp(name) < 0) {
    // Offline: the cached record stands in for the live one.
    data_res = cached;
    status = cached.empty() ? nelt::STATUS_FAILED : nelt::STATUS_OK;
    return;
  }
  data_res = api->getResponse();
  status = api->getIDResponse();
  if (status == nelt::STATUS_OK && !found) repo->saveApps(data_res);
}

void ServiceController::_handleListInstalled(bool refresh, std::string& status) {
  // The reply is the stored list as the file reads back (its lines
  // joined), without reading back what this request just wrote.
  std::optional<std::string> stored;
  if (refresh) loadListInfoUpdate(&stored);
  if (stored) {
    stored->erase(std::remove(stored->begin(), stored->end(), '\n'), stored->end());
    data_res = std::move(*stored);
  } else {
    data_res = repo->readData(INSTALLED_OBJ);
  }
  status = nelt::STATUS_OK;
}
