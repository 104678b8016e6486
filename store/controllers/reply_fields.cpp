#include "reply_fields.h"

#include <algorithm>

namespace nelt {
namespace window {

using rapidjson::Value;

const Value* member(const Value& obj, const char* key) {
  if (!obj.IsObject()) return nullptr;
  auto it = obj.FindMember(key);
  return it == obj.MemberEnd() ? nullptr : &it->value;
}

bool getStr(const Value& obj, const char* key, std::string& out) {
  const Value* v = member(obj, key);
  if (v == nullptr || !v->IsString()) return false;
  out.assign(v->GetString(), v->GetStringLength());
  return true;
}

bool getInt(const Value& obj, const char* key, int& out) {
  const Value* v = member(obj, key);
  if (v == nullptr || !v->IsInt()) return false;
  out = v->GetInt();
  return true;
}

bool listShape(const Value& doc, const Value*& data, int& count) {
  data = nullptr;
  count = 0;
  int total = 0;
  if (!getInt(doc, "total", total) || total < 0) return false;
  const Value* d = member(doc, "data");
  if (d == nullptr || !d->IsArray()) return false;
  data = d;
  count = std::min<long long>(total, d->Size());
  return true;
}

bool iconOf(const Value& entry, QString& icon) {
  const Value* images = member(entry, "images");
  std::string ref;
  if (images == nullptr || !getStr(*images, "icon", ref)) return false;
  icon = qstr(ref);
  return true;
}

}  // namespace window
}  // namespace nelt
