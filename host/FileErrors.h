// TFileException: the exception that the host's path, file and folder
// facilities raise when the operating system refuses an operation.
//
// The message names the operation, the path and the operating system's own
// error text, for example
//   "Cannot open file '/data/x.bin': No such file or directory".
// The error code (errno value or std::error_code) is kept as well. The
// KelvraError inside carries the errno value as its code and the error text as
// its name; the ErrorInfo's source is the path and its status is the gRPC
// status closest to the error (NOT_FOUND for a missing path, and so on).
//
// Thread rules: an immutable value once built.
#pragma once

#include <system_error>

#include "host/Errors.h"
#include "host/Export.h"
#include "host/TString.h"

class KELCACHE_EXPORT TFileException : public KelvraException {
 public:
  // operation: what was attempted, such as "Cannot open file" (the path and
  // the error text are added).
  TFileException(const TString& operation, const TString& path, std::error_code error);
  ~TFileException() override;

  const TString& GetPath() const { return m_path; }
  const std::error_code& GetErrorCode() const { return m_error; }

  // Builds the exception from the calling thread's errno.
  static TFileException FromErrno(const TString& operation, const TString& path);

 private:
  TString m_path;
  std::error_code m_error;
};
