// Connection handlers: client identification, the store address and the
// single-instance exchange of the open-window slot.
#include "account_access.h"
#include "handlers.h"
#include "json_util.h"
#include "open_window_slot.h"
#include "request_server.h"
#include "utils.h"

std::string hostData() {
  return "{\"url\": \"" + nelt::jsonEscape(nelt::service::URL_HOST) + "\"}";
}

Reply handleInfo(HandlerEnv& env, const RequestContext& ctx) {
  Reply reply{nelt::STATUS_FAILED, ""};
  const nelt::RequestRecord& req = ctx.req;
  if (req.args.empty()) return reply;
  const std::string& kind = req.args[0];
  const bool store = kind == nelt::CLIENT_NATIVE_STORE;
  if (!store && kind != nelt::CLIENT_CREATOR_TOOL) return reply;
  reply.status = nelt::STATUS_OK;
  // The command line identifies itself the same way as the window, so an
  // identification says nothing about who holds the window's slot; only the
  // connection that registers "@FIRST" does (see handleSetOpenWindow).
  env.server->setClientIDIfAlive(ctx, store ? CLI_IS_USER : CLI_IS_DEV);
  return reply;
}

Reply handleGetHost(HandlerEnv&, const RequestContext&) {
  return Reply{nelt::STATUS_OK, hostData()};
}

namespace {
Reply openWindow(HandlerEnv& env, const RequestContext& ctx, int code,
                 const std::vector<std::string>& args) {
  std::string why;
  const bool allowed = callerMayUseAccount(ctx.peer, why);
  Reply reply;
  env.server->withConnectionLocked(ctx, [&](bool alive) {
    bool refused = false;
    env.slot->answer(code, args, ctx.sock, alive, allowed, reply.status, reply.data, refused);
    if (refused) logRefusal(code, why, ctx.peer);
  });
  return reply;
}
}  // namespace

Reply handleCheckOpenWindow(HandlerEnv& env, const RequestContext& ctx) {
  return openWindow(env, ctx, REQ_CHECKOPENWINDOW, {});
}

Reply handleSetOpenWindow(HandlerEnv& env, const RequestContext& ctx) {
  return openWindow(env, ctx, REQ_SETOPENWINDOW, ctx.req.args);
}
