#include "user_model.h"

#include <rapidjson/document.h>

#include "kavix_api.h"

namespace {

// The account object of a login payload: the member named by "key", when it
// carries an integer "id" and a string "name".
const rapidjson::Value* accountOf(const rapidjson::Document& doc) {
  if (!doc.IsObject()) return nullptr;
  auto key = doc.FindMember("key");
  if (key == doc.MemberEnd() || !key->value.IsString()) return nullptr;
  auto acc = doc.FindMember(key->value.GetString());
  if (acc == doc.MemberEnd() || !acc->value.IsObject()) return nullptr;
  auto id = acc->value.FindMember("id");
  auto name = acc->value.FindMember("name");
  if (id == acc->value.MemberEnd() || !id->value.IsInt()) return nullptr;
  if (name == acc->value.MemberEnd() || !name->value.IsString()) return nullptr;
  return &acc->value;
}

}  // namespace

UserModel::UserModel() = default;

void UserModel::setAcc(int id, const char* name) {
  if (id == -1 || name == nullptr) return;
  id_acc = id;
  name_acc = name;
}

int UserModel::checkLogin() {
  if (api == nullptr) return -1;
  KavixReply reply;
  if (api->getAccCurrent(&reply) != 0 || reply.status != nelt::REPLY_OK) return -1;
  const rapidjson::Value* acc = accountOf(reply.doc);
  if (acc == nullptr) return -1;
  setAcc((*acc)["id"].GetInt(), (*acc)["name"].GetString());
  return 0;
}

int UserModel::login(std::string acc, std::string pass, std::string& avatar) {
  // Every sign-in starts unpaid: a payload that lacks the flag must not
  // inherit the previous account's.
  isPayment = false;
  if (acc.empty() || pass.empty() || api == nullptr) return -1;
  KavixReply reply;
  if (api->loginAcc(acc, pass, &reply) != 0) return -1;
  avatar.clear();
  if (reply.status != nelt::REPLY_OK) return -1;
  const rapidjson::Document& doc = reply.doc;
  if (!doc.IsObject() || !doc.HasMember("key")) return -1;
  auto user = doc.FindMember("user");
  if (user != doc.MemberEnd() && user->value.IsObject()) {
    auto pay = user->value.FindMember("isPayment");
    if (pay != user->value.MemberEnd()) {
      if (pay->value.IsInt())
        isPayment = pay->value.GetInt() != 0;
      else if (pay->value.IsBool())
        isPayment = pay->value.GetBool();
    }
    auto pic = user->value.FindMember("avatar");
    if (pic != user->value.MemberEnd() && pic->value.IsString()) avatar = pic->value.GetString();
  }
  const rapidjson::Value* account = accountOf(doc);
  if (account == nullptr) return -1;
  setAcc((*account)["id"].GetInt(), (*account)["name"].GetString());
  return 0;
}

int UserModel::logout() {
  if (name_acc.empty() || id_acc == -1 || api == nullptr) return -1;
  KavixReply reply;
  if (api->logoutAcc(&reply) != 0 || reply.status != nelt::REPLY_OK) return -1;
  name_acc.clear();
  id_acc = -1;
  isPayment = false;
  return 0;
}
