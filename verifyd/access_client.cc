#include "verifyd/access_client.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>
#include <string_view>

#include "link/platform/platform.h"
#include "link/platform/repeat_log.h"
#include "link/platform/sync.h"
#include "net/http_client.h"
#include "net/json_reply.h"
#include "verifyd/clock_from_reply.h"
#include "verifyd/requests.h"
#include "verifyd/server_state.h"
#include "verifyd/settings.h"

namespace {

// Header lists, in the order sent.  The header name is spelt "Conection"
// as the access servers know it.
constexpr const char* kExchangeHeaders[] = {
    "User-Agent: TQ8 HUB", "Conection: Keep-Alive", "Accept: application/json",
    "Content-Type: application/json", "charsets: utf-8",
};
// "Expect:" without a value keeps libcurl from waiting for a 100-continue.
constexpr const char* kPoweronHeaders[] = {
    "User-Agent: TQ8 HUB", "Conection: keep-alive",           "Expect:",
    "Accept: application/json", "Content-Type: application/json", "charsets: utf-8",
};

constexpr const char* kClientCertificate = "/root/tolvek.pem";
constexpr const char* kClientKey = "/root/tolvek.key";
constexpr const char* kCaFile = "/root/vk_ca.pem";

// A server that accepts the connection and then says nothing, or sends its
// reply slowly, must not stop the scan loop for good: every exchange ends
// after these limits and counts as failed.
constexpr long kConnectTimeoutSeconds = 5;
constexpr long kExchangeTimeoutSeconds = 10;
constexpr long kKeepAliveSeconds = 2;
constexpr unsigned kProbePeriodSeconds = 5;

constexpr const char* kReplyTooLong = "Reply too long\n";

Mutex g_exchange_lock;
// ThreadCheckServer's own.
RepeatFilter g_probe_failures;
// The one handle, made in place on first use and never released: a thread
// may still be in an exchange when another ends the process.
alignas(HttpHandle) unsigned char g_handle_storage[sizeof(HttpHandle)];
HttpHandle* g_handle = nullptr;

class ExchangeLock {
 public:
  ExchangeLock() : held_(g_exchange_lock) {}

 private:
  MutexLock held_;
};

// REQUIRES: the exchange lock is held.
HttpHandle* AccessHandle() {
  if (g_handle == nullptr) {
    HttpHandle* made = new (g_handle_storage) HttpHandle;
    if (*made) {
      g_handle = made;
    } else {
      made->~HttpHandle();  // libcurl could not make one; the next exchange tries again
    }
  }
  return g_handle;
}

// What the header handler does with the reply's header lines.
enum class HeaderUse : uint8_t {
  kIgnore,   // the probe: nothing
  kLog,      // one record per line
  kPoweron,  // "200 OK\n" for a line that contains it
};

size_t OnHeaderLine(char* data, size_t size, size_t count, void* user) {
  const size_t bytes = size * count;
  const auto* use = static_cast<const HeaderUse*>(user);
  if (use == nullptr || *use == HeaderUse::kIgnore) return bytes;
  char line[256];
  HeaderLineText(data, bytes, line);
  if (*use == HeaderUse::kLog) {
    if (line[0] != '\0') LogMessage("%s\n", line);
  } else if (std::strstr(line, "200 OK") != nullptr) {
    LogMessage("200 OK\n");
  }
  return bytes;
}

struct Exchange {
  std::span<const char* const> headers;
  std::string_view body;
  bool verbose = false;
  HeaderUse header_use = HeaderUse::kIgnore;
  ResponseBody* reply = nullptr;  // null: the reply body is dropped
};

// Sets the options of an exchange, performs it and returns the HTTP status,
// 0 when the transfer failed.  Leaves no pointer to the caller's texts or
// buffers on the handle.
// REQUIRES: the exchange lock is held.
long Perform(HttpHandle& handle, const Exchange& exchange) {
  CURL* curl = handle.get();
  const VerifySettings& settings = Settings();
  char certificate[4096];
  char key[4096];
  char ca_file[4096];
  HttpHeaderList headers(exchange.headers);
  if (PlatformPath(kClientCertificate, certificate) == nullptr ||
      PlatformPath(kClientKey, key) == nullptr || PlatformPath(kCaFile, ca_file) == nullptr ||
      headers.get() == nullptr) {
    return 0;
  }
  curl_easy_setopt(curl, CURLOPT_SSLCERT, certificate);
  curl_easy_setopt(curl, CURLOPT_SSLCERTTYPE, "PEM");
  curl_easy_setopt(curl, CURLOPT_SSLKEY, key);
  curl_easy_setopt(curl, CURLOPT_SSLKEYTYPE, "PEM");
  curl_easy_setopt(curl, CURLOPT_KEYPASSWD, "");
  curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPALIVE, 1L);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPIDLE, kKeepAliveSeconds);
  curl_easy_setopt(curl, CURLOPT_TCP_KEEPINTVL, kKeepAliveSeconds);
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, kConnectTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kExchangeTimeoutSeconds);
  curl_easy_setopt(curl, CURLOPT_URL, settings.server_addr.data());
  HttpSetPost(curl, exchange.body);
  HttpSetAuthentication(curl, settings.auth_str.data());
  curl_easy_setopt(curl, CURLOPT_VERBOSE, exchange.verbose ? 1L : 0L);
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  if (exchange.reply != nullptr) {
    exchange.reply->Reset();
    HttpCollectBody(curl, *exchange.reply);
  } else {
    HttpDiscardBody(curl);
  }
  curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, OnHeaderLine);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, &exchange.header_use);

  // The port overrides one in the URL; a number that is no port fails the
  // exchange instead of silently going to the URL's port.
  CURLcode result = curl_easy_setopt(curl, CURLOPT_PORT, settings.server_port);
  if (result != CURLE_OK) {
    LogMessage("curl_easy_perform() failed: %s\n", curl_easy_strerror(result));
  } else {
    result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
      LogMessage("curl_easy_perform() failed: %s\n", handle.ErrorText(result));
    }
  }
  // A reply cut short counts as no reply, whatever its status line said.
  const long status = result == CURLE_OK ? handle.ResponseCode() : 0;

  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
  curl_easy_setopt(curl, CURLOPT_HEADERDATA, nullptr);
  HttpDiscardBody(curl);
  HttpSetPost(curl, std::string_view(""));
  return status;
}

