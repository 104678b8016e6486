#include "store_routes.h"

#include <fcntl.h>
#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fsutil.h"
#include "json_util.h"

namespace nelt::store_server {

using httplib::Request;
using httplib::Response;

// ---------------------------------------------------------------------------
// Tokens

std::string TokenBook::issue() {
  unsigned char raw[16];
  size_t got = 0;
  while (got < sizeof raw) {
    const ssize_t n = getrandom(raw + got, sizeof raw - got, 0);
    if (n > 0) got += static_cast<size_t>(n);
  }
  static const char HEX[] = "0123456789abcdef";
  std::string token;
  for (unsigned char b : raw) {
    token.push_back(HEX[b >> 4]);
    token.push_back(HEX[b & 0x0F]);
  }
  std::lock_guard<std::mutex> lock(mutex_);
  tokens_.insert(token);
  return token;
}

bool TokenBook::valid(const std::string& token) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tokens_.count(token) != 0;
}

void TokenBook::revokeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  tokens_.clear();
}

namespace {

using Allocator = rapidjson::Document::AllocatorType;

// ---------------------------------------------------------------------------
// Replies: {"code": 200, "data": ...} for success, {"code": N, "message": ...}
// otherwise.

void sendData(Response& res, const std::string& data_json) {
  res.status = 200;
  res.set_content("{\"code\":200,\"data\":" + data_json + "}", "application/json");
}

void sendData(Response& res, const rapidjson::Value& data) {
  sendData(res, nelt::toCompactJson(data));
}

void sendError(Response& res, int http_status, int code, const std::string& message) {
  res.status = http_status;
  res.set_content(
      "{\"code\":" + std::to_string(code) + ",\"message\":\"" + nelt::jsonEscape(message) + "\"}",
      "application/json");
}

// The token of an "Authorization: Bearer TOKEN" header; false when the
// request carries none (no header, another scheme, or an empty token).
bool bearerToken(const Request& req, std::string& token) {
  if (!req.has_header("Authorization")) return false;
  const std::string value = req.get_header_value("Authorization");
  static const char SCHEME[] = "bearer ";
  const size_t n = sizeof SCHEME - 1;
  if (value.size() <= n) return false;
  for (size_t i = 0; i < n; ++i) {
    if (std::tolower(static_cast<unsigned char>(value[i])) != SCHEME[i]) return false;
  }
  size_t start = value.find_first_not_of(' ', n);
  if (start == std::string::npos) return false;
  size_t end = value.find_last_not_of(" \t");
  token = value.substr(start, end - start + 1);
  return !token.empty();
}

// A whole decimal number that fits an int.
bool parseInt(const std::string& text, int& out) {
  if (text.empty() || text.size() > 9) return false;
  char* end = nullptr;
  const long v = std::strtol(text.c_str(), &end, 10);
  if (*end != '\0') return false;
  out = static_cast<int>(v);
  return true;
}

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// ---------------------------------------------------------------------------
// Records

void addString(rapidjson::Value& obj, const char* key, const std::string& value, Allocator& a) {
  obj.AddMember(rapidjson::Value(key, a), rapidjson::Value(value.c_str(), a), a);
}

// Copies member `key` of the catalog record into `obj` when present.
void copyMember(rapidjson::Value& obj, const AppRecord& app, const char* key, Allocator& a) {
  auto it = app.record.FindMember(key);
  if (it == app.record.MemberEnd()) return;
  obj.AddMember(rapidjson::Value(key, a), rapidjson::Value(it->value, a), a);
}

// Size of the package of the current version, when the shelf has it: the
// number a client is about to download is more useful than the catalog's.
bool packageSize(const StoreContext& ctx, const AppRecord& app, uint64_t& size) {
  std::string path;
  return !app.current_version.empty() && ctx.shelf.find(app.slug, app.current_version, path, size);
}

void setSize(rapidjson::Value& obj, const StoreContext& ctx, const AppRecord& app, Allocator& a) {
  uint64_t size = 0;
  if (!packageSize(ctx, app, size)) return;
  obj.RemoveMember("size");
  obj.AddMember("size", rapidjson::Value(size), a);
}

// One application of a list (section, search): what the list pages read,
// with the short description also under "data_version", where the search
// results carry it.
rapidjson::Value listEntry(const StoreContext& ctx, const AppRecord& app, Allocator& a) {
  rapidjson::Value e(rapidjson::kObjectType);
  e.AddMember("id", app.id, a);
  addString(e, "slug", app.slug, a);
  addString(e, "name", app.name, a);
  copyMember(e, app, "shortDescription", a);
  copyMember(e, app, "currentVersion", a);
  copyMember(e, app, "rankAvg", a);
  copyMember(e, app, "size", a);
  copyMember(e, app, "images", a);
  setSize(e, ctx, app, a);
  rapidjson::Value dv(rapidjson::kObjectType);
  addString(dv, "version", app.current_version, a);
  addString(dv, "shortDescription", app.short_description, a);
  e.AddMember("data_version", dv, a);
  return e;
}

std::string detailJson(const StoreContext& ctx, const AppRecord& app) {
  rapidjson::Document d;
  d.CopyFrom(app.record, d.GetAllocator());
  setSize(d, ctx, app, d.GetAllocator());
  uint64_t size = 0;
  d.RemoveMember("downloadable");
  d.AddMember("downloadable", packageSize(ctx, app, size), d.GetAllocator());
  return nelt::toCompactJson(d);
}

std::string listJson(const StoreContext& ctx, const std::vector<const AppRecord*>& apps,
                     rapidjson::Document& d) {
  Allocator& a = d.GetAllocator();
  if (!d.IsObject()) d.SetObject();
  rapidjson::Value list(rapidjson::kArrayType);
  for (const AppRecord* app : apps) list.PushBack(listEntry(ctx, *app, a), a);
  // The list pages make "total" tiles and fill them from "data", so "total"
  // is always the length of "data".
  d.AddMember("total", static_cast<unsigned>(apps.size()), a);
  d.AddMember("data", list, a);
  return nelt::toCompactJson(d);
}

// ---------------------------------------------------------------------------
// Files

std::string contentTypeOf(const std::string& name) {
  auto endsWith = [&](const char* ext) {
    const std::string e(ext);
    return name.size() >= e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0;
  };
  if (endsWith(".png")) return "image/png";
  if (endsWith(".jpg") || endsWith(".jpeg")) return "image/jpeg";
  if (endsWith(".svg")) return "image/svg+xml";
  return "application/octet-stream";
}

// Serves one file of the images folder. Only plain names reach the disk,
// and only regular files (no links) are read.
void sendImage(const StoreContext& ctx, const std::string& name, Response& res) {
  if (!nelt::isSafeFileName(name) || name[0] == '.') {
    sendError(res, 404, 404, "no such image");
    return;
  }
  const std::string path = ctx.catalog.imagesDir() + "/" + name;
  struct stat st {};
  std::string bytes;
  if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !nelt::readWholeFile(path, bytes)) {
    sendError(res, 404, 404, "no such image");
    return;
  }
  res.status = 200;
  res.set_content(bytes, contentTypeOf(name));
}

