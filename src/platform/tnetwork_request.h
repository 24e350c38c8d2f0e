// TNetworkRequest: what to send, apart from the body: the URL, whole header
// lines, the upload bandwidth limit and the stall limit. TNetworkSession: the per-request
// session handed to the manager; it carries nothing yet and exists so that
// a request's lifetime has an owner besides the reply.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/turl.h"

namespace zor::platform {

class TNetworkSession {};

class TNetworkRequest {
 public:
  explicit TNetworkRequest(const TUrl& url) : url_(url) {}

  const TUrl& GetUrl() const { return url_; }
  // Adds a whole header line, "Name: value". "Name:" with nothing after the
  // colon removes a header the transport would add itself (a POST's
  // Content-Type); "Name;" sends the header with an empty value.
  void AddHeader(const TString& line) { headers_.push_back(line.toStdString()); }
  const std::vector<std::string>& GetHeaders() const { return headers_; }
  // Bytes per second the body may be sent at; 0 means no limit.
  void SetUploadBandwidthLimit(uint64_t bytesPerSecond) { bandwidthLimit_ = bytesPerSecond; }
  uint64_t GetUploadBandwidthLimit() const { return bandwidthLimit_; }
  // The transfer ends as a time-out (see TNetworkReply::WaitForFinished)
  // once fewer than one byte a second has moved, either way, for `seconds`
  // seconds on end; 0 (the default) for no such limit.
  void SetStallLimit(int seconds) { stallSeconds_ = seconds; }
  int GetStallLimit() const { return stallSeconds_; }

  // Called now and then while the body is sent, with the bytes sent so far
  // and the body's size (0 when unknown). It runs inside the transfer, so
  // it must be quick and must not throw (an exception is dropped).
  using ProgressCallback = std::function<void(int64_t sent, int64_t total)>;
  void SetUploadProgressCallback(ProgressCallback callback) { progress_ = std::move(callback); }
  const ProgressCallback& GetUploadProgressCallback() const { return progress_; }

 private:
  TUrl url_;
  std::vector<std::string> headers_;
  uint64_t bandwidthLimit_ = 0;
  int stallSeconds_ = 0;
  ProgressCallback progress_;
};

}  // namespace zor::platform
