#include "platform/tnetwork_reply.h"


#include <curl/curl.h>

#include <algorithm>
#include <exception>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/curl_exception.h"
#include "platform/interruption.h"
#include "platform/path_error.h"
#include "platform/server_text.h"
#include "platform/tpath.h"
#include "platform/tsystem.h"

namespace zor::platform {

static_assert(CurlException::kRefusedScheme == CURLE_UNSUPPORTED_PROTOCOL);

namespace {

// What the libcurl callbacks share with Perform. The callbacks are C code's
// callees: they catch everything and hand failures back through here.
struct TransferState {
  TSequentialIO* body = nullptr;
  int64_t bodyStart = 0;
  std::exception_ptr bodyError;
  TBuffer* received = nullptr;
  bool tooLarge = false;
  std::vector<std::string>* headerLines = nullptr;
  std::string statusLine;
  const TNetworkRequest::ProgressCallback* progress = nullptr;  // uploads only
};

size_t ReadBody(char* buffer, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  try {
    return static_cast<size_t>(state->body->Read(buffer, static_cast<int64_t>(size * count)));
  } catch (...) {
    state->bodyError = std::current_exception();
    return CURL_READFUNC_ABORT;
  }
}

// libcurl rewinds the body when it must send it again (a proxy's
// authentication round, a reused connection that closed).
int SeekBody(void* user, curl_off_t offset, int origin) {
  auto* state = static_cast<TransferState*>(user);
  auto* device = dynamic_cast<TRandomIO*>(state->body);
  if (origin != SEEK_SET || device == nullptr) return CURL_SEEKFUNC_CANTSEEK;
  try {
    device->Seek(state->bodyStart + offset);
    return CURL_SEEKFUNC_OK;
  } catch (...) {
    state->bodyError = std::current_exception();
    return CURL_SEEKFUNC_FAIL;
  }
}

size_t WriteBody(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  if (state->received->Size() + static_cast<int64_t>(size * count) >
      TNetworkReply::kMaxBodyBytes) {
    state->tooLarge = true;
    return 0;
  }
  try {
    return static_cast<size_t>(state->received->Write(data, static_cast<int64_t>(size * count)));
  } catch (...) {
    state->bodyError = std::current_exception();
    return 0;
  }
}

// libcurl calls this at least once a second whatever moves, so it is where
// an interruption ends a transfer that is waiting on a slow or silent server.
int ReportProgress(void* user, curl_off_t, curl_off_t, curl_off_t total, curl_off_t sent) {
  if (Interruption::Requested()) return 1;
  const auto* state = static_cast<const TransferState*>(user);
  if (state->progress == nullptr || !*state->progress) return 0;
  try {
    (*state->progress)(static_cast<int64_t>(sent), static_cast<int64_t>(total));
  } catch (...) {
    // A display that fails must not stop the upload.
  }
  return 0;
}

size_t ReceiveHeader(char* data, size_t size, size_t count, void* user) {
  auto* state = static_cast<TransferState*>(user);
  const size_t length = size * count;
  try {
    std::string line(data, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
      // A new answer begins (after a 100 Continue or a proxy's 407): only
      // the last one's headers describe the reply.
      state->statusLine = line;
      state->headerLines->clear();
    } else if (!line.empty()) {
      state->headerLines->push_back(std::move(line));
    }
    return length;
  } catch (...) {
    state->bodyError = std::current_exception();
    return 0;
  }
}

void InitCurlOnce() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct EasyHandle {
  CURL* handle = curl_easy_init();
  curl_slist* headers = nullptr;
  ~EasyHandle() {
    curl_slist_free_all(headers);
    curl_easy_cleanup(handle);
  }
};

// The reason phrase of "HTTP/1.1 503 Service Unavailable", else the code.
TString ReasonOf(const std::string& statusLine, int status) {
  const size_t first = statusLine.find(' ');
  const size_t second = first == std::string::npos ? first : statusLine.find(' ', first + 1);
  const TString reason =
      second == std::string::npos ? TString() : QuoteServerText(statusLine.substr(second + 1));
  return "server replied " + TString::Number(status) + (reason.isEmpty() ? "" : " " + reason);
}

// Where the transfer goes and how long it may take: the URL, the protocols,
// the time-outs and the callbacks that share `state`.
void SetTransfer(CURL* h, const std::string& url, char* errorBuffer, int64_t timeoutMs,
                 int64_t stallLimitSeconds, TransferState* state) {
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  // Only HTTP leaves the program, and only to the URL asked for: libcurl
  // would otherwise speak file, ftp, dict, gopher and whatever else it was
  // built with, and a redirect could lead to any of them.
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_FOLLOWLOCATION, 0L);
  curl_easy_setopt(h, CURLOPT_ERRORBUFFER, errorBuffer);
  // Time-outs must not use signals: the program has other threads.
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  if (timeoutMs > 0) curl_easy_setopt(h, CURLOPT_TIMEOUT_MS, static_cast<long>(timeoutMs));
  if (stallLimitSeconds > 0) {
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(h, CURLOPT_LOW_SPEED_TIME, static_cast<long>(stallLimitSeconds));
  }
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, WriteBody);
  curl_easy_setopt(h, CURLOPT_WRITEDATA, state);
  curl_easy_setopt(h, CURLOPT_HEADERFUNCTION, ReceiveHeader);
  curl_easy_setopt(h, CURLOPT_HEADERDATA, state);
  curl_easy_setopt(h, CURLOPT_XFERINFOFUNCTION, ReportProgress);
  curl_easy_setopt(h, CURLOPT_XFERINFODATA, state);
  curl_easy_setopt(h, CURLOPT_NOPROGRESS, 0L);
}

