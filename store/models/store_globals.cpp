#include "store_globals.h"

#include <mutex>

std::string URL_HOST;

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