struct OpenPackage {
  int fd = -1;
  std::vector<char> buffer = std::vector<char>(64 * 1024);
  ~OpenPackage() {
    if (fd >= 0) close(fd);
  }
};

// ---------------------------------------------------------------------------
// Handlers

void login(StoreContext& ctx, const Request& req, Response& res) {
  rapidjson::Document body;
  body.Parse(req.body.c_str(), req.body.size());
  std::string username, password;
  if (body.HasParseError() || !nelt::getString(body, "username", username) ||
      !nelt::getString(body, "password", password)) {
    sendError(res, 400, 400, "the body needs the strings \"username\" and \"password\"");
    return;
  }
  const Account* acc = ctx.catalog.account(username, password);
  if (acc == nullptr) {
    sendError(res, 401, 401, "wrong account name or password");
    return;
  }
  rapidjson::Document d(rapidjson::kObjectType);
  Allocator& a = d.GetAllocator();
  addString(d, "token", ctx.tokens.issue(), a);
  addString(d, "key", "account", a);
  rapidjson::Value account(rapidjson::kObjectType);
  account.AddMember("id", acc->id, a);
  addString(account, "name", acc->name, a);
  d.AddMember("account", account, a);
  rapidjson::Value user(rapidjson::kObjectType);
  user.AddMember("id", acc->id, a);
  addString(user, "username", acc->username, a);
  user.AddMember("isPayment", acc->is_payment, a);
  if (acc->has_avatar) {
    addString(user, "avatar", ctx.base_url + "/avatar/default.png", a);
  } else {
    user.AddMember("avatar", rapidjson::Value(), a);
  }
  d.AddMember("user", user, a);
  sendData(res, d);
}

