#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "net/socket_error.h"

namespace quorell::net {
namespace {

TEST(SocketErrorTest, MessageIsNumberLineBreakAndText) {
    EXPECT_EQ(SocketErrorMessage(10061), "Socket Error # 10061\r\nConnection refused.");
    EXPECT_EQ(SocketErrorMessage(10054), "Socket Error # 10054\r\nConnection reset by peer.");
    EXPECT_EQ(SocketErrorMessage(11001), "Socket Error # 11001\r\nHost not found.");
    // Two texts of the table break the pattern and must stay as they are.
    EXPECT_EQ(SocketErrorMessage(10035), "Socket Error # 10035\r\nOperation would block. ");
    EXPECT_EQ(SocketErrorMessage(10066), "Socket Error # 10066\r\nDirectory not empty");
}

TEST(SocketErrorTest, UnknownCodeHasNothingAfterLineBreak) {
    EXPECT_EQ(SocketErrorMessage(12345), "Socket Error # 12345\r\n");
    EXPECT_EQ(SocketErrorMessage(2), "Socket Error # 2\r\n");
    EXPECT_EQ(SocketErrorMessage(-1), "Socket Error # -1\r\n");
    EXPECT_STREQ(SocketErrorText(10000), "");
}

TEST(SocketErrorTest, ExceptionCarriesCodeAndMessage) {
    try {
        RaiseSocketErrno(ECONNREFUSED);
        FAIL() << "no exception";
    } catch (const Error& e) {
        const auto* socket_error = dynamic_cast<const SocketError*>(&e);
        ASSERT_NE(socket_error, nullptr);
        EXPECT_EQ(socket_error->code(), 10061);
        EXPECT_STREQ(e.what(), "Socket Error # 10061\r\nConnection refused.");
    }
    errno = ETIMEDOUT;
    EXPECT_THROW(RaiseLastSocketError(), SocketError);
}

TEST(SocketErrorTest, ErrnoMapsToWindowsSocketsNumbers) {
    EXPECT_EQ(WinsockCodeFromErrno(EINTR), 10004);
    EXPECT_EQ(WinsockCodeFromErrno(EACCES), 10013);
    EXPECT_EQ(WinsockCodeFromErrno(EAGAIN), 10035);
    EXPECT_EQ(WinsockCodeFromErrno(EWOULDBLOCK), 10035);
    EXPECT_EQ(WinsockCodeFromErrno(EADDRINUSE), 10048);
    EXPECT_EQ(WinsockCodeFromErrno(ECONNRESET), 10054);
    EXPECT_EQ(WinsockCodeFromErrno(EPIPE), 10058);
    EXPECT_EQ(WinsockCodeFromErrno(ETIMEDOUT), 10060);
    EXPECT_EQ(WinsockCodeFromErrno(ECONNREFUSED), 10061);
    EXPECT_EQ(WinsockCodeFromErrno(ENOTEMPTY), 10066);
    EXPECT_EQ(WinsockCodeFromErrno(ENOENT), ENOENT);
}

TEST(SocketErrorTest, EveryMappedSocketErrnoHasText) {
    const int socket_errnos[] = {
        EINTR,        EBADF,       EACCES,          EFAULT,          EINVAL,       EMFILE,
        EAGAIN,       EINPROGRESS, EALREADY,        ENOTSOCK,        EDESTADDRREQ, EMSGSIZE,
        EPROTOTYPE,   ENOPROTOOPT, EPROTONOSUPPORT, ESOCKTNOSUPPORT, EOPNOTSUPP,   EPFNOSUPPORT,
        EAFNOSUPPORT, EADDRINUSE,  EADDRNOTAVAIL,   ENETDOWN,        ENETUNREACH,  ENETRESET,
        ECONNABORTED, ECONNRESET,  ENOBUFS,         EISCONN,         ENOTCONN,     ESHUTDOWN,
        ETOOMANYREFS, ETIMEDOUT,   ECONNREFUSED,    ELOOP,           ENAMETOOLONG, EHOSTDOWN,
        EHOSTUNREACH, ENOTEMPTY,   EPIPE,
    };
    for (int err : socket_errnos) {
        const int code = WinsockCodeFromErrno(err);
        EXPECT_GE(code, 10004) << "errno " << err;
        EXPECT_STRNE(SocketErrorText(code), "") << "errno " << err << " -> " << code;
    }
}

}  // namespace
}  // namespace quorell::net
