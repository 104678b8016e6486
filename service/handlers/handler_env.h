// What the request handlers work with. Each handler gets the environment and
// the request's context and returns its reply; none keeps anything of the
// request once it has returned.
#pragma once

#include "request_context.h"

class ServiceAPI;
class Repository;
class UpdateDetection;
class RequestServer;
class OpenWindowSlot;

struct HandlerEnv {
  // Made by the start-up thread once the port is open; set before any
  // handler that needs it runs (see needsStoreClient).
  ServiceAPI* api = nullptr;
  Repository* repo = nullptr;
  UpdateDetection* updates = nullptr;
  RequestServer* server = nullptr;
  // Used only under the request server's lock.
  OpenWindowSlot* slot = nullptr;
};

using Handler = Reply (*)(HandlerEnv& env, const RequestContext& ctx);
