// KavixService entry point: wiring only.
#include <sys/stat.h>

#include <csignal>
#include <iostream>
#include <string>
#include <utility>

#include "paths.h"
#include "service_controller.h"
#include "utils.h"

using nelt::service::URL_HOST;

namespace {
// Exit code when the working or data folder is missing or relative.
constexpr int EXIT_BAD_FOLDER = -8;
}  // namespace

int main() {
  // A window that goes away mid-reply must not end the service.
  std::signal(SIGPIPE, SIG_IGN);

  kavix_load_config(nelt::configFilePath());
  // Relative folders would land wherever the service was started ("/" under
  // the service manager): refuse to start instead.
  for (const auto& [key, folder] : {std::make_pair("kavix_path", &KAVIX_PATH),
                                    std::make_pair("data_kavix_path", &DATA_CACHE_PATH)}) {
    if (folder->empty() || (*folder)[0] != '/') {
      debugE(EXIT_BAD_FOLDER,
             std::string("The configuration key \"") + key + "\" must name an absolute folder",
             "int main()");
      return EXIT_BAD_FOLDER & 0xff;
    }
  }
  const std::string kavix_path = KAVIX_PATH;
  std::cout << kavix_path << std::endl;
  mkdir(kavix_path.c_str(), 0775);

  ServiceController controller(URL_HOST);
  controller.run();
  return 0;
}
