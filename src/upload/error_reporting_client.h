// IErrorReportingClient: what the driver runs for an upload command. Built
// for one command, Run once, then destroyed.
#pragma once

namespace ZorErrorReporting {

class IErrorReportingClient {
 public:
  // Does the command's work; success is the absence of an exception.
  virtual void Run() = 0;
  virtual ~IErrorReportingClient() = default;
};

}  // namespace ZorErrorReporting