// The caller's header lines, plus an empty "Expect:" unless it set one.
curl_slist* HeaderList(const std::vector<std::string>& lines) {
  curl_slist* list = nullptr;
  bool callerSetExpect = false;
  for (const std::string& line : lines) {
    list = curl_slist_append(list, line.c_str());
    if (TString::fromUtf8(line).toLower().startsWith("expect")) callerSetExpect = true;
  }
  // Waiting for "100 Continue" costs a second per request with servers that
  // never send it; an upload part is sent whole anyway.
  if (!callerSetExpect) list = curl_slist_append(list, "Expect:");
  return list;
}

// The body of a POST or PUT: `body` from its position on when it is open,
// else none; its progress and bandwidth limit come from `request`.
void SetBody(CURL* h, bool isPut, TSequentialIO* body, const TNetworkRequest& request,
             TransferState* state) {
  curl_off_t size = 0;
  if (body != nullptr && body->IsOpen()) {
    state->body = body;
    auto* device = dynamic_cast<TRandomIO*>(body);
    // A device without a size goes out chunked.
    size = device == nullptr ? -1 : device->Size() - device->Pos();
    if (device != nullptr) state->bodyStart = device->Pos();
    curl_easy_setopt(h, CURLOPT_READFUNCTION, ReadBody);
    curl_easy_setopt(h, CURLOPT_READDATA, state);
    curl_easy_setopt(h, CURLOPT_SEEKFUNCTION, SeekBody);
    curl_easy_setopt(h, CURLOPT_SEEKDATA, state);
    // Fewer, larger sends: a part's PUT over loopback took about a quarter
    // less time with 1 MiB than with libcurl's 64 KiB.
    curl_easy_setopt(h, CURLOPT_UPLOAD_BUFFERSIZE, 1024L * 1024);
  } else {
    curl_easy_setopt(h, CURLOPT_POSTFIELDS, "");
  }
  if (isPut) {
    curl_easy_setopt(h, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(h, CURLOPT_INFILESIZE_LARGE, size);
  } else {
    curl_easy_setopt(h, CURLOPT_POST, 1L);
    curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, size);
  }
  state->progress = &request.GetUploadProgressCallback();
  if (request.GetUploadBandwidthLimit() > 0) {
    curl_easy_setopt(h, CURLOPT_MAX_SEND_SPEED_LARGE,
                     static_cast<curl_off_t>(request.GetUploadBandwidthLimit()));
  }
}

