// Reading the JSON replies of servers with json-c: a body of known length is
// parsed once, members are looked up by name with their type checked before
// use, and the parsed value is released on every path.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string_view>

// A parsed text; released on destruction.  root() is null when the text was
// not one whole JSON value.
class JsonDocument {
 public:
  explicit JsonDocument(std::string_view text);
  ~JsonDocument();
  JsonDocument(const JsonDocument&) = delete;
  JsonDocument& operator=(const JsonDocument&) = delete;

  json_object* root() const { return root_; }
  // The root when it is an object, else null.
  json_object* object() const;

 private:
  json_object* root_ = nullptr;
};

// A member of `object` (null when `object` is null or not an object, or the
// member is missing).
json_object* JsonMember(json_object* object, const char* name);

// Typed member access.  Each is false, with `out` unchanged, when the member
// is missing or not of that JSON type ("true" is no number, "1" no integer).
bool JsonInt(json_object* object, const char* name, int32_t& out);    // integers
bool JsonDouble(json_object* object, const char* name, double& out);  // any number
bool JsonString(json_object* object, const char* name, const char*& out);
bool JsonArray(json_object* object, const char* name, json_object*& out);
