// Catalog handlers: sections, search, the applications of a section, detail
// records (with the cached record standing in offline) and package keys.
#include "handlers.h"
#include "json_util.h"
#include "repository.h"
#include "service_api.h"
#include "utils.h"

namespace {

const Reply FAILED{nelt::STATUS_FAILED, ""};

Reply fromStore(const StoreReply& answer) {
  if (answer.rc < 0) return FAILED;
  return Reply{answer.status, answer.data};
}

bool isSectionList(const std::string& text) {
  rapidjson::Document doc;
  if (!ServiceAPI::parseOutsideJson(doc, text) || !doc.IsObject()) return false;
  return nelt::getArray(doc, "data") != nullptr;
}

}  // namespace

Reply handleSections(HandlerEnv& env, const RequestContext&) {
  const StoreReply answer = env.api->fetchSections();
  if (answer.rc < 0) return Reply{nelt::STATUS_FAILED, env.repo->readData(SECTION_OBJ)};
  // Only a usable list replaces the one kept for offline use.
  if (answer.status == nelt::STATUS_OK && isSectionList(answer.data))
    env.repo->writeData(SECTION_OBJ, answer.data);
  return Reply{answer.status, answer.data};
}

Reply handleSearch(HandlerEnv& env, const RequestContext& ctx) {
  const nelt::RequestRecord& req = ctx.req;
  if (req.args.empty() || req.args[0] == "@null") return FAILED;
  std::string text;
  for (const std::string& word : req.args) text += word + " ";
  return fromStore(env.api->fetchSearch(1, text, -1, -1));
}

Reply handleGetKey(HandlerEnv& env, const RequestContext& ctx) {
  if (ctx.req.args.empty()) return FAILED;
  return fromStore(env.api->fetchKey(ctx.req.args[0]));
}

Reply handleListApps(HandlerEnv& env, const RequestContext& ctx) {
  if (ctx.req.args.empty()) return FAILED;
  return fromStore(env.api->fetchSectionApps(nelt::atoiLike(ctx.req.args[0])));
}

Reply handleDetailApp(HandlerEnv& env, const RequestContext& ctx) {
  if (ctx.req.args.empty()) return FAILED;
  const std::string& name = ctx.req.args[0];
  std::string cached, file;
  int state = 0;
  const bool found = env.repo->hasApp(name, file, state);
  if (found) cached = env.repo->readDataApp(file);
  const StoreReply answer = env.api->fetchDetail(name);
  if (answer.rc < 0) {
    // Offline: the cached record stands in for the live one.
    return Reply{cached.empty() ? nelt::STATUS_FAILED : nelt::STATUS_OK, cached};
  }
  if (answer.status == nelt::STATUS_OK && !found) env.repo->saveApps(answer.data);
  return Reply{answer.status, answer.data};
}