// The reply body, logged under `label` ("DATA checkaccess: %s\n" and so
// on) and parsed as one text.  No body, no log; a body that did not fit is
// no reply.
class ParsedReply {
 public:
  ParsedReply(ResponseBody& body, const char* label)
      : present_(body.used > 0 && !body.overflowed),
        document_(present_ ? body.View() : std::string_view("")) {
    if (present_) LogMessage(label, body.Text());
  }
  // The reply when it is a JSON object, else null.
  json_object* object() const { return present_ ? document_.object() : nullptr; }

 private:
  bool present_;
  JsonDocument document_;
};

RequestEnvelope Envelope(const char* operation, const DateText& date) {
  return {.request_id = std::rand(),
          .operation = operation,
          .serial = Settings().serial,
          .controller_ip = Settings().controller_ip.data(),
          .date = date.data()};
}

void ApplyDateOf(json_object* reply) {
  const char* date = nullptr;
  if (!JsonString(reply, "date", date)) date = nullptr;
  ApplyReplyDate(date);
}

}  // namespace

void HandlePoweronReply(ResponseBody& reply) {
  ParsedReply parsed(reply, "DATA poweron: %s\n");
  if (json_object* object = parsed.object()) ApplyDateOf(object);
}

uint32_t HandleCheckAccessReply(ResponseBody& reply) {
  uint32_t grant = 0;
  ParsedReply parsed(reply, "DATA checkaccess: %s\n");
  if (json_object* object = parsed.object()) {
    double value = 0;
    if (JsonDouble(object, "grant_access", value)) grant = ReplyNumber(value);
    LogMessage("GRANTED: %u\n", grant);
    ApplyDateOf(object);
  }
  return grant;
}

uint32_t HandleEventsReply(ResponseBody& reply) {
  uint32_t confirmation = 0;
  ParsedReply parsed(reply, "DATA events: %s\n");
  if (json_object* object = parsed.object()) {
    double value = 0;
    if (JsonDouble(object, "success", value)) confirmation = ReplyNumber(value);
    if (confirmation != 0) LogMessage("SUCCESS: %u\n", confirmation);
  }
  return confirmation;
}

uint32_t ReplyNumber(double value) {
  if (!std::isfinite(value) || value < 0 || value >= 4294967296.0) return 0;
  return static_cast<uint32_t>(value);
}

