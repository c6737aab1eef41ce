#include "net/json_reply.h"

JsonDocument::JsonDocument(std::string_view text) {
  json_tokener* tokener = json_tokener_new();
  if (tokener == nullptr) return;
  root_ = json_tokener_parse_ex(tokener, text.data(), static_cast<int>(text.size()));
  // Half a value is no value; neither is a value followed by more than
  // white space.
  size_t end = json_tokener_get_parse_end(tokener);
  while (end < text.size() && (text[end] == ' ' || text[end] == '\t' || text[end] == '\r' ||
                               text[end] == '\n')) {
    ++end;
  }
  if (json_tokener_get_error(tokener) != json_tokener_success || end != text.size()) {
    json_object_put(root_);
    root_ = nullptr;
  }
  json_tokener_free(tokener);
}

JsonDocument::~JsonDocument() { json_object_put(root_); }

json_object* JsonDocument::object() const {
  return json_object_is_type(root_, json_type_object) ? root_ : nullptr;
}

json_object* JsonMember(json_object* object, const char* name) {
  json_object* member = nullptr;
  if (!json_object_is_type(object, json_type_object)) return nullptr;
  if (!json_object_object_get_ex(object, name, &member)) return nullptr;
  return member;
}

bool JsonInt(json_object* object, const char* name, int32_t& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_int)) return false;
  out = json_object_get_int(member);
  return true;
}

bool JsonDouble(json_object* object, const char* name, double& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_int) &&
      !json_object_is_type(member, json_type_double)) {
    return false;
  }
  out = json_object_get_double(member);
  return true;
}

bool JsonString(json_object* object, const char* name, const char*& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_string)) return false;
  out = json_object_get_string(member);
  return true;
}

bool JsonArray(json_object* object, const char* name, json_object*& out) {
  json_object* member = JsonMember(object, name);
  if (!json_object_is_type(member, json_type_array)) return false;
  out = member;
  return true;
}
