// The request handlers, by room: the connection itself (connection.cpp),
// sign-in and the account's settings (sign_in.cpp), the catalog with search
// (catalog.cpp) and the installed list with its update marks (installed.cpp).
#pragma once

#include <string>

#include "handler_env.h"

// Connection.
Reply handleInfo(HandlerEnv& env, const RequestContext& ctx);
Reply handleGetHost(HandlerEnv& env, const RequestContext& ctx);
Reply handleCheckOpenWindow(HandlerEnv& env, const RequestContext& ctx);
Reply handleSetOpenWindow(HandlerEnv& env, const RequestContext& ctx);
// The data of the store-address reply.
std::string hostData();

// Sign-in and account.
Reply handleLogin(HandlerEnv& env, const RequestContext& ctx);
Reply handleLoginDev(HandlerEnv& env, const RequestContext& ctx);
Reply handleLogout(HandlerEnv& env, const RequestContext& ctx);
Reply handleLogoutDev(HandlerEnv& env, const RequestContext& ctx);
Reply handleAccountCurrent(HandlerEnv& env, const RequestContext& ctx);
Reply handleGetToken(HandlerEnv& env, const RequestContext& ctx);
Reply handleGetSetting(HandlerEnv& env, const RequestContext& ctx);
Reply handleSaveSetting(HandlerEnv& env, const RequestContext& ctx);

// Catalog and search.
Reply handleSections(HandlerEnv& env, const RequestContext& ctx);
Reply handleSearch(HandlerEnv& env, const RequestContext& ctx);
Reply handleGetKey(HandlerEnv& env, const RequestContext& ctx);
Reply handleListApps(HandlerEnv& env, const RequestContext& ctx);
Reply handleDetailApp(HandlerEnv& env, const RequestContext& ctx);

// Installed list.
Reply handleListInstalled(HandlerEnv& env, const RequestContext& ctx);
Reply handleListUpdate(HandlerEnv& env, const RequestContext& ctx);
