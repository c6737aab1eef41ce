#include "cloudd/exchange.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "cloudd/batch.h"
#include "cloudd/key_image.h"
#include "cloudd/operations.h"
#include "cloudd/tables.h"
#include "cloudd/traffic.h"
#include "cloudd/wait_phase.h"
#include "daemon/start.h"
#include "discovery/discovery.h"
#include "link/commands.h"
#include "link/platform/platform.h"
#include "link/platform/text_copy.h"
#include "link/platform/text_part.h"
#include "net/http_client.h"

namespace {


bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

void OnHeaderLine(std::string_view line, void* user) {
  CloudState& state = *static_cast<CloudState*>(user);
  RedirectTarget target;
  CopyText(target.address, state.server_address.data());
  CopyText(target.path, state.redirect_path.data());
  if (!WatchHeaderLine(line, target)) return;
  state.server_address = target.address;
  state.redirect_path = target.path;
  DiscoveryPublish({.address = state.server_address.data(), .path = state.redirect_path.data()});
}

void ToInactive(CloudState& state) {
  state.failures = 0;
  state.active = 0;
  state.online = 0;
  state.interval = state.period;
}

// POSTs the closed batch and hands the reply on.  Returns whether the
// exchange succeeded; adds the transfer's bytes to the totals.
bool PostBatch(CloudState& state, HttpHandle& handle, const HttpHeaderList& headers,
               std::string_view body) {
  CURL* curl = handle.get();
  std::array<char, 2 * kCredentialSize> user_password{};
  std::snprintf(user_password.data(), user_password.size(), "%s:%s", state.login.data(),
                state.password.data());
  std::array<char, 512> ca_file{};
  HttpHeaderWatch watch{.watcher = OnHeaderLine, .user = &state};

  curl_easy_setopt(curl, CURLOPT_URL, state.server_address.data());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get());
  HttpSetPost(curl, body);
  HttpSetAuthentication(curl, user_password.data());
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, kExchangeTimeoutSeconds);
  if (PlatformPath(kServerCaFile, ca_file) != nullptr) {
    curl_easy_setopt(curl, CURLOPT_CAINFO, ca_file.data());
  }
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
  curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
  HttpCollectBody(curl, state.response);
  HttpWatchHeaders(curl, watch);
  state.response.Reset();

  const CURLcode result = curl_easy_perform(curl);

  // Answers queued by the reply handler go out with the next exchange.
  BatchReset(state.batch, state.serial);

  bool succeeded = false;
  if (result != CURLE_OK) {
    LogMessage("curl_easy_perform() failed: %s\n", handle.ErrorText(result));
  } else if (state.response.overflowed) {
    // What is left after an overflow is the tail of a body, not a reply.
    succeeded = HandleReply(state, "");
  } else {
    succeeded = HandleReply(state, state.response.Text());
  }

  curl_off_t uploaded = 0;
  curl_off_t downloaded = 0;
  if (curl_easy_getinfo(curl, CURLINFO_SIZE_UPLOAD_T, &uploaded) == CURLE_OK) {
    state.upload_total += static_cast<double>(uploaded);
  }
  if (curl_easy_getinfo(curl, CURLINFO_SIZE_DOWNLOAD_T, &downloaded) == CURLE_OK) {
    state.download_total += static_cast<double>(downloaded);
  }
  return succeeded;
}

}  // namespace

bool WatchHeaderLine(std::string_view raw, RedirectTarget& target) {
  std::array<char, 1024> buffer{};
  const std::string_view line = HeaderLineText(raw.data(), raw.size(), buffer);
  if (line.find("301 Moved Permanently") != std::string_view::npos) {
    LogMessage("Found 301 Moved Permanently\n");
  }
  if (line.find("Location:") == std::string_view::npos) return false;
  const size_t colon = line.find(':');
  const std::string_view value = colon + 2 <= line.size() ? TextPart(line, colon + 2) : "";
  LogMessage("Found Location: %.*s\n", static_cast<int>(value.size()), value.data());

  size_t slashes = 0;
  size_t host = 0;
  for (size_t i = 0; i < value.size(); ++i) {
    if (value[i] != '/') continue;
    ++slashes;
    if (slashes == 2) host = i + 1;
    if (slashes < 3) continue;
    const std::string_view path = TextPart(value, i);
    std::array<char, 2 * kServerTextSize> address{};
    if (StartsWithNoCase(value, "https://")) {
      // The address keeps its scheme: without it libcurl would go on over
      // plain HTTP and send the credentials in the clear.
      CopyText(address, value);
    } else if (value.starts_with("//") && StartsWithNoCase(target.address.data(), "https://")) {
      // A scheme-relative target stays on TLS like the request that got it.
      std::snprintf(address.data(), address.size(), "https:%.*s",
                    static_cast<int>(value.size()), value.data());
    } else {
      CopyText(address, TextPart(value, host));
    }
    CopyText(target.address, address.data());
    CopyText(target.path, path);
    return true;
  }
  return false;
}

void CountExchange(CloudState& state, bool succeeded) {
  if (succeeded) {
    state.failures = 0;
  } else {
    ++state.failures;
  }
  if (state.failures >= kFailuresToInactive) ToInactive(state);
  // In online state the server decides every card: a single failed exchange
  // drops the controller back.
  if (state.failures != 0 && state.online != 0) ToInactive(state);
}

void ExchangeStart(CloudState& state) {
  // libcurl's global set-up must come before any thread starts.
  HttpGlobalInit();
  DiscoveryStart(kCloudDiscovery, state.serial);
  DiscoveryPublish({.address = state.server_address.data(), .path = state.redirect_path.data()});
  StartDaemonThread("ThreadScan", ThreadScan, kThreadScanStack);
  state.download_total = 0;
  state.upload_total = 0;
  GetCtrlParams();
  LoadKeyImage(state.key_image);
  BatchReset(state.batch, state.serial);
}

void ExchangePass(CloudState& state) {
  HttpHandle handle;
  if (handle) {
    const HttpHeaderList headers(kRequestHeaders);
    BuildMessages(state);
    const char* body = BatchClose(state.batch);
    const size_t length = state.batch.used;
    LogMessage("SEND: %s\n", body);
    CountExchange(state, PostBatch(state, handle, headers, std::string_view(body, length)));
  }
  WriteTrafficFile(state.download_total, state.upload_total);
  LogMessage("T_C=%d\n", state.interval);
  if (state.read_out.in_progress) state.interval = 0;
  WaitPhase(state, state.interval);
}

void ExchangeLoop(CloudState& state) {
  ExchangeStart(state);
  for (;;) ExchangePass(state);
}
