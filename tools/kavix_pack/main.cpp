// kavix-pack: builds a ".kavix" package from a snap and its "kavix.json".
//
// The archive password is never taken from the command line, where every user
// of the machine can read it: it comes from a file, an environment variable or
// the store's keys file.
#include <zip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <map>
#include <string>

#include "fsutil.h"
#include "kavix_pack.h"

namespace {

constexpr int EXIT_STATUS_FAILURE = 1;
constexpr int EXIT_STATUS_USAGE = 2;

const char* const USAGE =
    "Usage: kavix-pack --snap FILE --kavix-json FILE --slug SLUG --info JSON|@FILE\n"
    "                  (--password-file FILE|- | --password-env VAR | --password-from-keys FILE)\n"
    "                  [--encryption aes256|aes192|aes128|zipcrypto|none] -o OUT.kavix\n"
    "\n"
    "Writes OUT.kavix: the package header (slug and info document) followed by a\n"
    "zip archive holding the snap at the info's \"snap\" path and \"kavix.json\"\n"
    "beside it, encrypted with the password (AES-256 unless told otherwise).\n"
    "The package is read back and checked before it replaces OUT.kavix.\n"
    "\n"
    "  --password-file FILE   first line of FILE (\"-\": standard input)\n"
    "  --password-env VAR     value of the environment variable VAR\n"
    "  --password-from-keys FILE\n"
    "                         the slug's key in a JSON keys file ({\"SLUG\": \"KEY\"})\n";

int usageError(const std::string& message) {
  std::fprintf(stderr, "kavix-pack: %s\n%s", message.c_str(), USAGE);
  return EXIT_STATUS_USAGE;
}

// A password file holds the password on its first line; the line end is not
// part of it.
std::string firstLine(const std::string& text) {
  std::string line = text.substr(0, text.find('\n'));
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// The secret is overwritten before its memory is given back.
void wipe(std::string& secret) {
  volatile char* p = secret.data();
  for (std::size_t i = 0; i < secret.size(); ++i) p[i] = 0;
  secret.clear();
}

}  // namespace

int main(int argc, char** argv) {
  const std::map<std::string, std::string> value_options = {{"--snap", ""},
                                                            {"--kavix-json", ""},
                                                            {"--slug", ""},
                                                            {"--info", ""},
                                                            {"--password-file", ""},
                                                            {"--password-env", ""},
                                                            {"--password-from-keys", ""},
                                                            {"--encryption", ""},
                                                            {"-o", ""}};
  std::map<std::string, std::string> opts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (arg == "--password" || arg.rfind("--password=", 0) == 0 || arg == "-p") {
      return usageError(
          "a password is never taken as an argument (other users can read it); "
          "use --password-file, --password-env or --password-from-keys");
    }
    std::string name = arg, value;
    bool inline_value = false;
    const std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    if (name == "--output") name = "-o";
    if (value_options.count(name) == 0) return usageError("unknown argument \"" + arg + "\"");
    if (!inline_value) {
      if (i + 1 >= argc) return usageError(name + " needs a value");
      value = argv[++i];
    }
    if (opts.count(name) != 0) return usageError(name + " is given twice");
    opts[name] = value;
  }
  for (const char* required : {"--snap", "--kavix-json", "--slug", "--info", "-o"}) {
    if (opts.count(required) == 0) return usageError(std::string(required) + " is required");
  }

  nelt::kavix::PackRequest req;
  req.snap_path = opts["--snap"];
  req.kavix_json_path = opts["--kavix-json"];
  req.slug = opts["--slug"];
  req.output = opts["-o"];
  req.encryption = ZIP_EM_AES_256;
  if (opts.count("--encryption") != 0 &&
      !nelt::kavix::parseEncryption(opts["--encryption"], req.encryption)) {
    return usageError("unknown encryption \"" + opts["--encryption"] + "\"");
  }

  const std::string& info_arg = opts["--info"];
  if (!info_arg.empty() && info_arg[0] == '@') {
    if (!nelt::readWholeFile(info_arg.substr(1), req.info)) {
      std::fprintf(stderr, "kavix-pack: cannot read the info file \"%s\"\n", info_arg.c_str() + 1);
      return EXIT_STATUS_FAILURE;
    }
    while (!req.info.empty() && (req.info.back() == '\n' || req.info.back() == '\r'))
      req.info.pop_back();
  } else {
    req.info = info_arg;
  }

  const int sources =
      static_cast<int>(opts.count("--password-file") + opts.count("--password-env") +
                       opts.count("--password-from-keys"));
  if (req.encryption == ZIP_EM_NONE) {
    if (sources != 0) return usageError("a password makes no sense with --encryption none");
  } else if (sources != 1) {
    return usageError("give exactly one of --password-file, --password-env, --password-from-keys");
  } else if (opts.count("--password-file") != 0) {
    const std::string& file = opts["--password-file"];
    std::string text;
    if (file == "-") {
      text.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else if (!nelt::readWholeFile(file, text)) {
      std::fprintf(stderr, "kavix-pack: cannot read the password file \"%s\"\n", file.c_str());
      return EXIT_STATUS_FAILURE;
    }
    req.password = firstLine(text);
    wipe(text);
  } else if (opts.count("--password-env") != 0) {
    const char* value = std::getenv(opts["--password-env"].c_str());
    if (value == nullptr) {
      std::fprintf(stderr, "kavix-pack: the environment variable %s is not set\n",
                   opts["--password-env"].c_str());
      return EXIT_STATUS_FAILURE;
    }
    req.password = value;
  } else {
    std::string why;
    if (!nelt::kavix::keyFromKeysFile(opts["--password-from-keys"], req.slug, req.password, why)) {
      std::fprintf(stderr, "kavix-pack: %s\n", why.c_str());
      return EXIT_STATUS_FAILURE;
    }
  }

  std::string summary, why;
  const int rc = nelt::kavix::buildPackage(req, summary, why);
  wipe(req.password);
  if (rc != 0) {
    std::fprintf(stderr, "kavix-pack: %s\n", why.c_str());
    return EXIT_STATUS_FAILURE;
  }
  std::printf("kavix-pack: wrote %s\n", summary.c_str());
  return 0;
}
