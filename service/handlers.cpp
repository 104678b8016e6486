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

using nelt::service::URL_HOST;

void ServiceController::_setupHandlers() {
  // The inventory (`snap list`), the cache tidying, the store client and the
  // first update detection come once the port is open (_startupWork): the
  // port must not wait on the number of installed applications or on the
  // network. The sign-out at start stays here, before any client can ask.
  repo = new Repository(DATA_CACHE_PATH, false);
  repo->setServerBase(URL_HOST);
  repo->setCaFile(CA_FILE);
}

bool ServiceController::_runHandler(const nelt::RequestRecord& req, std::string& status) {
  if (req.method == "GET") return _runGet(req, status);
  if (req.method == "POST") return _runPost(req, status);
  // Nothing is served under "PUT" or any other method: no reply.
  return false;
}

bool ServiceController::_runGet(const nelt::RequestRecord& req, std::string& status) {
  switch (req.code) {
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
      _handleSearch(req, status);
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
      _handleGetKey(req, status);
      return true;
    case REQ_GETACCCURENT:
      _handleAccountCurrent(status);
      return true;
    case REQ_TEST_LISTAPPS:
      _handleListApps(req, status);
      return true;
    case REQ_TEST_DETAILAPP:
      _handleDetailApp(req, status);
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

bool ServiceController::_runPost(const nelt::RequestRecord& req, std::string& status) {
  switch (req.code) {
    case REQ_INFO:
      _handleInfo(req, status);
      return true;
    case REQ_LOGIN:
      _handleLogin(req, false, status);
      return true;
    case REQ_LOGIN_D:
      _handleLogin(req, true, status);
      return true;
    case REQ_SETOPENWINDOW:
      _handleSetOpenWindow(req, status);
      return true;
    case REQ_SAVE_SETTING:
      _handleSaveSetting(req, status);
      return true;
    default:
      return false;
  }
}

bool ServiceController::_hasArgument(const nelt::RequestRecord& req, std::string& status) {
  if (!req.args.empty()) return true;
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

void ServiceController::_handleInfo(const nelt::RequestRecord& req, std::string& status) {
  status = nelt::STATUS_FAILED;
  if (req.args.empty()) return;
  const std::string& kind = req.args[0];
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

std::string ServiceController::_hostData() {
  return "{\"url\": \"" + nelt::jsonEscape(URL_HOST) + "\"}";
}

void ServiceController::_handleGetHost(std::string& status) {
  data_res = _hostData();
  status = nelt::STATUS_OK;
}

void ServiceController::_handleCheckOpenWindow(std::string& status) {
  std::string why;
  const bool allowed = _callerMayUseAccount(why);
  std::lock_guard<std::mutex> lock(mutex_recv);
  _openWindowLocked(REQ_CHECKOPENWINDOW, {}, cur_sock, _currentAliveLocked(), allowed, why,
                    cur_peer, status, data_res);
}

void ServiceController::_handleSetOpenWindow(const nelt::RequestRecord& req, std::string& status) {
  std::string why;
  const bool allowed = _callerMayUseAccount(why);
  std::lock_guard<std::mutex> lock(mutex_recv);
  _openWindowLocked(REQ_SETOPENWINDOW, req.args, cur_sock, _currentAliveLocked(), allowed, why,
                    cur_peer, status, data_res);
}

// Both open-window requests, for the dispatcher and for the receive thread's
// immediate answer alike. `args` are the request's words after its code;
// `alive` says whether the asking connection is still open.
void ServiceController::_openWindowLocked(int code, const std::vector<std::string>& args, int sock,
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
  if (args.empty()) {
    status = nelt::STATUS_FAILED;
    return;
  }
  // Another user only hands a word on to a running window; registering as
  // the window, or leaving a word for the next one, is refused.
  if (!allowed && (args[0] == "@FIRST" || (screen_open.empty() && sock_open == -1))) {
    status = nelt::STATUS_FAILED;
    _logRefusalOf(REQ_SETOPENWINDOW, why, peer);
    return;
  }
  screen_open = args[0];
  // A window that registers without having asked first still holds the
  // slot, so its going away frees it for the next start.
  if (screen_open == "@FIRST" && sock_open == -1 && alive) sock_open = sock;
  status = nelt::STATUS_OK;
}

// ---- Accounts ----

void ServiceController::_handleLogin(const nelt::RequestRecord& req, bool dev,
                                     std::string& status) {
  if (!_hasArgument(req, status)) return;
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

void ServiceController::_handleSaveSetting(const nelt::RequestRecord& req, std::string& status) {
  if (!_hasArgument(req, status)) return;
  // The window sends compact JSON; should a value hold spaces, its words are
  // put back together.
  std::string text = req.args[0];
  for (size_t i = 1; i < req.args.size(); ++i) text += " " + req.args[i];
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

void ServiceController::_handleSearch(const nelt::RequestRecord& req, std::string& status) {
  if (!_hasArgument(req, status)) return;
  if (req.args[0] == "@null") {
    status = nelt::STATUS_FAILED;
    return;
  }
  std::string text;
  for (const std::string& word : req.args) text += word + " ";
  _takeReply(api->search(1, text, -1, -1), status);
}

void ServiceController::_handleGetKey(const nelt::RequestRecord& req, std::string& status) {
  if (!_hasArgument(req, status)) return;
  _takeReply(api->getKeyApp(req.args[0]), status);
}

void ServiceController::_handleListApps(const nelt::RequestRecord& req, std::string& status) {
  if (!_hasArgument(req, status)) return;
  _takeReply(api->getListAppsTest(nelt::atoiLike(req.args[0])), status);
}

void ServiceController::_handleDetailApp(const nelt::RequestRecord& req, std::string& status) {
  if (!_hasArgument(req, status)) return;
  const std::string& name = req.args[0];
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
