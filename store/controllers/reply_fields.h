// Reading the catalog replies of the service: members are taken only when
// they have the expected type, so a reply of another shape leaves a field as
// if the member were missing.
#pragma once

#include <rapidjson/document.h>

#include <QString>
#include <string>

namespace nelt {
namespace window {

// How a page build ended: RUN_AGAIN when the service answered that the
// token is no longer valid, so the caller may sign out and build once more.
enum BuildResult { RUN_DONE = 0, RUN_AGAIN = 1 };

const rapidjson::Value* member(const rapidjson::Value& obj, const char* key);
bool getStr(const rapidjson::Value& obj, const char* key, std::string& out);
bool getInt(const rapidjson::Value& obj, const char* key, int& out);
inline QString qstr(const std::string& s) { return QString::fromStdString(s); }

// Number of usable entries of a list reply: "total" bounded by the size of
// the "data" array. False when the reply does not have that shape.
bool listShape(const rapidjson::Value& doc, const rapidjson::Value*& data, int& count);

// The icon reference of an entry ("images" → "icon").
bool iconOf(const rapidjson::Value& entry, QString& icon);

}  // namespace window
}  // namespace nelt
