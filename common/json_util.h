// Small helpers for JSON built by hand and JSON read from outside. Every
// member access on outside JSON checks the type first: a reply of any shape
// must never abort the process.
#pragma once

#include <rapidjson/document.h>

#include <string>

namespace nelt {

// Escapes a UTF-8 string for use between the quotes of a JSON string.
std::string jsonEscape(const std::string& text);

// Compact JSON text of a value.
std::string toCompactJson(const rapidjson::Value& value);

// Type-checked member readers: return false (and leave `out`) when `obj` is
// not an object, the member is missing or has another type.
bool getString(const rapidjson::Value& obj, const char* key, std::string& out);
bool getInt(const rapidjson::Value& obj, const char* key, int& out);
const rapidjson::Value* getObject(const rapidjson::Value& obj, const char* key);
const rapidjson::Value* getArray(const rapidjson::Value& obj, const char* key);

// Percent-encodes everything but unreserved characters (RFC 3986); a space
// becomes "%20".
std::string percentEncode(const std::string& text);

}  // namespace nelt
