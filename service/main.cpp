// KavixService entry point: wiring only.
#include <sys/stat.h>

#include <csignal>
#include <iostream>

#include "paths.h"
#include "service_controller.h"
#include "utils.h"

int main() {
  // A window that goes away mid-reply must not end the service.
  std::signal(SIGPIPE, SIG_IGN);

  kavix_load_config(nelt::configFilePath());
  const std::string kavix_path = KAVIX_PATH;
  std::cout << kavix_path << std::endl;
  mkdir(kavix_path.c_str(), 0775);

  ServiceController controller(URL_HOST);
  controller.run();
  return 0;
}