// A configured proxy replaces whatever the environment says, no_proxy
// included; without one (null) libcurl follows http_proxy, https_proxy and
// no_proxy. libcurl copies the strings it is given.
void SetProxy(CURL* h, const QNetworkProxy* proxy) {
  if (proxy == nullptr) return;
  std::string host;
  if (proxy->type() == QNetworkProxy::HttpProxy || proxy->type() == QNetworkProxy::Socks5Proxy) {
    host = proxy->hostName().toStdString();
    curl_easy_setopt(h, CURLOPT_PROXYTYPE,
                     proxy->type() == QNetworkProxy::Socks5Proxy
                         ? static_cast<long>(CURLPROXY_SOCKS5_HOSTNAME)
                         : static_cast<long>(CURLPROXY_HTTP));
    if (proxy->port() > 0) curl_easy_setopt(h, CURLOPT_PROXYPORT, static_cast<long>(proxy->port()));
    std::string user = proxy->user().toStdString();
    if (!user.empty()) {
      std::string password = proxy->password().toStdString();
      curl_easy_setopt(h, CURLOPT_PROXYUSERNAME, user.c_str());
      curl_easy_setopt(h, CURLOPT_PROXYPASSWORD, password.c_str());
      // A short string is kept on the stack, which the program's minidump
      // holds and sends: none of the credentials stays there.
      explicit_bzero(password.data(), password.size());
    }
    explicit_bzero(user.data(), user.size());
  }
  curl_easy_setopt(h, CURLOPT_PROXY, host.c_str());
  curl_easy_setopt(h, CURLOPT_NOPROXY, "");
}

// Whether `host` is one of the no_proxy list's names or below one.
bool ExcludedFromProxy(const std::string& host) {
  std::string list = TSystem::EnvironmentString("no_proxy").toStdString();
  if (list.empty()) list = TSystem::EnvironmentString("NO_PROXY").toStdString();
  size_t from = 0;
  while (from <= list.size()) {
    size_t to = list.find(',', from);
    if (to == std::string::npos) to = list.size();
    std::string entry = list.substr(from, to - from);
    entry.erase(0, entry.find_first_not_of(" \t"));
    entry.erase(entry.find_last_not_of(" \t") + 1);
    if (!entry.empty() && entry[0] == '.') entry.erase(0, 1);
    if (entry == "*" || (!entry.empty() && (host == entry || (host.size() > entry.size() &&
                                                              host.ends_with("." + entry))))) {
      return true;
    }
    from = to + 1;
  }
  return false;
}

// The variable and the proxy the transport takes from the environment for
// `url`, as it reads them; empty when none.
std::pair<std::string, TString> EnvironmentProxy(const TUrl& url) {
  const std::string scheme = url.Scheme().toLower().toStdString();
  std::vector<std::string> names = {scheme + "_proxy"};
  // Not HTTP_PROXY: a CGI program gets that name from a request's header.
  if (scheme != "http") names.push_back(TString(scheme + "_proxy").toUpper().toStdString());
  names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
  for (const std::string& name : names) {
    const TString value = TSystem::EnvironmentString(TString(name));
    if (value.isEmpty()) continue;
    if (ExcludedFromProxy(url.Host().toLower().toStdString())) return {};
    return {name, value};
  }
  return {};
}