void sections(StoreContext& ctx, const Request&, Response& res) {
  rapidjson::Document d(rapidjson::kObjectType);
  Allocator& a = d.GetAllocator();
  rapidjson::Value list(rapidjson::kArrayType);
  for (const Section& s : ctx.catalog.sections()) {
    rapidjson::Value e(rapidjson::kObjectType);
    e.AddMember("id", s.id, a);
    addString(e, "name", s.name, a);
    e.AddMember("appCount", static_cast<unsigned>(s.apps.size()), a);
    list.PushBack(e, a);
  }
  d.AddMember("total", static_cast<unsigned>(ctx.catalog.sections().size()), a);
  d.AddMember("data", list, a);
  sendData(res, d);
}

void sectionApps(StoreContext& ctx, const Request& req, Response& res) {
  int id = 0;
  const Section* s = parseInt(req.matches[1], id) ? ctx.catalog.section(id) : nullptr;
  if (s == nullptr) {
    sendError(res, 404, 404, "no such section");
    return;
  }
  rapidjson::Document d(rapidjson::kObjectType);
  d.AddMember("id", s->id, d.GetAllocator());
  addString(d, "name", s->name, d.GetAllocator());
  sendData(res, listJson(ctx, s->apps, d));
}

void search(StoreContext& ctx, const Request& req, Response& res) {
  int type = 1, page = 0, limit = 0;
  const bool has_page = req.has_param("page"), has_limit = req.has_param("limit");
  if ((req.has_param("type") && !parseInt(req.get_param_value("type"), type)) ||
      (has_page && (!parseInt(req.get_param_value("page"), page) || page < 0)) ||
      (has_limit && (!parseInt(req.get_param_value("limit"), limit) || limit <= 0))) {
    sendError(res, 400, 400, "\"type\", \"page\" and \"limit\" must be whole numbers");
    return;
  }
  const std::string text = req.get_param_value("text");
  std::vector<const AppRecord*> found = ctx.catalog.search(text);
  const size_t matches = found.size();
  if (has_page || has_limit) {
    // Pages count from 1; page 0 is the first page as well.
    const size_t per_page = has_limit ? static_cast<size_t>(limit) : 20;
    const size_t first = (page > 1 ? static_cast<size_t>(page) - 1 : 0) * per_page;
    if (first >= found.size()) {
      found.clear();
    } else {
      found.erase(found.begin(), found.begin() + static_cast<std::ptrdiff_t>(first));
      if (found.size() > per_page) found.resize(per_page);
    }
  }
  // No match is answered as "not found": the window then shows its
  // no-result title instead of an empty list.
  if (found.empty()) {
    sendError(res, 404, 404, "no application matches");
    return;
  }
  rapidjson::Document d(rapidjson::kObjectType);
  d.AddMember("type", type, d.GetAllocator());
  d.AddMember("matches", static_cast<unsigned>(matches), d.GetAllocator());
  sendData(res, listJson(ctx, found, d));
}

void detailById(StoreContext& ctx, const Request& req, Response& res) {
  int id = 0;
  const AppRecord* app = parseInt(req.matches[1], id) ? ctx.catalog.appById(id) : nullptr;
  if (app == nullptr) {
    sendError(res, 404, 404, "no such application");
    return;
  }
  sendData(res, detailJson(ctx, *app));
}

