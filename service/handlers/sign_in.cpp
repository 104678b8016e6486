// Sign-in and the store account: login and logout of both channels, the
// current account, its token and its settings.
#include <rapidjson/document.h>

#include "handlers.h"
#include "json_util.h"
#include "repository.h"
#include "request_server.h"
#include "service_api.h"

namespace {

const Reply FAILED{nelt::STATUS_FAILED, ""};

Reply login(HandlerEnv& env, const RequestContext& ctx, bool dev) {
  if (ctx.req.args.empty()) return FAILED;
  // The argument as sent, spaces included: a password may hold spaces and
  // "&", an account name never holds "&".
  const std::string argument = ctx.rawArgument();
  const size_t amp = argument.find('&');
  if (amp == std::string::npos || amp == 0 || amp + 1 == argument.size()) return FAILED;
  const char* kind = dev ? nelt::CLIENT_CREATOR_TOOL : nelt::CLIENT_NATIVE_STORE;
  const ObjType type = dev ? DEV_OBJ : USER_OBJ;
  const StoreReply answer =
      env.api->signIn(kind, argument.substr(0, amp), argument.substr(amp + 1));
  if (answer.rc < 0) {
    // No reply arrived: an earlier reply's code must not make this sign-in
    // look successful. The channel is anonymous again, and so are the
    // stored files.
    env.repo->removeToken(type);
    return FAILED;
  }
  env.server->setClientIDIfAlive(ctx, dev ? CLI_IS_DEV : CLI_IS_USER);
  // A refused sign-in stores the empty text, which signs the account out.
  if (env.repo->writeData(type, answer.data) != 0) {
    // The account could not be kept: nothing may look signed in.
    env.api->addHeaderToken(kind, "");
    env.repo->removeToken(type);
    return FAILED;
  }
  return Reply{answer.status, answer.data};
}

Reply logout(HandlerEnv& env, bool dev) {
  env.api->addHeaderToken(dev ? nelt::CLIENT_CREATOR_TOOL : nelt::CLIENT_NATIVE_STORE, "");
  env.repo->removeToken(dev ? DEV_OBJ : USER_OBJ);
  return Reply{nelt::STATUS_OK, ""};
}

}  // namespace

Reply handleLogin(HandlerEnv& env, const RequestContext& ctx) { return login(env, ctx, false); }
Reply handleLoginDev(HandlerEnv& env, const RequestContext& ctx) { return login(env, ctx, true); }
Reply handleLogout(HandlerEnv& env, const RequestContext&) { return logout(env, false); }
Reply handleLogoutDev(HandlerEnv& env, const RequestContext&) { return logout(env, true); }

Reply handleAccountCurrent(HandlerEnv& env, const RequestContext&) {
  Reply reply;
  reply.data = env.repo->readData(USER_OBJ);
  reply.status = reply.data.empty() ? nelt::STATUS_FAILED : nelt::STATUS_OK;
  return reply;
}

Reply handleGetToken(HandlerEnv& env, const RequestContext&) {
  const std::string token = env.repo->readToken(USER_OBJ);
  if (token.empty()) return Reply{nelt::STATUS_NO_TOKEN, ""};
  return Reply{nelt::STATUS_OK, "{\"token\": \"" + nelt::jsonEscape(token) + "\"}"};
}

Reply handleGetSetting(HandlerEnv& env, const RequestContext&) {
  const std::string user = env.repo->getIDUserName(USER_OBJ);
  return Reply{nelt::STATUS_OK, env.repo->getSetting(user)};
}

Reply handleSaveSetting(HandlerEnv& env, const RequestContext& ctx) {
  const nelt::RequestRecord& req = ctx.req;
  if (req.args.empty()) return FAILED;
  // The window sends compact JSON; should a value hold spaces, its words are
  // put back together.
  std::string text = req.args[0];
  for (size_t i = 1; i < req.args.size(); ++i) text += " " + req.args[i];
  rapidjson::Document doc;
  doc.Parse(text.c_str(), text.size());
  // Keep the stored settings rather than replace them with something the
  // window cannot read back.
  if (doc.HasParseError() || !doc.IsObject()) return FAILED;
  const bool saved = env.repo->saveSetting(env.repo->getIDUserName(USER_OBJ), text) == 0;
  return Reply{saved ? nelt::STATUS_OK : nelt::STATUS_FAILED, ""};
}
