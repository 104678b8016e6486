// The `nelt` command line: the store's catalog, account and package
// operations for terminals and scripts, on the same service client and
// package engine as the window.
#pragma once

namespace nelt {

// Exit statuses of the command line.
enum CliStatus {
  CLI_OK = 0,
  CLI_FAILED = 1,       // the operation was refused or failed
  CLI_USAGE = 2,        // the command line was wrong
  CLI_SIGNED_OUT = 3,   // the operation needs a signed-in account
  CLI_NO_SERVICE = 4,   // the store service cannot be reached
  CLI_CANCELLED = 130,  // an install was cancelled by SIGINT or SIGTERM
};

int runCli(int argc, char** argv);

}  // namespace nelt