void detailByName(StoreContext& ctx, const Request& req, Response& res) {
  const std::string name = req.matches[1];
  // The window asks for an application by number as "$" and the number.
  const AppRecord* app = nullptr;
  int id = 0;
  if (name.size() > 1 && name[0] == '$') {
    if (parseInt(name.substr(1), id)) app = ctx.catalog.appById(id);
  } else {
    app = ctx.catalog.appBySlug(name);
  }
  if (app == nullptr) {
    sendError(res, 404, 404, "no such application");
    return;
  }
  sendData(res, detailJson(ctx, *app));
}

void packageKey(StoreContext& ctx, const Request& req, Response& res) {
  std::string token, key;
  if (!bearerToken(req, token)) {
    sendError(res, 401, 401, "sign in to get a package key");
    return;
  }
  if (!ctx.catalog.packageKey(req.matches[1], key)) {
    sendError(res, 404, 404, "no key for this application");
    return;
  }
  rapidjson::Document d(rapidjson::kObjectType);
  addString(d, "key", key, d.GetAllocator());
  sendData(res, d);
}

void download(StoreContext& ctx, const Request& req, Response& res) {
  std::string token;
  if (!bearerToken(req, token)) {
    sendError(res, 401, 401, "sign in to download");
    return;
  }
  const std::string slug = req.matches[1];
  std::string version = req.get_param_value("version");
  if (version.empty()) {
    const AppRecord* app = ctx.catalog.appBySlug(slug);
    version = app != nullptr && !app->current_version.empty() ? app->current_version
                                                              : ctx.shelf.newestVersion(slug);
  }
  std::string path;
  uint64_t size = 0;
  auto pkg = std::make_shared<OpenPackage>();
  if (!ctx.shelf.find(slug, version, path, size) ||
      (pkg->fd = open(path.c_str(), O_RDONLY | O_CLOEXEC)) < 0) {
    sendError(res, 404, 404, "no such package");
    return;
  }
  const Modes modes = ctx.switches.modes();
  // The server library answers a single range of a sized body itself (206,
  // Content-Range) when the status is left for it to set. A server that knows
  // no ranges is played by forgetting the request's range.
  if (modes.ignore_range) {
    const_cast<Request&>(req).ranges.clear();
    res.status = 200;
  }
  res.set_header("Content-Disposition",
                 "attachment; filename=\"" + slug + "-" + version + ".kavix\"");
  // Where the test switches cut or hold the body (a share of the package).
  // Where the test switches cut or hold the body (a share of the package),
  // unless the range asked for starts at or beyond that point.
  const uint64_t start = !req.ranges.empty() && req.ranges[0].first > 0
                             ? static_cast<uint64_t>(req.ranges[0].first)
                             : 0;
  uint64_t cut_at = modes.cut_download_at > 0 ? size * modes.cut_download_at / 100 : 0;
  uint64_t pause_at = modes.pause_download_at > 0 ? size * modes.pause_download_at / 100 : 0;
  if (cut_at <= start) cut_at = 0;
  if (pause_at <= start) pause_at = 0;
  StoreContext* context = &ctx;
  const Request* request = &req;
  // Streamed from the file in pieces: packages may be hundreds of megabytes.
  res.set_content_provider(
      static_cast<size_t>(size), "application/octet-stream",
      [pkg, cut_at, pause_at, size, context, request](size_t offset, size_t length,
                                                      httplib::DataSink& sink) {
        size_t want = std::min(length, pkg->buffer.size());
        if (cut_at > 0 && offset < cut_at) want = std::min<size_t>(want, cut_at - offset);
        if (pause_at > 0 && offset < pause_at) want = std::min<size_t>(want, pause_at - offset);
        if (cut_at > 0 && offset == cut_at) return false;  // closes the connection
        if (pause_at > 0 && offset == pause_at &&
            !context->switches.holdDownload(static_cast<int>(offset * 100 / size), *request))
          return false;
        const ssize_t n = pread(pkg->fd, pkg->buffer.data(), want, static_cast<off_t>(offset));
        if (n <= 0) return false;
        return sink.write(pkg->buffer.data(), static_cast<size_t>(n));
      },
      [pkg](bool) {});
}

// ---------------------------------------------------------------------------
// Test endpoints

