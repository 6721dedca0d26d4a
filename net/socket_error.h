#pragma once

#include <string>

#include "common/errors.h"

namespace quorell::net {

// Socket failures carry the Windows Sockets error number, so that the messages read the same as
// those of any other copy of the program on any platform.
class SocketError : public Error {
public:
    explicit SocketError(int code);
    int code() const { return code_; }

private:
    int code_;
};

// The Windows Sockets number for an errno value from a socket call (WSAE* = 10000 + n).
int WinsockCodeFromErrno(int err);

// The text for a Windows Sockets number; empty for a number the table lacks.
const char* SocketErrorText(int code);

// "Socket Error # <code>" CR LF <text>.
std::string SocketErrorMessage(int code);

// Throws SocketError for the errno value (defaults to the current errno).
[[noreturn]] void RaiseSocketErrno(int err);
[[noreturn]] void RaiseLastSocketError();

constexpr int kHostNotFound = 11001;

}  // namespace quorell::net
