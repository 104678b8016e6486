// The commands that run install jobs: `install`, `update` and `update --all`.
#pragma once

#include "cli_session.h"

namespace nelt {
namespace cli {

int cmdInstall(Session& s, const Options& o);
int cmdUpdate(Session& s, const Options& o);

}  // namespace cli
}  // namespace nelt
