#include "net/http_client.h"

#include <algorithm>
#include <cstring>

#include "link/platform/platform.h"
#include "link/platform/text_copy.h"

namespace {

size_t CollectPiece(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  static_cast<ResponseBody*>(user)->Take(std::string_view(data, bytes));
  return bytes;
}

size_t WatchLine(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  const auto* watch = static_cast<const HttpHeaderWatch*>(user);
  if (watch->watcher != nullptr) watch->watcher(std::string_view(data, bytes), watch->user);
  return bytes;
}

size_t DropPiece(char*, size_t size, size_t count, void*) { return size * count; }

}  // namespace

bool HttpGlobalInit() { return curl_global_init(CURL_GLOBAL_ALL) == CURLE_OK; }

HttpHandle::HttpHandle() : curl_(curl_easy_init()) {
  if (curl_ == nullptr) return;
  curl_easy_setopt(curl_, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl_, CURLOPT_ERRORBUFFER, error_.data());
}

HttpHandle::~HttpHandle() {
  if (curl_ != nullptr) curl_easy_cleanup(curl_);
}

const char* HttpHandle::ErrorText(CURLcode code) const {
  return error_[0] != '\0' ? error_.data() : curl_easy_strerror(code);
}

long HttpHandle::ResponseCode() const {
  long code = 0;
  if (curl_ == nullptr || curl_easy_getinfo(curl_, CURLINFO_RESPONSE_CODE, &code) != CURLE_OK) {
    return 0;
  }
  return code;
}

HttpHeaderList::HttpHeaderList(std::span<const char* const> lines) {
  for (const char* line : lines) {
    curl_slist* grown = curl_slist_append(list_, line);
    if (grown == nullptr) {
      curl_slist_free_all(list_);
      list_ = nullptr;
      return;
    }
    list_ = grown;
  }
}

HttpHeaderList::~HttpHeaderList() { curl_slist_free_all(list_); }

void HttpSetPost(CURL* curl, std::string_view body) {
  curl_easy_setopt(curl, CURLOPT_POST, 1L);
  curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
  curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE, static_cast<long>(body.size()));
}

void HttpSetAuthentication(CURL* curl, const char* user_password) {
  curl_easy_setopt(curl, CURLOPT_USERPWD, user_password);
  curl_easy_setopt(curl, CURLOPT_HTTPAUTH, static_cast<long>(CURLAUTH_ANY));
}

void ResponseBody::Take(std::string_view piece) {
  if (piece.size() > kResponseBodySize - used) {
    // The whole body could not be kept, so none of it is: a cut JSON text
    // must not be taken for a whole one.
    if (overflow_message != nullptr) LogMessage("%s", overflow_message);
    used = 0;
    overflowed = true;
    return;
  }
  std::memcpy(data.data() + used, piece.data(), piece.size());
  used += piece.size();
}

void HttpCollectBody(CURL* curl, ResponseBody& body) {
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, CollectPiece);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
}

void HttpDiscardBody(CURL* curl) {
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, DropPiece);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, nullptr);
}

void HttpWatchHeaders(CURL* curl, HttpHeaderWatch& watch) {
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, WatchLine);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &watch);
}

const char* HeaderLineText(const char* line, size_t size, std::span<char> out) {
  if (out.empty()) return "";
  size_t length = 0;
  while (length < size && line[length] != '\r' && line[length] != '\n') ++length;
  CopyText(out, std::string_view(line, length));
  return out.data();
}
