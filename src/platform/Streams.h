#pragma once
// Streams as the mail components pass them around are the standard ones: the coder reads a
// std::istream and writes a std::ostream, the socket component sends a std::istream, the SMTP
// client builds a body in a std::stringstream, the mail assembly writes attachments to files.
// This unit adds what the standard streams lack: failures as exceptions with a clear text.
#include "platform/Exceptions.h"

#include <fstream>
#include <string>

namespace pb {

// A stream operation failed (read or write error of the underlying file or buffer).
class EStreamError : public Exception {
public:
    using Exception::Exception;
};
// A file could not be opened for reading: "Cannot open file "name". reason".
class EFOpenError : public EStreamError {
public:
    using EStreamError::EStreamError;
};
// A file could not be created: "Cannot create file "name". reason".
class EFCreateError : public EStreamError {
public:
    using EStreamError::EStreamError;
};

// Opens an existing file for binary reading; raises EFOpenError.
std::ifstream openInputFile(const std::string& FileName);
// Creates a new file (0600, never through a link, never over an existing name) for binary
// writing; raises EFCreateError.
std::ofstream createOutputFile(const std::string& FileName);
// Creates a new file under a private name beside Stem (Stem + ".XXXXXX", see PrivateFiles.h)
// for binary writing; its name goes into Name. Raises EFCreateError.
std::ofstream createTempFile(const std::string& Stem, std::string& Name);

} // namespace pb
