// KavixService entry point: wiring only.
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <iostream>
#include <string>
#include <utility>

#include "fsutil.h"
#include "paths.h"
#include "service_controller.h"
#include "utils.h"

using nelt::service::URL_HOST;

namespace {
// Exit code when the working or data folder is missing or relative.
constexpr int EXIT_BAD_FOLDER = -8;

// The port file, copied where the signal handler can reach it without
// allocating.
char port_file[4096];

// A clean stop (the service manager's SIGTERM, Ctrl-C) takes the port file
// with it, so no client reads the port of a service that is gone (another
// program may have it by now). Only async-signal-safe calls here; the signal
// is then delivered again with its default action, so the exit status still
// says how the service ended.
void stopCleanly(int sig) {
  if (port_file[0] != '\0') unlink(port_file);
  std::signal(sig, SIG_DFL);
  raise(sig);
}
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

  const std::string port_path = servicePortFile();
  if (port_path.size() < sizeof port_file) {
    port_path.copy(port_file, port_path.size());
    port_file[port_path.size()] = '\0';
  }
  // Its folder may be a run-time folder that nothing else creates.
  const size_t slash = port_path.rfind('/');
  if (slash != std::string::npos && slash > 0) nelt::makeDirs(port_path.substr(0, slash), 0755);
  std::signal(SIGTERM, stopCleanly);
  std::signal(SIGINT, stopCleanly);

  ServiceController controller(URL_HOST);
  controller.run();
  return 0;
}