void testMode(StoreContext& ctx, const Request& req, Response& res) {
  std::string error;
  if (!ctx.switches.update(req.body, error)) {
    sendError(res, 400, 400, error);
    return;
  }
  sendData(res, ctx.switches.modesJson());
}

}  // namespace

void installRoutes(httplib::Server& server, StoreContext& ctx) {
  using Handler = std::function<void(StoreContext&, const Request&, Response&)>;
  // Every store request is logged, then the test switches may answer it, and
  // a bearer token the store no longer accepts is answered with 8001 (the
  // login itself excepted: signing in again must stay possible).
  auto store = [&ctx](Handler h) {
    return [&ctx, h](const Request& req, Response& res) {
      ctx.switches.record(req);
      if (ctx.switches.intercept(req, res)) return;
      std::string token;
      if (startsWith(req.path, "/api/v1/") && !startsWith(req.path, "/api/v1/login") &&
          bearerToken(req, token) && !ctx.tokens.valid(token)) {
        // A download answers with an HTTP error so that no client mistakes
        // the message for the package.
        const bool download = startsWith(req.path, "/api/v1/apps/downloadBinary/");
        sendError(res, download ? 401 : 200, 8001, "token expired");
        return;
      }
      h(ctx, req, res);
    };
  };
  auto test = [&ctx](Handler h) {
    return [&ctx, h](const Request& req, Response& res) { h(ctx, req, res); };
  };

  server.Post("/_test/mode", test(testMode));
  server.Post("/_test/reset", test([](StoreContext& c, const Request&, Response& res) {
                c.switches.reset();
                sendData(res, c.switches.modesJson());
              }));
  server.Get("/_test/requests", test([](StoreContext& c, const Request&, Response& res) {
               res.status = 200;
               res.set_content(c.switches.requestsJson(), "application/json");
             }));
  server.Post("/_test/revoke", test([](StoreContext& c, const Request&, Response& res) {
                c.tokens.revokeAll();
                sendData(res, std::string("null"));
              }));

  server.Post("/api/v1/login/?", store(login));
  server.Get("/api/v1/categories/?", store(sections));
  server.Get(R"(/api/v1/categories/([^/]+)/apps/?)", store(sectionApps));
  server.Get("/api/v1/apps/search/?", store(search));
  server.Get(R"(/api/v1/apps/downloadBinary/([^/]+))", store(download));
  server.Get(R"(/api/v1/apps/([^/]+)/detail/?)", store(detailById));
  server.Get(R"(/api/v1/apps/([^/]+)/detailAppByName/?)", store(detailByName));
  server.Get(R"(/api/v1/apps/([^/]+)/getKey/?)", store(packageKey));
  server.Get(R"(/api/v1/uploads/app/(icon|screenshot)/([^/]+))",
             store([](StoreContext& c, const Request& req, Response& res) {
               sendImage(c, req.matches[2], res);
             }));
  server.Get("/avatar/default.png", store([](StoreContext& c, const Request&, Response& res) {
               sendImage(c, "avatar-default.png", res);
             }));
  server.Get("/ip", store([](StoreContext&, const Request& req, Response& res) {
               res.status = 200;
               res.set_content(req.remote_addr.empty() ? "127.0.0.1" : req.remote_addr,
                               "text/plain");
             }));

  // Everything else: logged like the rest, answered "not found" in the
  // store's own reply shape.
  auto unknown = [](StoreContext&, const Request& req, Response& res) {
    if (startsWith(req.path, "/_test/")) {
      sendError(res, 404, 404, "no such test endpoint");
      return;
    }
    sendError(res, 404, 404, "no such endpoint");
  };
  const char* any = R"([\s\S]*)";
  server.Get(any, [&ctx, store, unknown](const Request& req, Response& res) {
    if (startsWith(req.path, "/_test/")) return unknown(ctx, req, res);
    store(unknown)(req, res);
  });
  server.Post(any, [&ctx, store, unknown](const Request& req, Response& res) {
    if (startsWith(req.path, "/_test/")) return unknown(ctx, req, res);
    store(unknown)(req, res);
  });
  server.Put(any, store(unknown));
  server.Delete(any, store(unknown));
}

}  // namespace nelt::store_server