int SendPoweron() {
  ExchangeLock lock;
  HttpHandle* handle = AccessHandle();
  if (handle == nullptr) return 0;
  DateText date{};
  FormatLocalDate(std::time(nullptr), date);
  char request[kRequestSize];
  if (BuildPoweronRequest(Envelope(kPoweron, date), request) == 0) return 0;
  std::printf("%s\n", request);

  ResponseBody reply{.overflow_message = kReplyTooLong};
  const long status = Perform(*handle, {.headers = kPoweronHeaders,
                                        .body = request,
                                        .header_use = HeaderUse::kPoweron,
                                        .reply = &reply});
  HandlePoweronReply(reply);
  return status == 200 ? 1 : 0;
}

uint32_t CheckAccess(std::span<const uint8_t, kKeyCodeSize> card, uint8_t reader) {
  if (!ServerOnline()) {
    LogMessage("Server Not ready. Access=true");
    return 0;
  }
  ExchangeLock lock;
  HttpHandle* handle = AccessHandle();
  if (handle == nullptr) return 0;
  CardIdentifier identifier{};
  FormatCardIdentifier(card, Settings().reader_order, identifier);
  DateText date{};
  FormatLocalDate(std::time(nullptr), date);
  char request[kRequestSize];
  if (BuildCheckAccessRequest(Envelope(kCheckAccess, date), identifier.data(), reader, request) ==
      0) {
    return 0;
  }

  ResponseBody reply{.overflow_message = kReplyTooLong};
  const long status = Perform(*handle, {.headers = kExchangeHeaders,
                                        .body = request,
                                        .header_use = HeaderUse::kLog,
                                        .reply = &reply});
  uint32_t grant = HandleCheckAccessReply(reply);
  if (status != 200) {
    SetServerOnline(false);
    grant = 0;
  }
  return grant;
}

size_t SendEvents(std::span<const uint8_t> records) {
  const size_t count = records.size() / kEventRecordSize;
  if (!ServerOnline()) {
    LogMessage("Server Not ready. events not sent");
    return 0;
  }
  ExchangeLock lock;
  HttpHandle* handle = AccessHandle();
  if (handle == nullptr) return 0;
  for (size_t i = 0; i < count; ++i) {
    LogMessage("Evt: ");
    for (size_t k = 0; k < kEventRecordSize; ++k) {
      LogMessage("%02X ", records[i * kEventRecordSize + k]);
    }
    LogMessage("\n");
  }
  const time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char elements[kEventElementsSize];
  if (!BuildEventElements(records.first(count * kEventRecordSize), local.tm_year + 1900,
                          Settings().reader_order, elements)) {
    return 0;
  }
  DateText date{};
  FormatLocalDate(now, date);
  char request[kEventsRequestSize];
  if (BuildEventsRequest(Envelope(kEvents, date), elements, request) == 0) return 0;

  ResponseBody reply{.overflow_message = kReplyTooLong};
  const long status = Perform(*handle, {.headers = kExchangeHeaders,
                                        .body = request,
                                        .verbose = true,
                                        .header_use = HeaderUse::kLog,
                                        .reply = &reply});
  uint32_t confirmation = HandleEventsReply(reply);
  if (status != 200) {
    SetServerOnline(false);
    confirmation = 0;
  }
  return confirmation != 0 ? count : 0;
}

void ProbeServer() {
  long status = 0;
  {
    // A server that stays away fails the same way every 5 s: logged once,
    // then counted (repeat_log.h).
    RepeatScope probe(g_probe_failures);
    {
      ExchangeLock lock;
      LogMessage("CheckServer\n");
      HttpHandle* handle = AccessHandle();
      if (handle == nullptr) return;
      status = Perform(*handle, {.headers = kExchangeHeaders,
                                 .body = std::string_view(""),
                                 .header_use = HeaderUse::kIgnore});
    }
    if (status != 200) {
      SetServerOnline(false);
      LogMessage("Server OFFLINE\n");
    }
    probe.End(status != 200);
  }
  if (status == 200) {
    SetServerOnline(true);
    SendPoweron();
    LogMessage("Server ONLINE\n");
  }
}

void* ThreadCheckServer(void*) {
  for (;;) {
    ::sleep(kProbePeriodSeconds);
    if (!ServerOnline()) ProbeServer();
  }
}
