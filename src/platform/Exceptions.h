#pragma once
// The program's failures are exceptions. `Exception` is the plain class that protocol refusals
// are raised as (its message is the server's reply line or a fixed English text); the layers
// derive their own classes from it (ESockError, EAPIError, ...). Messages are Windows-1252 bytes.
#include <stdexcept>
#include <string>

namespace pb {

class Exception : public std::runtime_error {
public:
    explicit Exception(const std::string& message) : std::runtime_error(message) {}
    std::string Message() const { return what(); }
};

// A text that is not a valid number (the runtime's standard conversion error).
class EConvertError : public Exception {
public:
    using Exception::Exception;
};

// A file that cannot be read or written, or ends inside a record.
class EInOutError : public Exception {
public:
    using Exception::Exception;
};

} // namespace pb
