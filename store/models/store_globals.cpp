#include "store_globals.h"

#include <mutex>

namespace nelt::window {

std::string URL_HOST;
int _PORT_LOCAL = 0;
std::string KAVIX_APP_CURRENT;
std::string KAVIX_SECTION_CURRENT;

namespace {
std::mutex current_install_mutex;
std::string KAVIX_STORE_CURRENT_INSTALL;
}  // namespace

std::string currentInstall() {
  std::lock_guard<std::mutex> lock(current_install_mutex);
  return KAVIX_STORE_CURRENT_INSTALL;
}

void setCurrentInstall(const std::string& slug) {
  std::lock_guard<std::mutex> lock(current_install_mutex);
  KAVIX_STORE_CURRENT_INSTALL = slug;
}

}  // namespace nelt::window
