// Reading the JSON texts the daemons receive with json-c: a body of known
// length is parsed once, members are looked up by name with their type
// checked before use, and the parsed value is released on every path.
#pragma once

#include <json-c/json.h>

#include <cstdint>
#include <string_view>

// A parsed text; released on destruction.  The first complete JSON value of
// the text is taken and whatever follows it is ignored: a request sent with
// its C string's terminating zero byte, or a reply with a line end or other
// bytes after its object, still counts.  root() is null when the text does
// not begin with a whole JSON value (white space before it aside).
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

// An integer field as servers write it: a JSON integer, a number with a
// fraction (dropped, towards zero), a boolean (true 1, false 0) or a string
// that holds a decimal number ("17", "-3", "2.5"; nothing else in it).
// Values beyond an int32 read as its nearest limit.  False, with `out`
// unchanged, for a missing member and for every other value (null, objects,
// arrays, other strings, numbers that are not finite).
bool JsonLenientInt(json_object* object, const char* name, int32_t& out);
