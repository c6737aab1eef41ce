// The HTTP client pieces the network daemons share, on libcurl's easy
// interface: process-wide set-up, new handles, fixed header lists, POST
// bodies, authentication, and a bounded collector for response bodies.
//
//   HttpGlobalInit();                          // once, before any thread
//   HttpHandle handle;                         // one exchange, or kept
//   HttpHeaderList headers(kMyHeaderLines);    // in the order given
//   ResponseBody body{.overflow_message = "..."};
//   HttpSetPost(handle.get(), batch_text);
//   HttpSetAuthentication(handle.get(), "user:password");
//   HttpCollectBody(handle.get(), body);
//   curl_easy_setopt(handle.get(), CURLOPT_HTTPHEADER, headers.get());
//   ... curl_easy_perform(handle.get()) ...
//
// libcurl's rules for threaded programs are kept here: the global set-up runs
// once before threads start, every handle has CURLOPT_NOSIGNAL, and a handle
// is never used by two threads at once (callers serialise shared handles).
#pragma once

#include <curl/curl.h>

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

// curl_global_init(CURL_GLOBAL_ALL), once per process.  True when it worked.
bool HttpGlobalInit();

// An easy handle with CURLOPT_NOSIGNAL set and an error buffer installed;
// released on destruction.  get() is null when the handle could not be made.
class HttpHandle {
 public:
  HttpHandle();
  ~HttpHandle();
  HttpHandle(const HttpHandle&) = delete;
  HttpHandle& operator=(const HttpHandle&) = delete;

  CURL* get() const { return curl_; }
  explicit operator bool() const { return curl_ != nullptr; }
  // libcurl's text for a failed transfer: the error buffer when it holds
  // one, else curl_easy_strerror(code).
  const char* ErrorText(CURLcode code) const;
  // The response code of the last transfer, 0 when there was none.
  long ResponseCode() const;

 private:
  CURL* curl_ = nullptr;
  std::array<char, CURL_ERROR_SIZE> error_{};
};

// A header list built from fixed lines, in the order given; released on
// destruction.  get() is null when a line could not be added.
class HttpHeaderList {
 public:
  explicit HttpHeaderList(std::span<const char* const> lines);
  ~HttpHeaderList();
  HttpHeaderList(const HttpHeaderList&) = delete;
  HttpHeaderList& operator=(const HttpHeaderList&) = delete;

  curl_slist* get() const { return list_; }

 private:
  curl_slist* list_ = nullptr;
};

// POST with exactly these bytes as the body (not copied: the text must live
// until the transfer is done).  An empty body posts length 0.
void HttpSetPost(CURL* curl, std::string_view body);

// Credentials "user:password" for whatever method the server asks for
// (CURLAUTH_ANY).
void HttpSetAuthentication(CURL* curl, const char* user_password);

// A response body gathered into a fixed buffer of kResponseBodySize bytes
// and a terminator.  A piece that would not fit drops what was gathered and
// the piece itself, logs `overflow_message` (when set) and marks the body as
// overflowed; gathering starts again at the start of the buffer.  Every
// piece is reported to libcurl as taken, so the transfer goes on.
inline constexpr size_t kResponseBodySize = 2048;

struct ResponseBody {
  const char* overflow_message = nullptr;
  std::array<char, kResponseBodySize + 1> data{};
  size_t used = 0;
  bool overflowed = false;

  void Reset() {
    used = 0;
    overflowed = false;
    data[0] = '\0';
  }
  // Appends one piece (the collector's rule above).
  void Take(std::string_view piece);
  // The gathered bytes, terminated.
  const char* Text() {
    data[used] = '\0';
    return data.data();
  }
  std::string_view View() const { return {data.data(), used}; }
};

// Installs `body` as the handle's body collector (CURLOPT_WRITEFUNCTION and
// CURLOPT_WRITEDATA).
void HttpCollectBody(CURL* curl, ResponseBody& body);

// A body handler that drops every piece, for exchanges whose reply does not
// matter (it keeps replies away from handlers installed by earlier exchanges
// on a shared handle).
void HttpDiscardBody(CURL* curl);

// A watcher of response header lines (CURLOPT_HEADERFUNCTION): libcurl hands
// it one whole line per call, line end included, and the transfer goes on
// whatever it does.  The watch must live until the transfer is done.
using HeaderWatcher = void (*)(std::string_view line, void* user);

struct HttpHeaderWatch {
  HeaderWatcher watcher = nullptr;
  void* user = nullptr;
};

void HttpWatchHeaders(CURL* curl, HttpHeaderWatch& watch);

// Cuts a header line as libcurl hands it (not terminated, usually ending in
// "\r\n") at its first carriage return or line feed, into `out` (terminated,
// cut to fit).  Returns the terminated text.
const char* HeaderLineText(const char* line, size_t size, std::span<char> out);