// " (through the proxy 'host:port')" for a configured proxy, or the
// environment's with the variable that set it, else empty: a failed connect
// names only the address tried, which an operator would take for the
// server's. A proxy written with its credentials ("user:password@host") is
// shown without them.
TString ThroughProxy(const QNetworkProxy* proxy, const TUrl& url) {
  if (proxy == nullptr) {
    const auto [variable, value] = EnvironmentProxy(url);
    if (variable.empty()) return {};
    return " (through the proxy '" + UrlTextForLog(value) + "' of " + TString(variable) + ")";
  }
  if (proxy->hostName().isEmpty()) return {};
  return TString(" (through the proxy '") + UrlTextForLog(proxy->hostName()) + ":" +
         TString::Number(static_cast<int64_t>(proxy->port())) + "')";
}

// The transport's text with each quoted part that holds an '@' shown as a
// URL is: it quotes a proxy it cannot parse, credentials and all.
TString WithoutCredentials(const TString& text) {
  std::string out = text.toStdString();
  for (size_t open = out.find('\''); open != std::string::npos; open = out.find('\'', open + 1)) {
    const size_t close = out.find('\'', open + 1);
    if (close == std::string::npos) break;
    const std::string quoted = out.substr(open + 1, close - open - 1);
    if (quoted.find('@') == std::string::npos) {
      open = close;
      continue;
    }
    const std::string shown = UrlTextForLog(TString(quoted)).toStdString();
    out.replace(open + 1, quoted.size(), shown);
    open += shown.size() + 1;
  }
  return TString(out);
}

}  // namespace

TNetworkReply::TNetworkReply(Method method, const TNetworkRequest& request,
                             std::shared_ptr<TNetworkSession> session, TSequentialIO* body,
                             Settings settings)
    : method_(method),
      request_(request),
      session_(std::move(session)),
      body_(body),
      settings_(std::move(settings)) {
  received_.Open(OpenMode::ReadWrite);
}

bool TNetworkReply::WaitForFinished(int64_t timeoutMs) {
  if (finished_) return answered_;
  finished_ = true;
  answered_ = Perform(timeoutMs);
  // The transfer wrote at the end; a reader starts at the body's first byte.
  received_.Seek(0);
  if (answered_ && callback_) {
    callback_(*this, static_cast<uint64_t>(received_.Size()));
  }
  return answered_;
}

