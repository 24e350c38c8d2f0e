// TNetworkReply: one HTTP request and, once it has run, its answer. The
// request runs when the caller waits for it (WaitForFinished); the reply is
// then a readable, seekable device over the received body.
//
// Contract of WaitForFinished(ms), the only call that does network I/O:
//   - the whole transfer, connection included, must end within `ms`
//     milliseconds (no limit when ms <= 0). A time-out is an answer of its
//     own: status 0, no headers, no body, GetErrorString says what timed out,
//     the result is false and the reply callback is not called;
//   - a body over kMaxBodyBytes ends the transfer with CurlException: the
//     server's replies are a few KiB (a key, ids, URLs), a reply is held in
//     memory, and a JSON one parsed costs many times its size again;
//   - a signal recorded by Interruption (interruption.h) throws RunInterrupted:
//     before anything is sent when it came earlier, else within about a
//     second, ending the transfer. Nothing is answered then;
//   - a request with a stall limit also times out as above when the
//     transfer stalls for that long;
//   - only http and https URLs are requested, and no redirect is followed: a
//     URL of any other scheme throws CurlException (CURLE_UNSUPPORTED_PROTOCOL)
//     before anything is sent, and a 3xx is an answer like any other;
//   - any other failure below HTTP throws CurlException naming the URL (as
//     TUrl::ForLog gives it); a failure of the body device while it is read
//     is rethrown as it was;
//   - an HTTP answer of any status (2xx, 3xx, 4xx, 5xx) returns true after the
//     reply callback has run once with the whole body. The callback runs after
//     the transfer has ended, never inside the transport, so it may throw:
//     its exception leaves WaitForFinished unchanged.
// Waiting again returns the first result without sending anything.
//
// Ownership: the reply keeps a pointer to the body device, which the caller
// keeps alive, open and positioned at the body's first byte until the wait
// has returned. A closed body device sends an empty body.
// Thread-safety: one thread at a time.
#pragma once

#include <QNetworkProxy>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/tbuffer.h"
#include "platform/tio.h"
#include "platform/tnetwork_request.h"

namespace zor::platform {

class TNetworkReply : public TRandomIO {
 public:
  using ReplyCallback = std::function<void(TNetworkReply& reply, uint64_t bytesReady)>;
  static constexpr int64_t kMaxBodyBytes = 1024 * 1024;

  // 2xx.
  static bool IsSuccessStatus(int status) { return status >= 200 && status < 300; }
  // 5xx.
  static bool IsServerErrorStatus(int status) { return status >= 500 && status < 600; }

  // Called once when an HTTP answer has arrived, with the body's size.
  void SetReplyCallback(ReplyCallback callback) { callback_ = std::move(callback); }
  // See the header comment.
  bool WaitForFinished(int64_t timeoutMs);

  // The HTTP status of the answer; 0 before it or when none came.
  int GetStatusCode() const { return status_; }
  // Empty for a 2xx answer; else "server replied <status> <reason>" (the
  // reason as QuoteServerText bounds it), or the transport's text after a
  // time-out.
  TString GetErrorString() const { return errorText_; }
  // The value of the first header named `name`, compared ignoring case;
  // empty when there is none.
  TString GetHeader(const TString& name) const;
  const TUrl& GetUrl() const { return request_.GetUrl(); }

  // TIO: Open accepts Read and ReadWrite; the body is not writable.
  bool Open(OpenMode mode) override;
  bool IsOpen() const override { return open_; }
  void Close() override { open_ = false; }
  bool Flush() override { return open_; }
  // TSequentialIO / TRandomIO over the received body; throw TPath::Exception
  // on a closed reply.
  int64_t Read(char* data, int64_t maxSize) override;
  // Returns up to `maxSize` bytes of the body from the current position.
  std::vector<char> Read(int64_t maxSize);
  int64_t Write(const char* data, int64_t size) override;
  void Seek(int64_t pos) override;
  int64_t Pos() const override;
  int64_t Size() const override;

 private:
  friend class TNetworkAccessManager;
  enum class Method { kGet, kPost, kPut };
  // What the manager fixes for the request when it is issued.
  struct Settings {
    TString userAgent;
    bool allowInvalidCertificates = false;
    std::shared_ptr<const QNetworkProxy> proxy;  // null: the environment's, if any
  };

  TNetworkReply(Method method, const TNetworkRequest& request,
                std::shared_ptr<TNetworkSession> session, TSequentialIO* body, Settings settings);
  void RequireOpen(const char* operation) const;
  // Runs the transfer; returns false on a time-out.
  bool Perform(int64_t timeoutMs);

  Method method_;
  TNetworkRequest request_;
  std::shared_ptr<TNetworkSession> session_;
  TSequentialIO* body_;
  Settings settings_;
  ReplyCallback callback_;

  bool finished_ = false;
  bool answered_ = false;
  bool open_ = false;
  int status_ = 0;
  TString errorText_;
  std::vector<std::string> headerLines_;
  TBuffer received_;
};

}  // namespace zor::platform
