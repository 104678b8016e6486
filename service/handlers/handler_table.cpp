#include "handler_table.h"

#include "handlers.h"

namespace {

struct Entry {
  const char* method;
  int code;
  Handler handler;
};

const Entry HANDLERS[] = {
    {"GET", REQ_LOGOUT, handleLogout},
    {"GET", REQ_LOGOUT_D, handleLogoutDev},
    {"GET", REQ_SECTIONS, handleSections},
    {"GET", REQ_SEARCH, handleSearch},
    {"GET", REQ_GETTOKEN, handleGetToken},
    {"GET", REQ_LISTINSTALLED, handleListInstalled},
    {"GET", REQ_LISTUPDATE, handleListUpdate},
    {"GET", REQ_GETKEY, handleGetKey},
    {"GET", REQ_GETACCCURENT, handleAccountCurrent},
    {"GET", REQ_TEST_LISTAPPS, handleListApps},
    {"GET", REQ_TEST_DETAILAPP, handleDetailApp},
    {"GET", REQ_GETHOST, handleGetHost},
    {"GET", REQ_CHECKOPENWINDOW, handleCheckOpenWindow},
    {"GET", REQ_GET_SETTING, handleGetSetting},
    {"POST", REQ_INFO, handleInfo},
    {"POST", REQ_LOGIN, handleLogin},
    {"POST", REQ_LOGIN_D, handleLoginDev},
    {"POST", REQ_SETOPENWINDOW, handleSetOpenWindow},
    {"POST", REQ_SAVE_SETTING, handleSaveSetting},
};

}  // namespace

Handler findHandler(const std::string& method, int code) {
  for (const Entry& entry : HANDLERS)
    if (entry.code == code && method == entry.method) return entry.handler;
  return nullptr;
}

bool needsStoreClient(const std::string& method, int code) {
  if (method == "POST") return code == REQ_LOGIN || code == REQ_LOGIN_D;
  switch (code) {
    case REQ_INFO:
    case REQ_GETHOST:
    case REQ_CHECKOPENWINDOW:
    case REQ_GETACCCURENT:
    case REQ_GETTOKEN:
    case REQ_GET_SETTING:
    case REQ_LISTUPDATE:
      return false;
    default:
      return true;
  }
}

bool isAccountRequest(const std::string& method, int code) {
  if (method == "POST") return code == REQ_LOGIN || code == REQ_LOGIN_D || code == REQ_SAVE_SETTING;
  if (method == "GET")
    return code == REQ_LOGOUT || code == REQ_LOGOUT_D || code == REQ_GETTOKEN ||
           code == REQ_GETKEY || code == REQ_GETACCCURENT || code == REQ_GET_SETTING;
  return false;
}
