// The one table of request handlers, keyed by method and code.
#pragma once

#include <string>

#include "handler_env.h"

// The handler of a request, or nullptr: nothing is served under another
// method or code, and such a request gets no reply.
Handler findHandler(const std::string& method, int code);
// Whether a request can be answered only once the store client exists.
bool needsStoreClient(const std::string& method, int code);
// Requests that read or change the store account or its settings: answered
// only for callers that may use the account.
bool isAccountRequest(const std::string& method, int code);
