#pragma once
// The one failure hierarchy of the program: every failure carries the text the user sees.
#include <stdexcept>
#include <string>

class Exception : public std::runtime_error {
public:
  explicit Exception(const std::string& message) : std::runtime_error(message), message_(message) {}
  // The whole text, also past a NUL byte that what() would stop at.
  const std::string& Message() const { return message_; }

private:
  std::string message_;
};

// Socket failures; EAbortError marks a wait that was cancelled or could not go on.
class ESockError : public Exception {
public:
  using Exception::Exception;
};

class EAbortError : public ESockError {
public:
  using ESockError::ESockError;
};

// "'%s' is not a valid integer value"
class EConvertError : public Exception {
public:
  using Exception::Exception;
};

// "List index out of bounds (%d)", "Invalid index"
class EListError : public Exception {
public:
  using Exception::Exception;
};

// Out-of-range values, such as a reply code above 32767.
class ERangeError : public Exception {
public:
  using Exception::Exception;
};

// "Cannot create file %s", "Cannot open file %s", read and write failures.
class EFileError : public Exception {
public:
  using Exception::Exception;
};

class EFCreateError : public EFileError {
public:
  using EFileError::EFileError;
};

class EFOpenError : public EFileError {
public:
  using EFileError::EFileError;
};
