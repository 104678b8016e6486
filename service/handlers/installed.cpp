// The installed list: rebuilt with fresh update marks (REQ_LISTINSTALLED) or
// read as stored (REQ_LISTUPDATE).
#include <algorithm>
#include <optional>

#include "handlers.h"
#include "repository.h"
#include "update_detection.h"

namespace {

Reply installedList(HandlerEnv& env, bool refresh) {
  // The reply is the stored list as the file reads back (its lines
  // joined), without reading back what this request just wrote.
  std::optional<std::string> stored;
  if (refresh) env.updates->loadListInfoUpdate(*env.api, &stored);
  Reply reply{nelt::STATUS_OK, ""};
  if (stored) {
    stored->erase(std::remove(stored->begin(), stored->end(), '\n'), stored->end());
    reply.data = std::move(*stored);
  } else {
    reply.data = env.repo->readData(INSTALLED_OBJ);
  }
  return reply;
}

}  // namespace

Reply handleListInstalled(HandlerEnv& env, const RequestContext&) {
  return installedList(env, true);
}

Reply handleListUpdate(HandlerEnv& env, const RequestContext&) { return installedList(env, false); }