bool TNetworkReply::Perform(int64_t timeoutMs) {
  Interruption::ThrowIfRequested();
  InitCurlOnce();
  const TString urlText = request_.GetUrl().ForLog();
  EasyHandle easy;
  if (easy.handle == nullptr) throw CurlException(urlText, "cannot create a transfer handle", 0);
  CURL* h = easy.handle;
  char errorBuffer[CURL_ERROR_SIZE] = {};
  TransferState state;
  state.received = &received_;
  state.headerLines = &headerLines_;

  SetTransfer(h, request_.GetUrl().ToWire(), errorBuffer, timeoutMs, request_.GetStallLimit(),
              &state);
  easy.headers = HeaderList(request_.GetHeaders());
  curl_easy_setopt(h, CURLOPT_HTTPHEADER, easy.headers);
  if (method_ != Method::kGet) SetBody(h, method_ == Method::kPut, body_, request_, &state);
  const std::string userAgent = settings_.userAgent.toStdString();
  if (!userAgent.empty()) curl_easy_setopt(h, CURLOPT_USERAGENT, userAgent.c_str());
  if (settings_.allowInvalidCertificates) {
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(h, CURLOPT_SSL_VERIFYHOST, 0L);
  }
  SetProxy(h, settings_.proxy.get());

  const CURLcode result = curl_easy_perform(h);
  if (result == CURLE_ABORTED_BY_CALLBACK && Interruption::Requested()) {
    throw RunInterrupted(Interruption::Signal());
  }
  const TString curlText = WithoutCredentials(
      TString::fromUtf8(errorBuffer[0] != '\0' ? errorBuffer : curl_easy_strerror(result)));
  if (result == CURLE_OPERATION_TIMEDOUT) {
    status_ = 0;
    headerLines_.clear();
    received_.Close();
    received_.Open(OpenMode::Write);  // empties it
    errorText_ = curlText;
    return false;
  }
  if (state.bodyError) std::rethrow_exception(state.bodyError);
  if (state.tooLarge) {
    throw CurlException(urlText,
                        TString("The reply body is larger than ") +
                            TString::Number(kMaxBodyBytes) + " bytes.",
                        static_cast<int>(CURLE_FILESIZE_EXCEEDED));
  }
  // The transport's own limit on one header line reports itself as a want
  // of memory; while an answer's headers come in, that is what it almost
  // always is.
  if (result == CURLE_OUT_OF_MEMORY && !state.statusLine.empty()) {
    throw CurlException(urlText,
                        "A reply header is longer than the 100 KB a header line may have (or "
                        "memory ran out): " +
                            curlText,
                        static_cast<int>(result));
  }
  if (result != CURLE_OK) {
    // The transport's text for a failed connect names no cause: no socket
    // for want of descriptors reads like a server that is down.
    long osError = 0;
    const bool known = curl_easy_getinfo(h, CURLINFO_OS_ERRNO, &osError) == CURLE_OK;
    const TString cause = known && osError != 0 ? ErrnoText(static_cast<int>(osError)) : TString();
    throw CurlException(
        urlText,
        (cause.isEmpty() || curlText.contains(cause) ? curlText : curlText + " (" + cause + ")") +
            ThroughProxy(settings_.proxy.get(), request_.GetUrl()),
        static_cast<int>(result));
  }

  long status = 0;
  curl_easy_getinfo(h, CURLINFO_RESPONSE_CODE, &status);
  status_ = static_cast<int>(status);
  if (!IsSuccessStatus(status_)) errorText_ = ReasonOf(state.statusLine, status_);
  return true;
}

TString TNetworkReply::GetHeader(const TString& name) const {
  const TString wanted = name.trim().toLower();
  for (const std::string& line : headerLines_) {
    const size_t colon = line.find(':');
    if (colon == std::string::npos) continue;
    if (TString::fromUtf8(line.substr(0, colon)).trim().toLower() == wanted) {
      return TString::fromUtf8(line.substr(colon + 1)).trim();
    }
  }
  return TString();
}

bool TNetworkReply::Open(OpenMode mode) {
  if (open_ || (mode != OpenMode::Read && mode != OpenMode::ReadWrite)) {
    SetErrorString("TNetworkReply: already open, or opened for writing");
    return false;
  }
  open_ = true;
  received_.Seek(0);
  return true;
}

void TNetworkReply::RequireOpen(const char* operation) const {
  if (!open_) {
    throw TPath::Exception(TString("TNetworkReply: ") + TString(operation) +
                           " on a closed reply from '" + GetUrl().ForLog() + "'");
  }
}

int64_t TNetworkReply::Read(char* data, int64_t maxSize) {
  RequireOpen("Read");
  return received_.Read(data, maxSize);
}

std::vector<char> TNetworkReply::Read(int64_t maxSize) {
  RequireOpen("Read");
  std::vector<char> bytes(static_cast<size_t>(std::clamp<int64_t>(Size() - Pos(), 0, maxSize)));
  bytes.resize(
      static_cast<size_t>(received_.Read(bytes.data(), static_cast<int64_t>(bytes.size()))));
  return bytes;
}

int64_t TNetworkReply::Write(const char*, int64_t) {
  throw TPath::Exception("TNetworkReply: the body of '" + GetUrl().ForLog() +
                         "' is not writable");
}

void TNetworkReply::Seek(int64_t pos) {
  RequireOpen("Seek");
  received_.Seek(pos);
}

int64_t TNetworkReply::Pos() const {
  RequireOpen("Pos");
  return received_.Pos();
}

int64_t TNetworkReply::Size() const {
  RequireOpen("Size");
  return received_.Size();
}

}  // namespace zor::platform
